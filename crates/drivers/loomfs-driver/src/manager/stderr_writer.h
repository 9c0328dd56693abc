// Unbuffered writes to the process's standard error (descriptor 2).
#pragma once

#include <string_view>

namespace lmfs::loomfs::detail {

// Writes all of `text` with as few write calls as the kernel allows (one for a
// line of ordinary length). Failures are ignored: diagnostics never fail an
// operation.
void write_stderr(std::string_view text) noexcept;

}  // namespace lmfs::loomfs::detail
