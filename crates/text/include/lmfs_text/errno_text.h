// The C library's names and texts of errno values, safe to call from any
// thread: the one place the project asks for them.
#pragma once

#include <string>
#include <string_view>

namespace lmfs::text {

// The text, as strerror gives it (strerror may hand back a buffer the next
// call overwrites). "Unknown error N" for a number the library does not know.
[[nodiscard]] std::string libc_error_text(int errnum);

// The symbolic name, "EBUSY" for 16 (strerrorname_np): the primary name of a
// number with aliases (EAGAIN, not EWOULDBLOCK). Empty for 0 and for a
// number the library does not know.
[[nodiscard]] std::string_view errno_name(int errnum) noexcept;

}  // namespace lmfs::text
