#include "loomfs_api/handle.h"

#include <cerrno>
#include <string>

#include "cleaner_lock.h"
#include "lmfs_base/try.h"
#include "loomfs_api/cleaner_semaphore.h"

namespace lmfs::loomfs {
namespace {

// Why the library refused the cleaner semaphore of `device`, if it did.
std::optional<std::string> cleaner_refusal(const std::string& device) {
  char name[LOOMFS_SEM_NAME_SIZE];
  if (::loomfs_sem_name(device.c_str(), name, sizeof name) < 0) return std::nullopt;
  return cleaner_semaphore_refusal(name);
}

}  // namespace

std::expected<LoomFsHandle, LoomFsApiError> LoomFsHandle::open(std::string_view device, std::string_view mount_dir,
                                                               int flags) {
  const std::string dev = LMFS_TRY(to_c_string(device));
  const std::string dir = LMFS_TRY(to_c_string(mount_dir));

  UniqueLoomfs fs(::loomfs_open(dev.c_str(), dir.empty() ? nullptr : dir.c_str(), flags | LOOMFS_OPEN_MOUNT_RO));
  if (!fs) {
    if (auto refused = (flags & LOOMFS_OPEN_CLEANER) != 0 && errno == EPERM ? cleaner_refusal(dev) : std::nullopt)
      return std::unexpected(LoomFsApiError::LockFailed{std::move(*refused)});
    return std::unexpected(LoomFsApiError::OpenFailed{});
  }
  return LoomFsHandle(std::move(fs));
}

std::expected<loomfs_status, LoomFsApiError> LoomFsHandle::status() const {
  if (!fs_) return std::unexpected(LoomFsApiError::NotOpen{});
  loomfs_status st{};
  if (::loomfs_get_status(fs_.get(), &st) < 0) return std::unexpected(LoomFsApiError::System{errno});
  return st;
}

std::expected<std::uint64_t, LoomFsApiError> LoomFsHandle::sync() const {
  if (!fs_) return std::unexpected(LoomFsApiError::NotOpen{});
  std::uint64_t n = 0;
  if (::loomfs_sync(fs_.get(), &n) < 0) return std::unexpected(LoomFsApiError::SyncFailed{});
  return n;
}

std::expected<void, LoomFsApiError> LoomFsHandle::make_snapshot(std::uint64_t n) const {
  if (!fs_) return std::unexpected(LoomFsApiError::NotOpen{});
  const CleanerLock lock(*fs_.get());
  LMFS_TRY(lock.acquire());
  const bool changed = ::loomfs_change_mode(fs_.get(), n, LOOMFS_MODE_SNAPSHOT) >= 0;
  LMFS_TRY(lock.release());
  if (!changed) return std::unexpected(LoomFsApiError::ChangeFailed{std::to_string(n), "snapshot"});
  return {};
}

}  // namespace lmfs::loomfs
