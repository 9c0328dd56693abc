// loomfs_open with mount bits and the cleaner semaphore, end to end on
// crafted mount tables: each case runs in a child with a private mount
// namespace, its own /proc/mounts and an empty /dev/shm.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "lmfs_testing/process.h"
#include "loomfs.h"
#include "support.h"

namespace loomfs_test {
namespace {

std::string Line(const std::string& dev, const std::string& dir, const std::string& opts) {
  return dev + " " + dir + " loomfs " + opts + " 0 0\n";
}

std::string FileSemName(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return "loomfs-cleaner-" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

class Mounted : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces";
    for (const char* d : {"mnt/rw", "mnt/ro", "mnt/dir", "mnt/other", "dev"}) MakeDirs(t / d);
    WriteImage(t / "dev/img", 65536, Sb{}, Sb{});
    WriteImage(t / "dev/img-ro", 65536, Sb{}, Sb{});
    MakeLink("img", t / "dev/link");
  }
  TempDir t;
};

TEST_F(Mounted, OpensWhatTheFlagsAskFor) {
  const std::string img = t / "dev/img", img_ro = t / "dev/img-ro", link = t / "dev/link";
  const std::string rw = t / "mnt/rw", ro = t / "mnt/ro";
  const std::string table = Line(img_ro, ro, "ro,relatime") + Line(img, rw, "rw,relatime");
  struct Row {
    const char *dev, *dir;
    int flags;
    int err;  // 0: opens, with the names below
    std::string devpath, mntdir;
  } rows[] = {
      {img.c_str(), nullptr, 0x0003, 0, img, rw},
      {img_ro.c_str(), nullptr, 0x0002, 0, img_ro, ro},
      {img_ro.c_str(), nullptr, 0x0003, 0, img_ro, ro},
      {img_ro.c_str(), nullptr, 0x0004, ENOENT},
      {img_ro.c_str(), nullptr, 0x0008, ENOENT},
      {nullptr, nullptr, 0x0004, 0, img, rw},
      {nullptr, rw.c_str(), 0x0001, 0, img, rw},   // device taken from the table
      {nullptr, ro.c_str(), 0x0003, ENOENT},       // ... and only from a read-write mount
      {link.c_str(), nullptr, 0x000B, 0, img, rw},  // the table's text replaces the caller's
      {img.c_str(), ro.c_str(), 0x0002, ENOENT},
  };
  auto body = [&] {
    const auto fds = open_fds();
    for (const Row& r : rows) {
      SCOPED_TRACE(testing::Message() << (r.dev ? r.dev : "-") << " " << (r.dir ? r.dir : "-") << " " << r.flags);
      errno = 0;
      loomfs* fs = loomfs_open(r.dev, r.dir, r.flags);
      if (r.err != 0) {
        EXPECT_EQ(fs, nullptr);
        EXPECT_EQ(errno, r.err) << std::strerror(errno);
      } else if (fs == nullptr) {
        ADD_FAILURE() << std::strerror(errno);
      } else {
        EXPECT_EQ(fs->n_devpath, r.devpath);
        EXPECT_STREQ(fs->n_mntdir, r.mntdir.c_str());
        EXPECT_EQ(fs->n_sb != nullptr, (r.flags & LOOMFS_OPEN_DEVICE) != 0);
        EXPECT_EQ(fs->n_dev_fd >= 0, (r.flags & LOOMFS_OPEN_DEVICE) != 0);
        EXPECT_EQ(fs->n_dir_fd >= 0, (r.flags & 0xE) != 0);
        EXPECT_EQ(fs->n_cleaner, nullptr);
        loomfs_close(fs);
      }
      EXPECT_EQ(open_fds(), fds);
    }
    // The public lookup reads the same table.
    loomfs fs{nullptr, nullptr, nullptr, -1, -1, nullptr};
    ASSERT_EQ(loomfs_find_fs(&fs, link.c_str(), nullptr, "rw"), 0);
    EXPECT_STREQ(fs.n_mntdir, rw.c_str());
    free(fs.n_devpath);
    free(fs.n_mntdir);
  };
  EXPECT_TRUE(RunIsolated(table, body));
}

TEST_F(Mounted, NamesTheCleanerSemaphoreAfterTheDevice) {
  WriteImage(t / "dev/loop-img", 65536, Sb{}, Sb{});
  LoopDevice loop(t / "dev/loop-img");
  ASSERT_TRUE(loop.attached()) << loop.error();
  ASSERT_EQ(mknod((t / "dev/blk").c_str(), S_IFBLK | 0600, makedev(8, 16)), 0);
  ASSERT_EQ(mkfifo((t / "dev/fifo").c_str(), 0600), 0);
  const std::string img = t / "dev/img";
  std::string table = Line(img, t / "mnt/rw", "rw") + Line(loop.path(), t / "mnt/ro", "rw") +
                      Line(t / "mnt/other", t / "mnt/dir", "rw") + Line(t / "dev/blk", t / "mnt/other", "rw") +
                      Line("/dev/null", t / "dev", "rw") + Line(t / "dev/fifo", t.path(), "rw");
  struct Row {
    std::string dir;
    std::string sem;  // empty: open fails with EINVAL
  } rows[] = {
      {t / "mnt/rw", FileSemName(img)},
      {t / "mnt/ro", "loomfs-cleaner-" + std::to_string(loop.number())},
      {t / "mnt/dir", FileSemName(t / "mnt/other")},
      {t / "mnt/other", "loomfs-cleaner-2064"},  // block device 8:16
      {t / "dev", ""},                           // character device
      {t.path(), ""},                            // FIFO
  };
  auto body = [&] {
    const auto fds = open_fds();
    for (const Row& r : rows) {
      SCOPED_TRACE(r.dir);
      errno = 0;
      loomfs* fs = loomfs_open(nullptr, r.dir.c_str(), LOOMFS_OPEN_MOUNT_RW | LOOMFS_OPEN_CLEANER | LOOMFS_OPEN_MOUNT_RO);
      if (r.sem.empty()) {
        EXPECT_EQ(fs, nullptr);
        EXPECT_EQ(errno, EINVAL) << std::strerror(errno);
        EXPECT_TRUE(Semaphores().empty());
        EXPECT_EQ(open_fds(), fds);
        continue;
      }
      ASSERT_NE(fs, nullptr) << std::strerror(errno);
      EXPECT_EQ(Semaphores(), std::set<std::string>{r.sem});
      struct stat st {};
      EXPECT_EQ(stat(("/dev/shm/sem." + r.sem).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      int value = -1;
      EXPECT_EQ(sem_getvalue(fs->n_cleaner, &value), 0);
      EXPECT_EQ(value, 1);
      loomfs_close(fs);
      EXPECT_EQ(Semaphores(), std::set<std::string>{r.sem});  // the name outlives the handle
      EXPECT_EQ(sem_unlink(("/" + r.sem).c_str()), 0);
      EXPECT_EQ(open_fds(), fds);
    }
    // An existing semaphore is opened as it is.
    sem_t* held = sem_open(("/" + FileSemName(img)).c_str(), O_CREAT, 0600, 0);
    ASSERT_NE(held, SEM_FAILED);
    loomfs* fs = loomfs_open(img.c_str(), nullptr, 0x100A);
    ASSERT_NE(fs, nullptr) << std::strerror(errno);
    int value = -1;
    EXPECT_EQ(sem_getvalue(fs->n_cleaner, &value), 0);
    EXPECT_EQ(value, 0);
    loomfs_close(fs);
    sem_close(held);
    sem_unlink(("/" + FileSemName(img)).c_str());
  };
  EXPECT_TRUE(RunIsolated(table, body));
}

// Two processes on the same file system meet the same lock; opening while
// the other holds it succeeds, only the wait blocks.
TEST_F(Mounted, CleanerLockIsSharedBetweenProcesses) {
  const std::string img = t / "dev/img";
  auto body = [&] {
    int locked[2], go[2];
    ASSERT_EQ(pipe2(locked, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    lmfs::testing::Process holder = lmfs::testing::Process::fork(
        [&] {
          loomfs* fs = loomfs_open(img.c_str(), nullptr, 0x100A);
          char c = 0;
          int ok = fs != nullptr && sem_wait(fs->n_cleaner) == 0 && write(locked[1], "L", 1) == 1 &&
                   read(go[0], &c, 1) == 1 && sem_post(fs->n_cleaner) == 0;
          if (fs != nullptr) loomfs_close(fs);
          return ok ? 0 : 1;
        },
        {.output = lmfs::testing::Output::inherit});
    ASSERT_TRUE(holder.started());
    char c = 0;
    ASSERT_EQ(read(locked[0], &c, 1), 1);
    loomfs* fs = loomfs_open(img.c_str(), nullptr, 0x100A);
    ASSERT_NE(fs, nullptr) << std::strerror(errno);
    EXPECT_EQ(sem_trywait(fs->n_cleaner), -1);
    EXPECT_EQ(errno, EAGAIN);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 50'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec++;
      deadline.tv_nsec -= 1'000'000'000;
    }
    EXPECT_EQ(sem_timedwait(fs->n_cleaner, &deadline), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    ASSERT_EQ(write(go[1], "G", 1), 1);
    EXPECT_EQ(sem_wait(fs->n_cleaner), 0);  // released by the holder
    EXPECT_EQ(sem_post(fs->n_cleaner), 0);
    EXPECT_EQ(holder.wait(), 0);
    loomfs_close(fs);
    for (int fd : {locked[0], locked[1], go[0], go[1]}) close(fd);
    EXPECT_EQ(sem_unlink(("/" + FileSemName(img)).c_str()), 0);
  };
  EXPECT_TRUE(RunIsolated(Line(img, t / "mnt/rw", "rw"), body));
}

// A directory that is no loomfs mount refuses the requests; the error comes back unchanged.
TEST_F(Mounted, RequestsGoToTheMountDirectory) {
  const std::string img = t / "dev/img";
  auto body = [&] {
    loomfs* fs = loomfs_open(img.c_str(), nullptr, 0x0003);
    ASSERT_NE(fs, nullptr) << std::strerror(errno);
    uint64_t cno = 0;
    loomfs_status status{};
    EXPECT_EQ(loomfs_sync(fs, &cno), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(loomfs_get_status(fs, &status), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(loomfs_change_mode(fs, 0, LOOMFS_MODE_SNAPSHOT), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(loomfs_change_mode(fs, 3, LOOMFS_MODE_SNAPSHOT), -1);
    EXPECT_EQ(errno, ENOTTY);
    loomfs_close(fs);
  };
  EXPECT_TRUE(RunIsolated(Line(img, t / "mnt/rw", "rw"), body));
}

// A user's FUSE mount whose source name holds vertical tabs shows as a line
// that splits into a loomfs line naming our device and the user's folder,
// ahead of the real one: the lookup skips it (more than six fields), so
// requests reach the real mount, not a file system the user serves.
TEST_F(Mounted, ALineForgedByASourceNameIsSkipped) {
  const std::string img = t / "dev/img", real = t / "mnt/rw", theirs = t / "mnt/other";
  const std::string forged = img + "\v" + theirs + "\vloomfs\vrw\v0 " + theirs + " fuse.theirs rw,nosuid 0 0\n";
  auto body = [&] {
    loomfs* fs = loomfs_open(img.c_str(), nullptr, 0x100A);
    ASSERT_NE(fs, nullptr) << std::strerror(errno);
    EXPECT_STREQ(fs->n_mntdir, real.c_str());
    EXPECT_STREQ(fs->n_devpath, img.c_str());
    loomfs_close(fs);
  };
  EXPECT_TRUE(RunIsolated(forged + Line(img, real, "rw"), body));
}

// The table names whatever a mount's source chose: a FIFO or a link where the
// directory should be is refused at once, never waited on or followed.
TEST_F(Mounted, OpensTheMountDirectoryOnlyAsADirectory) {
  const std::string img = t / "dev/img", fifo = t / "mnt/fifo", link = t / "mnt/link";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  MakeLink("rw", link);
  for (const auto& [dir, err] : {std::pair{fifo, ENOTDIR}, std::pair{link, ENOTDIR}}) {
    SCOPED_TRACE(dir);
    auto body = [&] {
      errno = 0;
      loomfs* fs = loomfs_open(img.c_str(), nullptr, 0x0002);
      EXPECT_EQ(fs, nullptr);
      EXPECT_EQ(errno, err) << std::strerror(errno);
      if (fs != nullptr) loomfs_close(fs);
    };
    EXPECT_TRUE(RunIsolated(Line(img, dir, "rw"), body));
  }
}

}  // namespace
}  // namespace loomfs_test
