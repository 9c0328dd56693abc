// The C library's text for an errno value, as strerror gives it, but safe to
// call from any thread (strerror may hand back a buffer the next call
// overwrites). "Unknown error N" for a number the library does not know.
#pragma once

#include <string>

namespace lmfs::text {

[[nodiscard]] std::string libc_error_text(int errnum);

}  // namespace lmfs::text
