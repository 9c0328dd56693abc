// The cleaner semaphore's name as every user of a file system derives it
// from the device: by device number for a block device, by device and inode
// for a regular file or directory, links followed.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "loomfs.h"
#include "support.h"

namespace loomfs_test {
namespace {

std::string ByInode(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return "/loomfs-cleaner-" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

TEST(SemName, FollowsTheDeviceKind) {
  TempDir t;
  ASSERT_TRUE(write_file(t / "img", "x"));
  MakeDirs(t / "dir");
  MakeLink("img", t / "link-to-img");
  ASSERT_EQ(mkfifo((t / "fifo").c_str(), 0600), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(mknod((t / "blk").c_str(), S_IFBLK | 0600, makedev(8, 16)), 0);
    MakeLink("blk", t / "link-to-blk");
  }
  struct Row {
    std::string dev;
    std::string name;  // empty: fails with err
    int err;
    bool needs_root;
  } rows[] = {
      {t / "blk", "/loomfs-cleaner-2064", 0, true},  // 8:16, not the node's own inode
      {t / "link-to-blk", "/loomfs-cleaner-2064", 0, true},
      {t / "img", ByInode(t / "img"), 0, false},
      {t / "link-to-img", ByInode(t / "img"), 0, false},
      {t / "dir", ByInode(t / "dir"), 0, false},
      {t / "fifo", "", EINVAL, false},
      {"/dev/null", "", EINVAL, false},  // a character device
      {t / "missing", "", ENOENT, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.dev);
    if (r.needs_root && !root) continue;
    char name[LOOMFS_SEM_NAME_SIZE];
    errno = 0;
    const int rc = loomfs_sem_name(r.dev.c_str(), name, sizeof name);
    if (r.name.empty()) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(errno, r.err) << std::strerror(errno);
    } else {
      ASSERT_EQ(rc, 0) << std::strerror(errno);
      EXPECT_EQ(name, r.name);
    }
  }
}

// The name and its NUL must fit; a buffer one byte short is ENAMETOOLONG.
TEST(SemName, NeedsRoomForTheWholeName) {
  TempDir t;
  ASSERT_TRUE(write_file(t / "img", ""));
  const std::string want = ByInode(t / "img");
  struct Row {
    size_t size;
    int rc, err;
  } rows[] = {
      {0, -1, ENAMETOOLONG},
      {want.size(), -1, ENAMETOOLONG},
      {want.size() + 1, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    std::string buf(LOOMFS_SEM_NAME_SIZE, '#');
    errno = 0;
    EXPECT_EQ(loomfs_sem_name((t / "img").c_str(), buf.data(), r.size), r.rc);
    EXPECT_EQ(errno, r.err);
    if (r.rc == 0) {
      EXPECT_STREQ(buf.c_str(), want.c_str());
    }
    EXPECT_EQ(buf[r.size], '#') << "wrote past the buffer";
  }
}

// loomfs_open_sem takes the same name: what it creates is what the name
// function gives for the handle's device.
TEST(SemName, IsTheNameTheHandleOpens) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/shm";
  TempDir t;
  ASSERT_TRUE(write_file(t / "img", ""));
  auto body = [&] {
    char name[LOOMFS_SEM_NAME_SIZE];
    ASSERT_EQ(loomfs_sem_name((t / "img").c_str(), name, sizeof name), 0);
    loomfs fs{nullptr, strdup((t / "img").c_str()), nullptr, -1, -1, nullptr};
    ASSERT_EQ(loomfs_open_sem(&fs), 0) << std::strerror(errno);
    EXPECT_EQ(Semaphores(), std::set<std::string>{name + 1});
    // A second opening by name meets the same semaphore.
    sem_t* again = loomfs_open_sem_named(name);
    ASSERT_NE(again, nullptr) << std::strerror(errno);
    ASSERT_EQ(sem_wait(again), 0);
    int value = -1;
    EXPECT_EQ(sem_getvalue(fs.n_cleaner, &value), 0);
    EXPECT_EQ(value, 0);
    loomfs_close_sem(again);
    loomfs_close_sem(fs.n_cleaner);
    free(fs.n_devpath);
    sem_unlink(name);
  };
  EXPECT_TRUE(RunIsolated("", body));
}

}  // namespace
}  // namespace loomfs_test
