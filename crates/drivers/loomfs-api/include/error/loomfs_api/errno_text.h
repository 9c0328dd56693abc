// Symbolic names and short descriptions of the Linux errno values (x86-64 uses
// the generic list, 1 to 133). The descriptions are the kernel's own texts,
// which differ in places from the C library's strerror (EAGAIN: "Try again").
#pragma once

#include <string_view>

namespace lmfs::loomfs {

// "EBUSY" for 16; empty for a number the kernel does not define (0, 41, 58,
// negative numbers, anything above 133). Aliases (EWOULDBLOCK, EDEADLOCK) are
// never returned: each number maps to its primary name.
[[nodiscard]] std::string_view errno_name(int errnum) noexcept;

// "Device or resource busy" for 16; empty where errno_name is empty.
[[nodiscard]] std::string_view errno_description(int errnum) noexcept;

}  // namespace lmfs::loomfs
