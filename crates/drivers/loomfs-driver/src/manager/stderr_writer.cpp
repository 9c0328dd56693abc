#include "stderr_writer.h"

#include <unistd.h>

#include <cerrno>

namespace lmfs::loomfs::detail {

void write_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace lmfs::loomfs::detail
