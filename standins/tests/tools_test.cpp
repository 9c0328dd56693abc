// The command lines of the stand-in tools: what they accept, what they write
// and how they refuse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"

namespace lmfs::standin::testing {
namespace {

std::uint64_t le(const std::string& b, std::size_t off, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[off + i]);
  return v;
}

ProcessRun mkfs(const std::string& device) {
  return run({tool("mkfs.loomfs"), "-q", "-f", "-O", "block_count", device});
}

// The superblock facts that the plug-in's control library checks, read back
// from what mkfs.loomfs wrote.
TEST(Mkfs, WritesBothSuperblockCopiesForAnySize) {
  for (std::uint64_t size : {std::uint64_t{64} << 10, (std::uint64_t{16} << 20) + 1234,
                             std::uint64_t{4} << 30}) {
    SCOPED_TRACE(size);
    Image image("img", size);
    const ProcessRun r = mkfs(image.path());
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const int fd = ::open(image.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::uint64_t s = (size - 4096) / 4096 * 4096;
    std::string primary(1024, '\0'), secondary(1024, '\0');
    ASSERT_EQ(::pread(fd, primary.data(), 1024, 1024), 1024);
    ASSERT_EQ(::pread(fd, secondary.data(), 1024, static_cast<off_t>(s)), 1024);
    ::close(fd);
    for (const std::string* copy : {&primary, &secondary}) {
      EXPECT_EQ(le(*copy, 6, 2), 0x8888u);
      EXPECT_LE(le(*copy, 8, 2), 1024u);
      EXPECT_EQ(le(*copy, 272, 8), 0u);
    }
    const std::uint64_t e = static_cast<unsigned char>(secondary[20]);
    const std::uint64_t a = le(secondary, 24, 8);
    const std::uint64_t b = le(secondary, 48, 4);
    EXPECT_GT(a * b, 0u);
    EXPECT_LE((a * b) << (e + 10), s);
  }
}

TEST(Mkfs, RefusesTooSmallAndUnsuitableDevices) {
  Image small("small", 64 * 1024 - 4096);
  ProcessRun r = mkfs(small.path());
  EXPECT_EQ(r.exit_status, 32);
  EXPECT_NE(r.err.find("too small"), std::string::npos) << r.err;

  r = mkfs(env_dir() + "/missing");
  EXPECT_EQ(r.exit_status, 32);
  EXPECT_NE(r.err.find("No such file"), std::string::npos) << r.err;

  r = mkfs(make_dir("dir"));
  EXPECT_EQ(r.exit_status, 32);
  EXPECT_NE(r.err.find("neither a block device nor a regular file"), std::string::npos) << r.err;
}

// Every argument list but the one each tool is made for is a usage error.
TEST(Tools, WrongArgumentsAreUsageErrors) {
  Image image("img", 1 << 20);
  const std::string dev = image.path();
  const std::string dir = make_dir("mnt");
  const std::vector<std::vector<std::string>> cases = {
      {"mkfs.loomfs"},
      {"mkfs.loomfs", "-q", "-f", "-O", "block_count"},
      {"mkfs.loomfs", "-f", "-q", "-O", "block_count", dev},
      {"mkfs.loomfs", "-q", "-f", "-O", "sparse_super", dev},
      {"mkfs.loomfs", "-q", "-f", "-O", "block_count", dev, dev},
      {"mkfs.loomfs", "-q", "-f", "-O", "block_count", ""},
      {"mount.loomfs"},
      {"mount.loomfs", dev, dir},
      {"mount.loomfs", "-o", "ro", dev, dir},
      {"mount.loomfs", "-o", "order=relaxed,nogc,barrier", dev, dir},
      {"mount.loomfs", "-o", "order=relaxed,nogc,barrier,discard,ro", dev, dir},
      {"mount.loomfs", "-O", kMountOptions, dev, dir},
      {"mount.loomfs", "-o", kMountOptions, dev},
      {"mount.loomfs", "-o", kMountOptions, dev, dir, dir},
      {"umount.loomfs"},
      {"umount.loomfs", dev, dir},
      {"umount.loomfs", "-l", dev},
      {"umount.loomfs", ""},
      {"loomfsd"},
      {"loomfsd", dev},
      {"loomfsd", "--ready-fd=1", dev, dir},
      {"loomfsd", "--foreground", dev, dir},
      {"loomfs-mtab", "now"},
  };
  for (std::vector<std::string> argv : cases) {
    std::string line;
    for (const std::string& a : argv) line += a + " ";
    SCOPED_TRACE(line);
    argv[0] = tool(argv[0]);
    const ProcessRun r = run(argv);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(r.err.starts_with("usage: ")) << r.err;
  }
  EXPECT_TRUE(shown_lines_for(dir).empty());
}

TEST(Tools, RefuseWhatCannotBeMountedOrUnmounted) {
  Image unformatted("raw", 1 << 20);
  Image image("img", 1 << 20);
  Image other("other", 1 << 20);
  ASSERT_EQ(mkfs(image.path()).exit_status, 0);
  ASSERT_EQ(mkfs(other.path()).exit_status, 0);
  const std::string dir = make_dir("mnt");
  const std::string dir2 = make_dir("mnt2");
  const std::string mount = tool("mount.loomfs");
  struct Case {
    std::vector<std::string> argv;
    std::string message;
  };
  {
    const Case before[] = {
        {{mount, "-o", kMountOptions, unformatted.path(), dir}, "no loomfs file system"},
        {{mount, "-o", kMountOptions, image.path(), env_dir() + "/nowhere"}, "cannot find"},
        {{mount, "-o", kMountOptions, image.path(), other.path()}, "is not a directory"},
        {{tool("umount.loomfs"), image.path()}, "is not mounted"},
        {{tool("umount.loomfs"), env_dir() + "/nothing"}, "cannot find"},
    };
    for (const Case& c : before) {
      SCOPED_TRACE(c.argv[0] + " " + c.argv.back());
      const ProcessRun r = run(c.argv);
      EXPECT_EQ(r.exit_status, 32);
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
  }
  Mount mounted(image.path(), dir);
  ASSERT_TRUE(mounted.ok()) << mounted.result().err;
  const Case after[] = {
      {{mount, "-o", kMountOptions, image.path(), dir2}, "is already mounted"},
      {{mount, "-o", kMountOptions, other.path(), dir}, "already a loomfs mount point"},
      {{tool("mkfs.loomfs"), "-q", "-f", "-O", "block_count", image.path()}, "is mounted"},
  };
  for (const Case& c : after) {
    SCOPED_TRACE(c.argv[0] + " " + c.argv.back());
    const ProcessRun r = run(c.argv);
    EXPECT_EQ(r.exit_status, 32);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(shown_lines_for(dir).size(), 1u);
  EXPECT_TRUE(shown_lines_for(dir2).empty());
}

// The mount helper fails, with the daemon's reason, when loomfsd cannot serve.
TEST(Tools, MountReportsADaemonThatCannotStart) {
  Image image("img", 1 << 20);
  ASSERT_EQ(mkfs(image.path()).exit_status, 0);
  // Both slots spoiled: the superblock is fine, the file system is not.
  const int fd = ::open(image.path().c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string junk(64, 'x');
  ASSERT_EQ(::pwrite(fd, junk.data(), junk.size(), 4096), 64);
  ::close(fd);
  const std::string dir = make_dir("mnt");
  Mount m(image.path(), dir);
  EXPECT_EQ(m.result().exit_status, 32);
  EXPECT_NE(m.result().err.find("no valid image"), std::string::npos) << m.result().err;
  EXPECT_NE(m.result().err.find("loomfsd failed to mount"), std::string::npos) << m.result().err;
  EXPECT_TRUE(shown_lines_for(dir).empty());
}

}  // namespace
}  // namespace lmfs::standin::testing
