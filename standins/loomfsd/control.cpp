#include "control.h"

#include <cerrno>
#include <cstdio>
#include <thread>

#include "loomfs.h"
#include "lmfs_base/try.h"

namespace lmfs::standin {

Result<std::unique_ptr<CleanerWatch>> CleanerWatch::open(const DeviceInfo& device) {
  auto name = LMFS_TRY(cleaner_semaphore_name(device));
  loomfs::UniqueCleanerSem sem(::loomfs_open_sem_named(name.c_str()));
  if (!sem && errno == EPERM) {
    const auto refused = loomfs::cleaner_semaphore_refusal(name.c_str());
    std::fprintf(stderr, "loomfsd: not watching the cleaner lock: %s\n",
                 refused.value_or("cleaner semaphore " + name + " refused").c_str());
  } else if (!sem) {
    return sys_fail("cannot open the cleaner semaphore " + name);
  }
  return std::unique_ptr<CleanerWatch>(new CleanerWatch(std::move(sem)));
}

CleanerWatch::Request::Request(CleanerWatch& watch, std::uint64_t number, int sender)
    : watch_(watch) {
  const int others = watch_.in_progress_.fetch_add(1);
  int value = 0;
  if (watch_.sem_) ::sem_getvalue(watch_.sem_.get(), &value);
  if (value != 0 || others != 0) {
    const std::uint64_t count = watch_.violations_.fetch_add(1) + 1;
    std::fprintf(stderr,
                 "loomfsd: lock violation %llu: change-mode of checkpoint %llu from process %d "
                 "with the cleaner semaphore at %d and %d other change-mode(s) in progress\n",
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(number),
                 sender, value, others);
  }
  std::this_thread::sleep_for(kChangeModeHold);
}

}  // namespace lmfs::standin
