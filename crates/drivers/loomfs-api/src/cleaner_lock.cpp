#include "cleaner_lock.h"

#include <semaphore.h>

#include <cerrno>

#include "lmfs_base/try.h"

namespace lmfs::loomfs {

std::expected<sem_t*, LoomFsApiError> CleanerLock::semaphore() const {
  if (fs_.n_cleaner == nullptr) return std::unexpected(LoomFsApiError::LockFailed{kNotOpened});
  return fs_.n_cleaner;
}

std::expected<void, LoomFsApiError> CleanerLock::acquire() const {
  sem_t* sem = LMFS_TRY(semaphore());
  int rc;
  do {
    rc = ::sem_wait(sem);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return std::unexpected(LoomFsApiError::LockFailed{"unable to acquire cleaner lock"});
  return {};
}

std::expected<void, LoomFsApiError> CleanerLock::release() const {
  sem_t* sem = LMFS_TRY(semaphore());
  if (::sem_post(sem) < 0) return std::unexpected(LoomFsApiError::LockFailed{"unable to release cleaner lock"});
  return {};
}

}  // namespace lmfs::loomfs
