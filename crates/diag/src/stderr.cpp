#include "lmfs_diag/stderr.h"

#include <unistd.h>

#include <cerrno>

namespace lmfs::diag {

void write_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing written is given up too, not retried for ever
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace lmfs::diag
