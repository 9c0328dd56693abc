// The control requests on a mounted stand-in loomfs, sent on an O_RDONLY
// descriptor of its mount directory as the plug-in sends them, with the
// request numbers written out here rather than taken from the control
// library. Failures are the errno.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace lmfs::testing {

// The status record: the current checkpoint (0 before the first), how many
// checkpoints are snapshots, and how many change-mode requests arrived
// outside the cleaner lock since the mount.
struct FsStatus {
  std::uint64_t checkpoint = 0;
  std::uint64_t snapshots = 0;
  std::uint64_t violations = 0;
  bool operator==(const FsStatus&) const = default;
};

// A new checkpoint; its number.
[[nodiscard]] std::expected<std::uint64_t, int> sync_fs(const std::string& dir);
[[nodiscard]] std::expected<FsStatus, int> get_status(const std::string& dir);
// Makes checkpoint `number` a snapshot (mode 1) or a plain checkpoint (0).
[[nodiscard]] std::expected<void, int> change_mode(const std::string& dir, std::uint64_t number,
                                                   std::uint32_t mode, std::uint32_t reserved = 0);

}  // namespace lmfs::testing
