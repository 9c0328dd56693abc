// Short descriptions of the Linux errno values (x86-64 uses the generic list,
// 1 to 133): the kernel's own texts, which differ in places from the C
// library's strerror (EAGAIN: "Try again"). The names are the C library's
// (text::errno_name).
#pragma once

#include <string_view>

namespace lmfs::loomfs {

// "Device or resource busy" for 16; empty for a number the kernel does not
// define (0, 41, 58, negative numbers, anything above 133).
[[nodiscard]] std::string_view errno_description(int errnum) noexcept;

}  // namespace lmfs::loomfs
