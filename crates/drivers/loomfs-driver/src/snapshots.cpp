#include "loomfs_driver/snapshots.h"

#include <string>

#include "lmfs_base/try.h"
#include "lmfs_diag/stderr.h"
#include "loomfs_api/handle.h"

namespace lmfs::loomfs::snapshots {
namespace {

void report_snapshot(std::uint64_t n) { diag::write_stderr("Snap shot #" + std::to_string(n) + "\n"); }

}  // namespace

std::expected<std::uint64_t, LoomFsDriverError> take_snapshot(const std::optional<std::string>& device,
                                                               std::string_view mount_dir) {
  if (!device) return std::unexpected(LoomFsDriverError::no_device());
  const LoomFsHandle handle = LMFS_TRY(LoomFsHandle::open(*device, mount_dir, LoomFsHandle::kSnapshotFlags));
  const std::uint64_t n = LMFS_TRY(handle.sync());
  report_snapshot(n);
  LMFS_TRY(handle.make_snapshot(n));
  return n;
}

std::expected<std::uint64_t, LoomFsDriverError> current_checkpoint(const std::optional<std::string>& device,
                                                                    std::string_view mount_dir) {
  if (!device) return std::unexpected(LoomFsDriverError::no_device());
  const LoomFsHandle handle = LMFS_TRY(LoomFsHandle::open(*device, mount_dir, LoomFsHandle::kStatusFlags));
  return LMFS_TRY(handle.status()).ls_number;
}

}  // namespace lmfs::loomfs::snapshots
