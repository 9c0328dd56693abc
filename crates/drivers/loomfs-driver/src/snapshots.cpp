#include "loomfs_driver/snapshots.h"

#include <string>

#include "lmfs_diag/stderr.h"
#include "loomfs_api/handle.h"

namespace lmfs::loomfs::snapshots {
namespace {

void report_snapshot(std::uint64_t n) { diag::write_stderr("Snap shot #" + std::to_string(n) + "\n"); }

}  // namespace

std::expected<std::uint64_t, LoomFsDriverError> take_snapshot(const std::optional<std::string>& device,
                                                               std::string_view mount_dir) {
  if (!device) return std::unexpected(LoomFsDriverError::no_device());
  auto handle = LoomFsHandle::open(*device, mount_dir, LoomFsHandle::kSnapshotFlags);
  if (!handle) return std::unexpected(LoomFsDriverError(std::move(handle.error())));
  auto n = handle->sync();
  if (!n) return std::unexpected(LoomFsDriverError(std::move(n.error())));
  report_snapshot(*n);
  auto made = handle->make_snapshot(*n);
  if (!made) return std::unexpected(LoomFsDriverError(std::move(made.error())));
  return *n;
}

std::expected<std::uint64_t, LoomFsDriverError> current_checkpoint(const std::optional<std::string>& device,
                                                                    std::string_view mount_dir) {
  if (!device) return std::unexpected(LoomFsDriverError::no_device());
  auto handle = LoomFsHandle::open(*device, mount_dir, LoomFsHandle::kStatusFlags);
  if (!handle) return std::unexpected(LoomFsDriverError(std::move(handle.error())));
  auto status = handle->status();
  if (!status) return std::unexpected(LoomFsDriverError(std::move(status.error())));
  return status->ls_number;
}

}  // namespace lmfs::loomfs::snapshots
