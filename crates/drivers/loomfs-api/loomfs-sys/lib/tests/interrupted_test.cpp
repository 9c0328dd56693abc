// Calls of a handle's opening that a signal interrupts are taken up again:
// the opens of the device and of the mount directory, and the block device's
// size request. (The control requests: request_test.cpp.)
#include <linux/fs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ioctl_spy.h"
#include "loomfs.h"
#include "open_spy.h"
#include "support.h"

namespace loomfs_test {
namespace {

TEST(Interrupted, OpensOfTheDeviceAndTheMountDirectoryAreTakenUpAgain) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces";
  TempDir t;
  const std::string img = t / "img", mnt = t / "mnt";
  MakeDirs(mnt);
  WriteImage(img, 65536, Sb{}, Sb{});
  EXPECT_TRUE(RunIsolated(img + " " + mnt + " loomfs rw,relatime 0 0\n", [&] {
    for (const std::string& path : {img, mnt}) {
      SCOPED_TRACE(path);
      const auto fds = open_fds();
      open_spy = {path.c_str(), 2, 0};
      loomfs* fs = loomfs_open(img.c_str(), nullptr, LOOMFS_OPEN_DEVICE | LOOMFS_OPEN_MOUNT_RO);
      EXPECT_NE(fs, nullptr) << std::strerror(errno);
      EXPECT_EQ(open_spy.calls, 3u);
      loomfs_close(fs);
      EXPECT_EQ(open_fds(), fds);
    }
    open_spy = {};
  }));
}

TEST(Interrupted, SizeRequestOfABlockDeviceIsSentAgain) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
  TempDir t;
  WriteImage(t / "img", 1u << 20, Sb{}, Sb{});
  LoopDevice loop(t / "img");
  ASSERT_TRUE(loop.attached()) << loop.error();
  ioctl_spy = {};
  ioctl_spy.fd = -1;
  ioctl_spy.interrupted = BLKGETSIZE64;
  ioctl_spy.interruptions = 2;
  loomfs* fs = loomfs_open(loop.path().c_str(), nullptr, LOOMFS_OPEN_DEVICE);
  EXPECT_NE(fs, nullptr) << std::strerror(errno);
  EXPECT_EQ(ioctl_spy.interruptions, 0u);
  loomfs_close(fs);
  ioctl_spy = {};
  ioctl_spy.fd = -1;
}

}  // namespace
}  // namespace loomfs_test
