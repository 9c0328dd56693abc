// Superblock copies on regular files and loop devices, and opening a handle
// on a device alone.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "loomfs.h"
#include "support.h"

namespace loomfs_test {
namespace {

const Sb kPrimary{.tag = 'P'};
const Sb kSecondary{.tag = 'S'};
const Sb kDamaged{.magic = 0x8988, .tag = 'D'};

Sb With(Sb sb, uint64_t a, uint32_t b, uint32_t shift = 0) {
  sb.a = a;
  sb.b = b;
  sb.shift = shift;
  return sb;
}

// The tag of the copy that came back, or the error.
struct Outcome {
  char tag;
  int err;
};

Outcome ReadFd(int fd) {
  errno = 0;
  unsigned char* sb = loomfs_sb_read(fd);
  if (sb == nullptr) return {0, errno};
  Outcome o{static_cast<char>(sb[100]), 0};
  free(sb);
  return o;
}

Outcome ReadPath(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  Outcome o = ReadFd(fd);
  close(fd);
  return o;
}

void ExpectOutcome(Outcome got, char tag, int err) {
  if (tag != 0) {
    EXPECT_EQ(got.tag, tag) << std::strerror(got.err);
  } else {
    EXPECT_EQ(got.tag, 0);
    EXPECT_EQ(got.err, err) << std::strerror(got.err);
  }
}

// 64 KiB image: the secondary copy sits at 60 KiB, so with e = 0 the extent
// rule allows A x B <= 60.
TEST(SbRead, ChoosesTheUsableCopyOfARegularFile) {
  Sb limited_ok = kPrimary, limited_bad = kPrimary;
  limited_ok.limited = 1024;
  limited_bad.limited = 1025;
  struct Row {
    const char* name;
    uint64_t size;
    std::optional<Sb> primary, secondary;
    char tag;  // 0: fails with err
    int err;
  } rows[] = {
      {"both valid", 65536, kPrimary, kSecondary, 'P', 0},
      {"primary magic damaged", 65536, kDamaged, kSecondary, 'S', 0},
      {"primary field 8 at 1024", 65536, limited_ok, kSecondary, 'P', 0},
      {"primary field 8 over 1024", 65536, limited_bad, kSecondary, 'S', 0},
      {"no primary", 65536, std::nullopt, kSecondary, 'S', 0},
      {"secondary extent fails, primary valid", 65536, kPrimary, With(kSecondary, 61, 1), 'P', 0},
      {"extent rule not applied to primary", 65536, With(kPrimary, ~0ull, ~0u, 7), std::nullopt, 'P', 0},
      {"extent ends at the secondary", 65536, kDamaged, With(kSecondary, 6, 10), 'S', 0},
      {"extent one unit beyond", 65536, kDamaged, With(kSecondary, 61, 1), 0, EINVAL},
      {"unit from the low byte of offset 20", 65536, kDamaged, With(kSecondary, 15, 1, 0x102), 'S', 0},
      {"unit 4 KiB, one too many", 65536, kDamaged, With(kSecondary, 16, 1, 0x102), 0, EINVAL},
      {"shift count modulo 64", 65536, kDamaged, With(kSecondary, 61440, 1, 54), 'S', 0},
      {"shift 63", 65536, kDamaged, With(kSecondary, 1, 1, 53), 0, EINVAL},
      {"product wraps to 0", 65536, kDamaged, With(kSecondary, 1ull << 63, 2), 'S', 0},
      {"both damaged", 65536, kDamaged, kDamaged, 0, EINVAL},
      {"3000 bytes, primary decides", 3000, kPrimary, std::nullopt, 'P', 0},
      {"3000 bytes, primary damaged", 3000, kDamaged, std::nullopt, 0, EINVAL},
      {"2048 bytes", 2048, kPrimary, std::nullopt, 'P', 0},
      {"1500 bytes: primary cut short", 1500, kPrimary, std::nullopt, 0, EINVAL},
      {"4096 bytes: secondary at 0", 4096, kDamaged, kSecondary, 'S', 0},
      {"8191 bytes: secondary at 0", 8191, kDamaged, kSecondary, 'S', 0},
      {"secondary at 0 allows no extent", 6000, kDamaged, With(kSecondary, 1, 1), 0, EINVAL},
      {"8192 bytes: secondary at 4096", 8192, kDamaged, kSecondary, 'S', 0},
      {"10000 bytes: secondary at 4096", 10000, kDamaged, kSecondary, 'S', 0},
  };
  TempDir t;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    WriteImage(t / "img", r.size, r.primary, r.secondary);
    ExpectOutcome(ReadPath(t / "img"), r.tag, r.err);
  }
}

TEST(SbRead, RefusesOtherKindsOfFile) {
  TempDir t;
  int pipefd[2], sockets[2];
  ASSERT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int dir_fd = open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Descriptors that fstat accepts but that cannot seek or read: both copies unread.
  WriteImage(t / "large", 65536, Sb{}, Sb{});
  WriteImage(t / "small", 3000, Sb{}, std::nullopt);
  int large_fd = open((t / "large").c_str(), O_PATH | O_CLOEXEC);
  int small_fd = open((t / "small").c_str(), O_PATH | O_CLOEXEC);
  struct Row {
    const char* name;
    int fd, err;
  } rows[] = {
      {"character device", null_fd, EINVAL},
      {"pipe", pipefd[0], EINVAL},
      {"socket", sockets[0], EINVAL},
      {"directory", dir_fd, EINVAL},
      {"closed descriptor", 1000, EBADF},
      {"neither copy readable", large_fd, EBADF},
      {"neither readable, secondary offset refused", small_fd, EINVAL},  // the last failure counts
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ExpectOutcome(ReadFd(r.fd), 0, r.err);
  }
  for (int fd : {pipefd[0], pipefd[1], sockets[0], sockets[1], null_fd, dir_fd, large_fd, small_fd}) close(fd);
}

// A loop device is sized by the block-device size request, not by fstat.
TEST(SbRead, ReadsLoopDevices) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
  TempDir t;
  const uint64_t size = (1u << 20) + 2048;
  Sb features = kPrimary;
  features.features = 1;
  struct Row {
    const char* name;
    std::optional<Sb> primary, secondary;
    char tag;
    int err;
  } rows[] = {
      {"primary damaged", kDamaged, kSecondary, 'S', 0},
      {"secondary extent fails", kPrimary, With(kSecondary, 1021, 1), 'P', 0},
      {"secondary extent fits", kDamaged, With(kSecondary, 1020, 1), 'S', 0},
      {"offset 272 set", features, kSecondary, 0, EOPNOTSUPP},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    WriteImage(t / "img", size, r.primary, r.secondary);
    LoopDevice loop(t / "img");
    ASSERT_TRUE(loop.attached()) << loop.error();
    errno = 0;
    loomfs* fs = loomfs_open(loop.path().c_str(), nullptr, LOOMFS_OPEN_DEVICE);
    if (r.tag == 0) {
      EXPECT_EQ(fs, nullptr);
      EXPECT_EQ(errno, r.err) << std::strerror(errno);
    } else {
      ASSERT_NE(fs, nullptr) << std::strerror(errno);
      EXPECT_EQ(fs->n_sb[100], r.tag);
      loomfs_close(fs);
    }
  }
}

