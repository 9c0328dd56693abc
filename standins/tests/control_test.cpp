// The control requests on a mounted stand-in, and its watch on the cleaner
// lock.
#include <barrier>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace lmfs::standin::testing {
namespace {

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    const ProcessRun made = run({tool("mkfs.loomfs"), "-q", "-f", "-O", "block_count", image_.path()});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    mount_ = std::make_unique<Mount>(image_.path(), dir_);
    ASSERT_TRUE(mount_->ok()) << mount_->result().err;
  }

  // The cleaner semaphore of the image, named as the plug-in names it.
  sem_t* cleaner() {
    struct stat st {};
    EXPECT_EQ(::stat(image_.path().c_str(), &st), 0);
    const std::string name = "/loomfs-cleaner-" + std::to_string(st.st_dev) + "-" +
                             std::to_string(st.st_ino);
    sem_t* sem = ::sem_open(name.c_str(), O_CREAT, 0700, 1);
    EXPECT_NE(sem, SEM_FAILED);
    return sem;
  }

  std::uint64_t violations() { return get_status(dir_).value_or(FsStatus{}).violations; }

  // The daemon's log, where each violation leaves a line.
  std::string daemon_log() {
    struct stat st {};
    EXPECT_EQ(::stat(image_.path().c_str(), &st), 0);
    return read_file("/dev/shm/loomfs-standins/loomfsd-" + std::to_string(st.st_dev) + "-" +
                     std::to_string(st.st_ino) + ".log");
  }

  Image image_{"img", 1 << 20};
  std::string dir_ = make_dir("mnt");
  std::unique_ptr<Mount> mount_;
};

TEST_F(Control, CheckpointNumbersStartAtOneAndIncrease) {
  auto status = get_status(dir_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->checkpoint, 0u);
  for (std::uint64_t expected = 1; expected <= 3; ++expected) {
    EXPECT_EQ(sync_fs(dir_).value_or(0), expected);
  }
  EXPECT_EQ(get_status(dir_).value_or(FsStatus{}).checkpoint, 3u);
}

TEST_F(Control, ChangeModeKnowsOnlyItsCheckpoints) {
  ASSERT_EQ(sync_fs(dir_).value_or(0), 1u);
  ASSERT_EQ(sync_fs(dir_).value_or(0), 2u);
  sem_t* sem = cleaner();
  ASSERT_EQ(::sem_wait(sem), 0);
  struct Case {
    std::uint64_t number;
    std::uint32_t mode;
    std::uint32_t reserved;
    int error;  // 0: accepted
  };
  const Case cases[] = {
      {1, 1, 0, 0},       {1, 1, 0, 0},  // again: still a snapshot
      {2, 1, 0, 0},       {0, 1, 0, EINVAL}, {3, 1, 0, EINVAL},
      {~0ull, 1, 0, EINVAL}, {1, 7, 0, EINVAL}, {1, 1, 5, EINVAL},
      {2, 0, 0, 0},  // back to a plain checkpoint
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.number) + " mode " + std::to_string(c.mode));
    auto r = change_mode(dir_, c.number, c.mode, c.reserved);
    EXPECT_EQ(r.has_value() ? 0 : r.error(), c.error);
  }
  ASSERT_EQ(::sem_post(sem), 0);
  ::sem_close(sem);
  auto status = get_status(dir_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->checkpoint, 2u);
  EXPECT_EQ(status->snapshots, 1u);
  EXPECT_EQ(status->violations, 0u) << daemon_log();
}

TEST_F(Control, RequestsElsewhereThanTheRootAreNotServed) {
  ASSERT_TRUE(write_file(dir_ + "/file", "x"));
  ASSERT_EQ(::mkdir((dir_ + "/sub").c_str(), 0755), 0);
  for (const char* name : {"/file", "/sub"}) {
    SCOPED_TRACE(name);
    const int fd = ::open((dir_ + name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::uint64_t n = 0;
    EXPECT_EQ(::ioctl(fd, 0x80086E8A, &n), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(fd);
  }
  const int fd = ::open(dir_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::uint64_t n = 0;
  EXPECT_EQ(::ioctl(fd, 0x80086E8B, &n), -1);
  EXPECT_EQ(errno, ENOTTY);
  ::close(fd);
}

TEST_F(Control, RecordsAChangeModeWithoutTheLock) {
  ASSERT_EQ(sync_fs(dir_).value_or(0), 1u);
  sem_t* sem = cleaner();
  ASSERT_TRUE(change_mode(dir_, 1, 1).has_value());
  EXPECT_EQ(violations(), 1u);
  ASSERT_EQ(::sem_wait(sem), 0);
  ASSERT_TRUE(change_mode(dir_, 1, 1).has_value());
  ASSERT_EQ(::sem_post(sem), 0);
  EXPECT_EQ(violations(), 1u);
  ::sem_close(sem);
  const std::string log = daemon_log();
  EXPECT_NE(log.find("lock violation 1: change-mode of checkpoint 1 from process"),
            std::string::npos)
      << log;
}

// Two change-modes at once are one too many, even while the lock is held.
TEST_F(Control, RecordsOverlappingChangeModes) {
  ASSERT_EQ(sync_fs(dir_).value_or(0), 1u);
  sem_t* sem = cleaner();
  ASSERT_EQ(::sem_wait(sem), 0);
  for (int round = 0; round < 20 && violations() == 0; ++round) {
    std::barrier start(2);
    auto send = [&] {
      start.arrive_and_wait();
      EXPECT_TRUE(change_mode(dir_, 1, 1).has_value());
    };
    std::thread a(send), b(send);
    a.join();
    b.join();
  }
  EXPECT_GE(violations(), 1u);
  ASSERT_EQ(::sem_post(sem), 0);
  ::sem_close(sem);
}

// A read-only remount shows "ro" once the shown table is rewritten.
TEST_F(Control, ShownTableFollowsAReadOnlyRemount) {
  ASSERT_EQ(run({"mount", "-o", "remount,bind,ro", dir_}).exit_status, 0);
  ASSERT_EQ(run({tool("loomfs-mtab")}).exit_status, 0);
  auto shown = shown_lines_for(dir_);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].find(" loomfs ro,"), std::string::npos) << shown[0];
  EXPECT_EQ(::mkdir((dir_ + "/x").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
  // Control requests still reach the daemon on a read-only mount.
  EXPECT_TRUE(get_status(dir_).has_value());
}

}  // namespace
}  // namespace lmfs::standin::testing
