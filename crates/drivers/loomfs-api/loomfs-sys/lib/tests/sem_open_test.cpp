// Opening the cleaner semaphore where any local user can create files: only a
// file the library can trust is mapped, nothing follows a link or blocks, a
// new one is made whole and owner-only, and the semaphore is the one other
// processes meet through sem_open(3).
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "lmfs_testing/other_user.h"
#include "loomfs.h"
#include "support.h"

namespace loomfs_test {
namespace {

constexpr const char* kName = "/loomfs-cleaner-2064";
constexpr const char* kFile = "/dev/shm/sem.loomfs-cleaner-2064";
using lmfs::testing::kOtherUser;

// A file with what sem_open writes for a free semaphore.
void WriteSemFile(const std::string& path, mode_t mode, uid_t owner = 0) {
  sem_t initial;
  std::memset(&initial, 0, sizeof initial);
  ASSERT_EQ(sem_init(&initial, 1, 1), 0);
  ASSERT_TRUE(write_file(path, std::string(reinterpret_cast<const char*>(&initial), sizeof initial)));
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
}

void ExpectRefused(int reason) {
  errno = 0;
  sem_t* sem = loomfs_open_sem_named(kName);
  EXPECT_EQ(sem, nullptr);
  EXPECT_EQ(errno, EPERM) << std::strerror(errno);
  loomfs_close_sem(sem);
  struct stat st {};
  EXPECT_EQ(loomfs_sem_examine(kName, &st), reason);
}

// Every file another user can leave under the semaphore's name is refused,
// without following it, blocking on it or mapping it.
TEST(SemOpen, RefusesFilesItCannotTrust) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/shm";
  struct Row {
    const char* name;
    std::function<void()> plant;
    int reason;
  } rows[] = {
      {"another user's", [] { WriteSemFile(kFile, 0600, kOtherUser); }, LOOMFS_SEM_FOREIGN},
      {"writable by others", [] { WriteSemFile(kFile, 0666); }, LOOMFS_SEM_WRITABLE},
      {"writable by the group", [] { WriteSemFile(kFile, 0620); }, LOOMFS_SEM_WRITABLE},
      {"empty", [] { ASSERT_TRUE(write_file(kFile, "")); }, LOOMFS_SEM_WRONG_SIZE},
      {"one byte short", [] { ASSERT_TRUE(write_file(kFile, std::string(sizeof(sem_t) - 1, '\0'))); },
       LOOMFS_SEM_WRONG_SIZE},
      {"a FIFO", [] { ASSERT_EQ(mkfifo(kFile, 0600), 0); }, LOOMFS_SEM_NOT_REGULAR},
      {"a folder", [] { ASSERT_EQ(mkdir(kFile, 0700), 0); }, LOOMFS_SEM_NOT_REGULAR},
      {"a link to a trusted one",
       [] {
         WriteSemFile("/dev/shm/sem.other", 0600);
         MakeLink("sem.other", kFile);
       },
       LOOMFS_SEM_NOT_REGULAR},
      {"a second name of a trusted one",
       [] {
         WriteSemFile("/dev/shm/sem.other", 0600);
         ASSERT_EQ(link("/dev/shm/sem.other", kFile), 0);
       },
       LOOMFS_SEM_LINKED},
      {"in a folder everybody may empty",
       [] {
         WriteSemFile(kFile, 0600);
         ASSERT_EQ(chmod("/dev/shm", 0777), 0);
       },
       LOOMFS_SEM_UNSAFE_DIR},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_TRUE(RunIsolated("", [&] {
      r.plant();
      ExpectRefused(r.reason);
      errno = 0;
      EXPECT_EQ(loomfs_open_sem_existing(kName), nullptr);
      EXPECT_EQ(errno, EPERM);
    }));
  }
}

// A new semaphore is owner-only, whole and free from the moment it has its
// name; the commands that only look at a lock create nothing.
TEST(SemOpen, CreatesOwnerOnlyAndOnlyWhenAsked) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/shm";
  EXPECT_TRUE(RunIsolated("", [] {
    errno = 0;
    EXPECT_EQ(loomfs_open_sem_existing(kName), nullptr);
    EXPECT_EQ(errno, ENOENT);
    struct stat st {};
    EXPECT_EQ(loomfs_sem_examine(kName, &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(Semaphores().empty());

    sem_t* sem = loomfs_open_sem_named(kName);
    ASSERT_NE(sem, nullptr) << std::strerror(errno);
    ASSERT_EQ(lstat(kFile, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_size, static_cast<off_t>(sizeof(sem_t)));
    EXPECT_EQ(Semaphores(), std::set<std::string>{"loomfs-cleaner-2064"}) << "a passing name was left";
    int value = -1;
    EXPECT_EQ(sem_getvalue(sem, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(loomfs_sem_examine(kName, &st), LOOMFS_SEM_TRUSTED);
    loomfs_close_sem(sem);
  }));
}

// Our mapping and sem_open's are one semaphore: a wait through one is seen
// by the other, in both directions.
TEST(SemOpen, IsTheSemaphoreSemOpenMeets) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/shm";
  EXPECT_TRUE(RunIsolated("", [] {
    sem_t* theirs = sem_open(kName, O_CREAT, 0700, 1);
    ASSERT_NE(theirs, SEM_FAILED) << std::strerror(errno);
    sem_t* ours = loomfs_open_sem_named(kName);
    ASSERT_NE(ours, nullptr) << std::strerror(errno);
    int value = -1;
    ASSERT_EQ(sem_wait(theirs), 0);
    EXPECT_EQ(sem_getvalue(ours, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(sem_trywait(ours), -1);
    ASSERT_EQ(sem_post(ours), 0);
    EXPECT_EQ(sem_getvalue(theirs, &value), 0);
    EXPECT_EQ(value, 1);
    loomfs_close_sem(ours);
    sem_close(theirs);

    // And one we create is one sem_open finds, at its value.
    ASSERT_EQ(sem_unlink(kName), 0);
    ours = loomfs_open_sem_named(kName);
    ASSERT_NE(ours, nullptr) << std::strerror(errno);
    ASSERT_EQ(sem_wait(ours), 0);
    theirs = sem_open(kName, 0);
    ASSERT_NE(theirs, SEM_FAILED) << std::strerror(errno);
    EXPECT_EQ(sem_getvalue(theirs, &value), 0);
    EXPECT_EQ(value, 0);
    sem_close(theirs);
    loomfs_close_sem(ours);
  }));
}

// sem_open names a semaphore it creates through a second, passing name:
// meeting the file in that moment is no reason to refuse it.
TEST(SemOpen, WaitsForAPassingSecondName) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/shm";
  EXPECT_TRUE(RunIsolated("", [] {
    WriteSemFile("/dev/shm/XXpass", 0700);
    ASSERT_EQ(link("/dev/shm/XXpass", kFile), 0);
    std::thread namer([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      unlink("/dev/shm/XXpass");
    });
    sem_t* sem = loomfs_open_sem_named(kName);
    namer.join();
    EXPECT_NE(sem, nullptr) << std::strerror(errno);
    loomfs_close_sem(sem);
  }));
}

}  // namespace
}  // namespace loomfs_test
