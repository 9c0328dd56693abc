// lmfs-env itself, run nested inside the test's own namespace: what it
// provides and that it leaves nothing behind.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness.h"

namespace lmfs::standin::testing {
namespace {

ProcessRun in_env(const std::string& script) {
  return run({tool("lmfs-env"), "--", "bash", "-euc", script});
}

// Loop devices whose backing file lies under `dir`, from the kernel's view.
std::vector<std::string> loops_under(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator("/sys/block")) {
    const std::string back = read_file(e.path().string() + "/loop/backing_file");
    if (back.starts_with(dir + "/")) found.push_back(e.path().filename());
  }
  return found;
}

TEST(LmfsEnv, ProvidesTheShownTableAndItsOwnShm) {
  const ProcessRun r = in_env(
      "test -f /proc/mounts && ! test -L /proc/mounts\n"
      "test \"$(readlink /proc/self/exe)\" = \"$(readlink -f /bin/readlink)\"\n"
      "grep -q ' /dev/shm tmpfs ' /proc/mounts\n"
      "command -v mount.loomfs\n"
      "touch /dev/shm/lmfs-env-probe\n"
      "echo \"$LMFS_ENV_DIR\"\n");
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with(kBinDir + "/mount.loomfs\n")) << r.out;
  const std::string scratch = r.out.substr(r.out.find('\n') + 1);
  EXPECT_FALSE(std::filesystem::exists(scratch.substr(0, scratch.size() - 1)));
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/lmfs-env-probe"));
}

// A command that fails with a mount, its daemon and a loop device in place:
// its status comes through and everything is gone afterwards.
TEST(LmfsEnv, CleansUpAfterAFailingCommand) {
  const std::string record = env_dir() + "/record";
  const ProcessRun r = in_env(
      "cd \"$LMFS_ENV_DIR\"\n"
      "truncate -s 4M img && dev=$(losetup -f --show img)\n"
      "mkfs.loomfs -q -f -O block_count \"$dev\" && mkdir mnt\n"
      "mount.loomfs -o order=relaxed,nogc,barrier,discard \"$dev\" mnt\n"
      "echo hi > mnt/file\n"
      "echo \"$LMFS_ENV_DIR\" > " + record + "\n"
      "exit 7\n");
  EXPECT_EQ(r.exit_status, 7) << r.err;
  EXPECT_NE(r.err.find("left mounted"), std::string::npos) << r.err;
  std::string scratch = read_file(record);
  ASSERT_FALSE(scratch.empty());
  scratch.pop_back();
  EXPECT_FALSE(std::filesystem::exists(scratch));
  EXPECT_TRUE(loops_under(scratch).empty());
}

TEST(LmfsEnv, FailsARunWhoseDaemonReportedASanitizerError) {
  const ProcessRun r = in_env(
      "mkdir -p /dev/shm/loomfs-standins\n"
      "echo '==1==ERROR: AddressSanitizer: heap-use-after-free' > "
      "/dev/shm/loomfs-standins/loomfsd-1.log\n");
  EXPECT_EQ(r.exit_status, 125);
  EXPECT_NE(r.err.find("heap-use-after-free"), std::string::npos) << r.err;
}

TEST(LmfsEnv, RefusesAMissingCommand) {
  const ProcessRun r = run({tool("lmfs-env")});
  EXPECT_EQ(r.exit_status, 125);
  EXPECT_NE(r.err.find("usage: lmfs-env"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace lmfs::standin::testing
