// The cleaner lock on a library handle's semaphore: refused without one,
// taken and given back with one, and waited for through signals.
#include "cleaner_lock.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace lmfs::loomfs {
namespace {

using Step = std::expected<void, LoomFsApiError> (CleanerLock::*)() const;

::loomfs handle_with(sem_t* sem) { return ::loomfs{nullptr, nullptr, nullptr, -1, -1, sem}; }

int value_of(sem_t* sem) {
  int v = -1;
  EXPECT_EQ(::sem_getvalue(sem, &v), 0);
  return v;
}

// Before, such a handle reached sem_wait(NULL).
TEST(CleanerLock, RefusesAHandleOpenedWithoutIt) {
  const ::loomfs fs = handle_with(nullptr);
  const CleanerLock lock(fs);
  const struct {
    const char* name;
    Step step;
  } steps[] = {{"acquire", &CleanerLock::acquire}, {"release", &CleanerLock::release}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    auto r = (lock.*s.step)();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LoomFsApiError(LoomFsApiError::LockFailed{CleanerLock::kNotOpened}));
    EXPECT_EQ(r.error().message(), "lock failed: handle opened without the cleaner lock");
  }
}

TEST(CleanerLock, TakesAndGivesBackTheHandlesSemaphore) {
  sem_t sem;
  ASSERT_EQ(::sem_init(&sem, 0, 1), 0);
  const ::loomfs fs = handle_with(&sem);
  const CleanerLock lock(fs);
  ASSERT_TRUE(lock.acquire());
  EXPECT_EQ(value_of(&sem), 0);
  ASSERT_TRUE(lock.release());
  EXPECT_EQ(value_of(&sem), 1);
  ::sem_destroy(&sem);
}

std::atomic<int> interruptions{0};
void count_interruption(int) { interruptions.fetch_add(1); }

// sem_wait is never restarted after a signal handler; the lock waits on.
TEST(CleanerLock, AWaitInterruptedBySignalsIsTakenUpAgain) {
  sem_t sem;
  ASSERT_EQ(::sem_init(&sem, 0, 0), 0);
  const ::loomfs fs = handle_with(&sem);

  struct sigaction action{}, old{};
  action.sa_handler = count_interruption;  // no SA_RESTART
  ASSERT_EQ(::sigaction(SIGALRM, &action, &old), 0);
  // The poster starts with SIGALRM blocked, so every signal meets the waiter.
  sigset_t alarm, previous;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &alarm, &previous), 0);
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ::sem_post(&sem);
  });
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &previous, nullptr), 0);
  interruptions = 0;
  const itimerval every_5ms{{0, 5000}, {0, 5000}}, off{};
  ::setitimer(ITIMER_REAL, &every_5ms, nullptr);

  auto r = CleanerLock(fs).acquire();

  ::setitimer(ITIMER_REAL, &off, nullptr);
  poster.join();
  ::sigaction(SIGALRM, &old, nullptr);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_GE(interruptions.load(), 2) << "the wait was never interrupted: the test proves nothing";
  EXPECT_EQ(value_of(&sem), 0);
  ::sem_destroy(&sem);
}

}  // namespace
}  // namespace lmfs::loomfs
