// The driver's snapshot operations that reach the file system: each opens its
// own handle on the mounted store for the one call and closes it before
// returning.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "loomfs_driver/error.h"

namespace lmfs::loomfs::snapshots {

// Syncs the file system, reports "Snap shot #<n>" on standard error, and
// makes checkpoint n, the one the sync wrote, a snapshot under the cleaner
// lock. The line is out before the wait: a process blocked on a held lock has
// already written it. `device` is the chosen store (absent:
// InvalidBlockDevice "<none>"), `mount_dir` the driver's root (may be empty).
[[nodiscard]] std::expected<std::uint64_t, LoomFsDriverError> take_snapshot(const std::optional<std::string>& device,
                                                                             std::string_view mount_dir);

// The checkpoint number of the file system's status.
[[nodiscard]] std::expected<std::uint64_t, LoomFsDriverError> current_checkpoint(
    const std::optional<std::string>& device, std::string_view mount_dir);

}  // namespace lmfs::loomfs::snapshots
