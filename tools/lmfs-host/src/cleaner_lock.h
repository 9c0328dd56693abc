// The cleaner lock of a loomfs file system as an operator sees it: is it held,
// who has it open, and giving back a lock whose holder died.
//
// The lock is the named semaphore the control library derives from the device
// (loomfs_sem_name) and opens (loomfs_open_sem_existing: these commands create
// nothing, and a semaphore file the library does not trust is refused, never
// mapped); value 1 means free, 0 held. A process killed between its wait and its post leaves it held for
// good, and every later snapshot on that file system waits for ever.
#pragma once

#include <string>

namespace lmfs::host {

// lmfs-host --lock-status DEVICE: one JSON line on standard output. Returns
// the exit status (0 answered, kExitLock when the lock cannot be examined).
[[nodiscard]] int lock_status(const std::string& device);

// lmfs-host --release-lock DEVICE: posts the semaphore when it is held, after
// a warning on standard error; leaves a free lock alone. One JSON line.
[[nodiscard]] int release_lock(const std::string& device);

// The device's lock could not be examined (no such device, not a block
// device or regular file, the semaphore refused or cannot be opened).
inline constexpr int kExitLock = 4;

}  // namespace lmfs::host
