#include "lmfs_text/errno_text.h"

#include <cstring>

namespace lmfs::text {

std::string libc_error_text(int errnum) {
  char buf[256];
  // The GNU strerror_r: answers either a static text or `buf`.
  return ::strerror_r(errnum, buf, sizeof buf);
}

}  // namespace lmfs::text
