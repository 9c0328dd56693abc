// One whole store life cycle with the stand-in tools, in the stand-ins'
// namespace: format, mount, report, unmount, mount again, unmount; each
// checked by the file system's own view of the mount, through next_snapshot,
// and by the mount table once the host has gone.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "lmfs_testing/lmfs_env.h"
#include "store_support.h"

namespace lmfs::store_test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Runs the rest of its arguments, then lists the loomfs mounts still there.
constexpr const char* kThenListMounts =
    "\"$@\"; rc=$?; echo '--- loomfs mounts left:'; "
    "while read -r dev dir type rest; do [ \"$type\" = loomfs ] && echo \"$dev $dir\"; done </proc/mounts; "
    "exit $rc";

TEST(StoreLifeCycle, RealToolsFormatMountAndUnmountTwice) {
  const std::string env = lmfs::testing::standin("lmfs-env");
  if (::geteuid() != 0) GTEST_SKIP() << "the stand-ins' namespace needs root";
  if (::access(env.c_str(), X_OK) != 0) GTEST_SKIP() << env << " is missing";
  if (!on_path("sudo")) GTEST_SKIP() << "sudo is not installed";
  if (!on_path("unshare")) GTEST_SKIP() << "unshare is not installed";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse for the stand-in file system";

  struct Row {
    std::string name;
    std::string bin_dir;
  };
  const Row rows[] = {
      {"stand-ins as bin_dir", lmfs::testing::standin_dir()},
      // mkfs and mount through the namespace's PATH, umount through sudo's
      // secure_path, where lmfs-env links the stand-ins.
      {"empty bin_dir", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.bin_dir.empty() && !fs::is_directory("/usr/local/sbin")) {
      GTEST_SKIP() << "sudo finds the stand-ins only through /usr/local/sbin";
    }
    TempDir work;
    LoopDevice loop(work / "disk.img", 16u << 20);
    if (loop.path().empty()) GTEST_SKIP() << "no loop device: " << loop.error();
    const std::string dev = loop.path();
    const std::string mnt = work / "mnt";
    fs::create_directory(mnt);

    const auto run = lmfs::testing::run({env, "sh", "-c", kThenListMounts, "sh", lmfs::testing::host_path(),
                                         lmfs::testing::plugin_path(), "--params", params(r.bin_dir),
                                         "initialize_stores", "block:" + dev, "attach_stores", mnt,
                                         "block:" + dev, "stores", "next_snapshot", "detach_stores", mnt,
                                         "next_snapshot", "attach_stores", mnt, "block:" + dev,
                                         "next_snapshot", "detach_stores", mnt, "stores"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const Lines lines = lmfs::testing::split_lines(run.out);
    ASSERT_GE(lines.size(), 12u) << run.out << run.err;
    EXPECT_EQ(lines[0], R"({"op":"new","result":"Ok"})");
    EXPECT_EQ(lines[1], json::ok("initialize_stores"));
    EXPECT_EQ(lines[2], json::ok("attach_stores"));
    EXPECT_EQ(lines[3], json::stores(dev));
    EXPECT_TRUE(lines[4].starts_with(R"({"op":"next_snapshot","result":"Ok")")) << "mounted: " << lines[4];
    EXPECT_EQ(lines[5], json::ok("detach_stores"));
    EXPECT_TRUE(lines[6].starts_with(R"({"op":"next_snapshot","result":"Err")")) << "unmounted: " << lines[6];
    EXPECT_EQ(lines[7], json::ok("attach_stores"));
    EXPECT_TRUE(lines[8].starts_with(R"({"op":"next_snapshot","result":"Ok")")) << "mounted again: " << lines[8];
    EXPECT_EQ(lines[9], json::ok("detach_stores"));
    EXPECT_EQ(lines[10], json::stores(dev));
    EXPECT_EQ(Lines(lines.begin() + 11, lines.end()), Lines{"--- loomfs mounts left:"}) << "nothing stays mounted";

    const std::string mount_trace = trace::select_block(dev) + trace::mount(mnt, dev);
    EXPECT_EQ(run.err, trace::select_block(dev) + mount_trace + mount_trace);
  }
}

}  // namespace
}  // namespace lmfs::store_test