TEST(Open, DeviceAloneOpensNoDirectory) {
  TempDir t;
  WriteImage(t / "img", 65536, kPrimary, kSecondary);
  loomfs* fs = loomfs_open((t / "img").c_str(), nullptr, LOOMFS_OPEN_DEVICE);
  ASSERT_NE(fs, nullptr) << std::strerror(errno);
  EXPECT_EQ(fs->n_devpath, t / "img");
  EXPECT_EQ(fs->n_sb[100], 'P');
  EXPECT_GE(fs->n_dev_fd, 0);
  EXPECT_EQ(fs->n_mntdir, nullptr);
  EXPECT_EQ(fs->n_dir_fd, -1);
  EXPECT_EQ(fs->n_cleaner, nullptr);
  unsigned char* sb = fs->n_sb;
  EXPECT_EQ(loomfs_read_sb(fs), -1);  // only once per handle
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(fs->n_sb, sb);
  loomfs_close(fs);
}

TEST(Open, RefusesFlagsWithoutDeviceOrMountBit) {
  const auto before = open_fds();
  for (int flags : {0, LOOMFS_OPEN_CLEANER, 0x10, 0x2000 | LOOMFS_OPEN_CLEANER}) {
    SCOPED_TRACE(flags);
    errno = 0;
    EXPECT_EQ(loomfs_open("/dev/null", nullptr, flags), nullptr);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(open_fds(), before);
}

// The field at offset 272 is checked on the copy in use only.
TEST(Open, FailedDeviceOpensLeaveNoDescriptor) {
  TempDir t;
  Sb features = kPrimary;
  features.features = 0x100000000ull;
  WriteImage(t / "good-primary", 65536, kPrimary, With(features, 0, 0));
  WriteImage(t / "features-in-secondary", 65536, kDamaged, features);
  WriteImage(t / "features", 65536, features, kSecondary);
  WriteImage(t / "damaged", 65536, kDamaged, kDamaged);
  WriteImage(t / "small", 3000, kDamaged, std::nullopt);
  ASSERT_EQ(mkfifo((t / "fifo").c_str(), 0600), 0);
  struct Row {
    std::string dev;
    int err;  // 0: opens
  } rows[] = {
      {t / "good-primary", 0},
      {t / "features-in-secondary", EOPNOTSUPP},
      {t / "features", EOPNOTSUPP},
      {t / "damaged", EINVAL},
      {t / "small", EINVAL},
      {t / "missing", ENOENT},
      {"/dev/null", EINVAL},
      {t / "fifo", EINVAL},  // refused, not waited on
      {t.path(), EINVAL},
  };
  const auto before = open_fds();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.dev);
    errno = 0;
    alarm(10);  // a FIFO that is waited on ends the test instead of hanging it
    loomfs* fs = loomfs_open(r.dev.c_str(), nullptr, LOOMFS_OPEN_DEVICE);
    alarm(0);
    if (r.err == 0) {
      EXPECT_NE(fs, nullptr) << std::strerror(errno);
      loomfs_close(fs);
    } else {
      EXPECT_EQ(fs, nullptr);
      EXPECT_EQ(errno, r.err) << std::strerror(errno);
    }
    EXPECT_EQ(open_fds(), before);
  }
}

}  // namespace
}  // namespace loomfs_test
