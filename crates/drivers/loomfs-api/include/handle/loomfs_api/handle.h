// LoomFsHandle: the owner of one control-library handle (struct loomfs) on a
// mounted loomfs file system, for the length of one driver operation. It is
// opened from the store's device path and mount directory, offers the status
// request and the two steps of a snapshot, and closes the library handle
// when it is destroyed. It writes nothing: what to report is the caller's.
//
//   auto handle = LoomFsHandle::open(device, mount_dir, LoomFsHandle::kSnapshotFlags);
//   auto n = handle->sync();           // checkpoint n is written
//   ... report n ...
//   auto made = handle->make_snapshot(*n);  // under the cleaner lock
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>

#include "lmfs_base/unique.h"
#include "loomfs.h"
#include "loomfs_api/error.h"

namespace lmfs::loomfs {

// A library handle, closed with loomfs_close.
struct LoomfsTraits {
  using Handle = struct loomfs*;
  static constexpr struct loomfs* invalid() noexcept { return nullptr; }
  static void release(struct loomfs* fs) noexcept { ::loomfs_close(fs); }
};
using UniqueLoomfs = base::Unique<LoomfsTraits>;

class LoomFsHandle {
 public:
  // Flag sets the driver uses (LOOMFS_OPEN_MOUNT_RO is always added).
  static constexpr int kStatusFlags = LOOMFS_OPEN_DEVICE;
  static constexpr int kSnapshotFlags = LOOMFS_OPEN_MOUNT_RW | LOOMFS_OPEN_CLEANER;

  // Opens the library handle with `flags` | LOOMFS_OPEN_MOUNT_RO. An empty
  // mount directory is passed as no directory. Both views are read during
  // the call only. A NUL byte in either is NullPointer; a cleaner semaphore
  // the library refused to trust is LockFailed with the reason
  // (cleaner_semaphore_refusal); any other failure of the library OpenFailed.
  [[nodiscard]] static std::expected<LoomFsHandle, LoomFsApiError> open(std::string_view device,
                                                                         std::string_view mount_dir, int flags);

  // The file system's status record. A failed request is System(errno).
  [[nodiscard]] std::expected<loomfs_status, LoomFsApiError> status() const;

  // Has the file system write a checkpoint and returns its number.
  // SyncFailed when the request fails.
  [[nodiscard]] std::expected<std::uint64_t, LoomFsApiError> sync() const;

  // Turns checkpoint `n` into a snapshot while holding the cleaner lock:
  // waits for the lock, sends the mode change, releases the lock. LockFailed
  // when the handle was opened without LOOMFS_OPEN_CLEANER (nothing is sent)
  // or the lock cannot be taken or given back; a release that fails outweighs
  // a refused change (ChangeFailed).
  [[nodiscard]] std::expected<void, LoomFsApiError> make_snapshot(std::uint64_t n) const;

 private:
  explicit LoomFsHandle(UniqueLoomfs fs) : fs_(std::move(fs)) {}

  UniqueLoomfs fs_;
};

}  // namespace lmfs::loomfs
