// LoomFsHandle: the owner of one control-library handle (struct loomfs) on a
// mounted loomfs file system, for the length of one driver operation. It is
// opened from the store's device path and mount directory, offers the status
// request and the snapshot operation, and closes the library handle when it is
// destroyed.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "loomfs.h"
#include "loomfs_api/error.h"

namespace lmfs::loomfs {

class LoomFsHandle {
 public:
  // Flag sets the driver uses (LOOMFS_OPEN_MOUNT_RO is always added).
  static constexpr int kStatusFlags = LOOMFS_OPEN_DEVICE;
  static constexpr int kSnapshotFlags = LOOMFS_OPEN_MOUNT_RW | LOOMFS_OPEN_CLEANER;

  // Copies both paths and opens the library handle with `flags` |
  // LOOMFS_OPEN_MOUNT_RO. An empty mount directory is passed as no directory.
  [[nodiscard]] static std::expected<LoomFsHandle, LoomFsApiError> open(std::string_view device,
                                                                         std::string_view mount_dir, int flags);

  LoomFsHandle(LoomFsHandle&& other) noexcept;
  LoomFsHandle& operator=(LoomFsHandle&&) = delete;
  LoomFsHandle(const LoomFsHandle&) = delete;
  LoomFsHandle& operator=(const LoomFsHandle&) = delete;
  ~LoomFsHandle();

  // The file system's status record. A failed request is System(errno).
  [[nodiscard]] std::expected<loomfs_status, LoomFsApiError> status() const;

  // Syncs, reports "Snap shot #n" on standard error, and turns checkpoint n
  // into a snapshot while holding the cleaner lock. Needs a handle opened
  // with the cleaner flag.
  [[nodiscard]] std::expected<std::uint64_t, LoomFsApiError> create_snapshot() const;

 private:
  LoomFsHandle(std::string device, std::string mount_dir) : device_(std::move(device)), mount_dir_(std::move(mount_dir)) {}

  std::string device_;
  std::string mount_dir_;
  struct loomfs* fs_ = nullptr;
};

}  // namespace lmfs::loomfs
