// The cleaner semaphore as the control library opens it (loomfs_open_sem_named
// and loomfs_open_sem_existing): the owner type of such a semaphore, and the
// sentence that says why the library refused one. Any local user can create
// files where named semaphores live, so the library refuses a file it cannot
// trust (see loomfs_sem_examine in loomfs.h).
#pragma once

#include <semaphore.h>

#include <optional>
#include <string>

#include "lmfs_base/unique.h"
#include "loomfs.h"

namespace lmfs::loomfs {

// A semaphore of the control library, closed with loomfs_close_sem (never
// sem_close: the library maps it itself).
struct CleanerSemTraits {
  using Handle = sem_t*;
  static constexpr sem_t* invalid() noexcept { return nullptr; }
  static void release(sem_t* sem) noexcept { ::loomfs_close_sem(sem); }
};
using UniqueCleanerSem = base::Unique<CleanerSemTraits>;

// Why the file of the semaphore called `name` is refused, as one sentence
// naming the file (and its folder) and who owns it:
//   "cleaner semaphore /dev/shm/sem.loomfs-cleaner-2064 refused: it is owned
//    by uid 1000, not by root or uid 0"
// nullopt when the library would not refuse it (or it cannot be examined):
// a failure to open it then had another cause.
[[nodiscard]] std::optional<std::string> cleaner_semaphore_refusal(const char* name);

}  // namespace lmfs::loomfs
