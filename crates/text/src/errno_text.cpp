#include "lmfs_text/errno_text.h"

#include <cstring>

namespace lmfs::text {

std::string libc_error_text(int errnum) {
  char buf[256];
  // The GNU strerror_r: answers either a static text or `buf`.
  return ::strerror_r(errnum, buf, sizeof buf);
}

std::string_view errno_name(int errnum) noexcept {
  const char* name = errnum != 0 ? ::strerrorname_np(errnum) : nullptr;
  return name != nullptr ? std::string_view(name) : std::string_view{};
}

}  // namespace lmfs::text
