#include "cleaner_lock.h"

#include <semaphore.h>

#include <cerrno>

namespace lmfs::loomfs {

std::expected<sem_t*, LoomFsApiError> CleanerLock::semaphore() const {
  if (fs_.n_cleaner == nullptr) return std::unexpected(LoomFsApiError::LockFailed{kNotOpened});
  return fs_.n_cleaner;
}

std::expected<void, LoomFsApiError> CleanerLock::acquire() const {
  auto sem = semaphore();
  if (!sem) return std::unexpected(std::move(sem.error()));
  int rc;
  do {
    rc = ::sem_wait(*sem);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return std::unexpected(LoomFsApiError::LockFailed{"unable to acquire cleaner lock"});
  return {};
}

std::expected<void, LoomFsApiError> CleanerLock::release() const {
  auto sem = semaphore();
  if (!sem) return std::unexpected(std::move(sem.error()));
  if (::sem_post(*sem) < 0) return std::unexpected(LoomFsApiError::LockFailed{"unable to release cleaner lock"});
  return {};
}

}  // namespace lmfs::loomfs
