// Unbuffered writes to the process's standard error (descriptor 2), the one
// way the driver and its store manager write their diagnostics: debug lines,
// failure notes and the snapshot report. Unlike stdio's stderr, nothing is
// held back, and a line of ordinary length goes out in one write.
#pragma once

#include <string_view>

namespace lmfs::diag {

// Writes all of `text` with as few write calls as the kernel allows (one for a
// line of ordinary length). Failures are ignored: diagnostics never fail an
// operation.
void write_stderr(std::string_view text) noexcept;

}  // namespace lmfs::diag
