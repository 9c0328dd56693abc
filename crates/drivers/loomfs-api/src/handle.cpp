#include "loomfs_api/handle.h"

#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <utility>

namespace lmfs::loomfs {
namespace {

// Waits on the cleaner lock; a wait interrupted by a signal is taken up again.
int wait_retrying(sem_t* sem) {
  int rc;
  do {
    rc = ::sem_wait(sem);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// "Snap shot #n\n" on standard error, in one write.
void report_snapshot(std::uint64_t n) {
  char line[48] = "Snap shot #";
  char* p = line + 11;
  p = std::to_chars(p, line + sizeof line - 1, n).ptr;
  *p++ = '\n';
  const char* out = line;
  while (out < p) {
    const ssize_t w = ::write(STDERR_FILENO, out, static_cast<std::size_t>(p - out));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    out += w;
  }
}

}  // namespace

std::expected<LoomFsHandle, LoomFsApiError> LoomFsHandle::open(std::string_view device, std::string_view mount_dir,
                                                               int flags) {
  LoomFsHandle handle{std::string(device), std::string(mount_dir)};
  auto dev = to_c_string(handle.device_);
  if (!dev) return std::unexpected(LoomFsApiError(std::move(dev.error())));
  auto dir = to_c_string(handle.mount_dir_);
  if (!dir) return std::unexpected(LoomFsApiError(std::move(dir.error())));

  handle.fs_ = ::loomfs_open(dev->c_str(), handle.mount_dir_.empty() ? nullptr : dir->c_str(),
                             flags | LOOMFS_OPEN_MOUNT_RO);
  if (handle.fs_ == nullptr) return std::unexpected(LoomFsApiError::OpenFailed{});
  return handle;
}

LoomFsHandle::LoomFsHandle(LoomFsHandle&& other) noexcept
    : device_(std::move(other.device_)), mount_dir_(std::move(other.mount_dir_)), fs_(std::exchange(other.fs_, nullptr)) {}

LoomFsHandle::~LoomFsHandle() {
  if (fs_ != nullptr) ::loomfs_close(fs_);
}

std::expected<loomfs_status, LoomFsApiError> LoomFsHandle::status() const {
  if (fs_ == nullptr) return std::unexpected(LoomFsApiError::NotOpen{});
  loomfs_status st{};
  if (::loomfs_get_status(fs_, &st) < 0) return std::unexpected(LoomFsApiError::System{errno});
  return st;
}

std::expected<std::uint64_t, LoomFsApiError> LoomFsHandle::create_snapshot() const {
  if (fs_ == nullptr) return std::unexpected(LoomFsApiError::NotOpen{});
  std::uint64_t n = 0;
  if (::loomfs_sync(fs_, &n) < 0) return std::unexpected(LoomFsApiError::SyncFailed{});
  report_snapshot(n);

  if (wait_retrying(fs_->n_cleaner) < 0) {
    return std::unexpected(LoomFsApiError::LockFailed{"unable to acquire cleaner lock"});
  }
  const bool changed = ::loomfs_change_mode(fs_, n, LOOMFS_MODE_SNAPSHOT) >= 0;
  if (::sem_post(fs_->n_cleaner) < 0) {
    return std::unexpected(LoomFsApiError::LockFailed{"unable to release cleaner lock"});
  }
  if (!changed) return std::unexpected(LoomFsApiError::ChangeFailed{std::to_string(n), "snapshot"});
  return n;
}

}  // namespace lmfs::loomfs
