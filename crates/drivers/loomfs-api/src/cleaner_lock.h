// CleanerLock: the cleaner lock of one open library handle, that is the
// semaphore in its field n_cleaner, taken and given back around a snapshot's
// mode change. It borrows the handle, which must outlive it; the semaphore
// stays the handle's.
#pragma once

#include <expected>

#include "loomfs.h"
#include "loomfs_api/error.h"

namespace lmfs::loomfs {

class CleanerLock {
 public:
  // The text of the LockFailed that refuses a handle opened without
  // LOOMFS_OPEN_CLEANER.
  static constexpr const char* kNotOpened = "handle opened without the cleaner lock";

  explicit CleanerLock(const struct loomfs& fs) noexcept : fs_(fs) {}

  // Waits until the lock is free and takes it; a wait that a signal
  // interrupts is taken up again. LockFailed ("unable to acquire cleaner
  // lock") when the wait fails.
  [[nodiscard]] std::expected<void, LoomFsApiError> acquire() const;

  // Gives the lock back. LockFailed ("unable to release cleaner lock") when
  // the post fails.
  [[nodiscard]] std::expected<void, LoomFsApiError> release() const;

 private:
  // n_cleaner, or LockFailed(kNotOpened) when the handle has none.
  [[nodiscard]] std::expected<sem_t*, LoomFsApiError> semaphore() const;

  const struct loomfs& fs_;
};

}  // namespace lmfs::loomfs
