// The plug-in in a root host on a machine shared with another user, who
// runs as a throwaway user id (lmfs_testing/other_user.h) and prepares what
// the plug-in will meet: the cleaner semaphore's file, the folders and links
// on the way to the tools and the device, the host's signal settings. Each
// case is refused with a reason that names what was refused, or made
// harmless; none hangs the host, kills it, or runs the user's program as
// root.
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "lmfs_testing/fake_tool.h"
#include "lmfs_testing/other_user.h"
#include "snap_env.h"

namespace lmfs::security_test {
namespace {

using namespace lmfs::snaptest;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::string kNew = R"({"op":"new","result":"Ok"})";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- The cleaner lock -----------------------------------------------------

class PlantedSemaphore : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_lmfs_env()) GTEST_SKIP() << "needs root: runs inside lmfs-env on loop devices";
    store_ = std::make_unique<Store>();
    ASSERT_TRUE(store_->ready());
    auto formatted = run_host_args(store_->host_args({"initialize_stores", store_->attach()}));
    ASSERT_EQ(formatted.exit_status, 0) << formatted.err;
  }
  // The file the C library keeps the store's semaphore in.
  [[nodiscard]] std::string semaphore_file() const { return "/dev/shm/sem." + store_->semaphore().substr(1); }

  std::unique_ptr<Store> store_;
};

// Before root's first snapshot the user makes the semaphore's file: one they
// hold (every snapshot would wait for ever), one that is free (their own
// snapshots would not exclude root's), an empty one (the host would die of
// SIGBUS mapping it), a FIFO. The snapshot is refused at once, saying whose
// file it is; the store is detached cleanly after.
TEST_F(PlantedSemaphore, AnotherUsersSemaphoreIsRefusedNotWaitedOnOrMapped) {
  const Store& s = *store_;
  struct Row {
    const char* name;
    std::string plant;  // shell, run as the other user; F is the file
    std::string reason;
  } rows[] = {
      {"held", "head -c 32 /dev/zero > \"$F\"", "it is owned by uid 61234, not by root or uid 0"},
      {"free", "{ printf '\\001'; head -c 31 /dev/zero; } > \"$F\"", "it is owned by uid 61234, not by root or uid 0"},
      {"empty", ": > \"$F\"", "it is 0 bytes long, not 32 (owned by uid 61234)"},
      {"a FIFO", "mkfifo \"$F\"", "it is a FIFO owned by uid 61234"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ::unlink(semaphore_file().c_str());
    ASSERT_EQ(run_as_other_user("F=" + semaphore_file() + "; " + r.plant + " && chmod 600 \"$F\"").exit_status, 0);
    auto run = run_host_args(s.host_args({"attach_stores", s.mount_dir(), s.attach(), "take_snapshot", "detach_stores",
                                          s.mount_dir()}),
                             {.limit = 20s});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 4u) << run.err;
    EXPECT_EQ(run.lines[2], other_err("take_snapshot", "LoomFS API Error: lock failed: cleaner semaphore " +
                                                           semaphore_file() + " refused: " + r.reason));
    EXPECT_EQ(run.lines[3], R"({"op":"detach_stores","result":"Ok"})");
  }
}

// The operator's commands look at such a file without mapping it: refused
// with the reason (exit 4), never a signal; and they create nothing.
TEST_F(PlantedSemaphore, LockCommandsSurviveADamagedFileAndCreateNothing) {
  const Store& s = *store_;
  for (const char* command : {"--lock-status", "--release-lock"}) {
    SCOPED_TRACE(command);
    auto absent = run_host_args({command, s.device()});
    EXPECT_EQ(absent.exit_status, 0) << absent.err;
    EXPECT_EQ(s.lock_value(), std::nullopt) << "a look at the lock made it";
  }
  ASSERT_EQ(run_as_other_user("F=" + semaphore_file() + "; : > \"$F\"").exit_status, 0);
  for (const char* command : {"--lock-status", "--release-lock"}) {
    SCOPED_TRACE(command);
    auto run = run_host_args({command, s.device()});
    EXPECT_EQ(run.exit_status, 4) << run.err;
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_TRUE(contains(run.lines[0], R"("errno":"EPERM","text":"cleaner semaphore )" + semaphore_file() +
                                           " refused: it is 0 bytes long, not 32 (owned by uid 61234)"))
        << run.lines[0];
  }
}

// ---- The tools and the device -----------------------------------------------

// The world of one case: the store's loop device, the file system's tools as
// fake tools in a folder of root's, a folder /tmp-like (root's, sticky) in
// which the other user has a folder of their own, and a folder only root can
// write to, where the user's programs leave a mark if root ever runs them.
class Trust : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_lmfs_env()) GTEST_SKIP() << "needs root: runs inside lmfs-env on loop devices";
    loop_ = std::make_unique<LoopDevice>(work_ / "disk.img", 1u << 20);
    ASSERT_FALSE(loop_->path().empty()) << loop_->error();
    for (const char* name : {"mkfs.loomfs", "mount.loomfs", "umount.loomfs"}) tools_.emplace_back(bin_, name);
    ASSERT_EQ(::chmod(shared_.path().c_str(), 01777), 0);
    ASSERT_EQ(::chmod(marks_.path().c_str(), 0700), 0);
    user_ = shared_ / "user";
    ASSERT_EQ(run_as_other_user("mkdir " + user_).exit_status, 0);
  }

  // The user's program NAME in FOLDER (theirs), marking its runs.
  void plant_program(const std::string& folder, const std::string& name) const {
    const std::string script = "#!/bin/sh\ntouch " + marks_ / name + "\n";
    ASSERT_EQ(run_as_other_user("printf '%s' '" + script + "' > " + folder + "/" + name + " && chmod 755 " + folder +
                                "/" + name)
                  .exit_status,
              0);
  }
  [[nodiscard]] bool marked() const { return !fs::is_empty(marks_.path()); }
  [[nodiscard]] bool tools_ran() const {
    for (const FakeTool& t : tools_) {
      if (t.ran()) return true;
    }
    return false;
  }

  [[nodiscard]] static std::string params(const std::string& bin_dir) {
    return R"({"bin_dir":")" + bin_dir + R"(","media":{"inner":[]},"root":""})";
  }
  [[nodiscard]] std::string device() const { return loop_->path(); }

  TempDir work_, bin_, shared_, marks_;
  std::vector<FakeTool> tools_;
  std::unique_ptr<LoopDevice> loop_;
  std::string user_;
};

// Whichever way the user gets their program on the way to the format tool,
// root refuses to run it, says which folder or link it refused and why, and
// the user's program never runs.
TEST_F(Trust, ToolsOnAWayAnotherUserControlsAreRefused) {
  plant_program(user_, "mkfs.loomfs");
  ASSERT_EQ(run_as_other_user("ln -s " + bin_.path() + " " + shared_ / "their-link").exit_status, 0);
  const std::string open = work_ / "open";
  fs::create_directory(open);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  fs::copy_file(bin_ / "mkfs.loomfs", open + "/mkfs.loomfs");
  struct Row {
    const char* name;
    std::string bin_dir;
    std::string cwd;
    std::string path_env;  // empty: the test's own
    std::string program;   // as the error names it
    std::string refused;   // the note's text after "refusing to run PROGRAM: "
  } rows[] = {
      {"bin_dir the user's folder", user_, "", "", user_ + "/mkfs.loomfs",
       "the folder " + user_ + " is owned by uid 61234, not by root or uid 0"},
      {"relative bin_dir, working folder the user's", ".", user_, "", "./mkfs.loomfs",
       "the folder " + user_ + " is owned by uid 61234, not by root or uid 0"},
      {"empty bin_dir, an empty entry of PATH", "", user_, ":/usr/bin", "mkfs.loomfs",
       "the folder " + user_ + " is owned by uid 61234, not by root or uid 0"},
      {"empty bin_dir, the user's folder first on PATH", "", "", user_ + ":/usr/bin", "mkfs.loomfs",
       "the folder " + user_ + " is owned by uid 61234, not by root or uid 0"},
      {"bin_dir through the user's link", shared_ / "their-link", "", "", shared_ / "their-link/mkfs.loomfs",
       "the symbolic link " + shared_ / "their-link" + " is owned by uid 61234, not by root or uid 0"},
      {"bin_dir a folder everybody may write", open, "", "", open + "/mkfs.loomfs",
       "the folder " + open + " is writable by its group or others (mode 0777, owned by uid 0)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Options options{.cwd = r.cwd};
    if (!r.path_env.empty()) options.env = {"PATH=" + r.path_env};
    auto run = run_host(params(r.bin_dir), {"initialize_stores", "block:" + device()}, options);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.lines, (Lines{kNew, other_err("initialize_stores", "Security Error: Invalid path: " + r.program)}));
    EXPECT_TRUE(contains(run.err, "lmfs: refusing to run " + r.program + ": " + r.refused + "\n")) << run.err;
    EXPECT_FALSE(marked()) << "root ran the user's program";
    EXPECT_FALSE(tools_ran());
  }
}

// sudo is looked up through PATH too, and judged the same way.
TEST_F(Trust, SudoOnAWayAnotherUserControlsIsRefused) {
  plant_program(user_, "sudo");
  auto run = run_host(params(bin_.path()), {"attach_stores", work_ / "mnt", "block:" + device(), "detach_stores",
                                            work_ / "mnt"},
                      {.env = {"PATH=" + user_ + ":/usr/bin:/bin"}});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.lines, (Lines{kNew, R"({"op":"attach_stores","result":"Ok"})",
                              other_err("detach_stores", "Security Error: Invalid path: sudo")}));
  EXPECT_TRUE(contains(run.err, "lmfs: refusing to run sudo: the folder " + user_ + " is owned by uid 61234")) << run.err;
  EXPECT_FALSE(marked()) << "root ran the user's sudo";
}

// The device is judged like a program: a way through the user's folder or
// link is refused when it is chosen (the host learns only that the media were
// unusable; the note says why), and so is a name the tools would take for an
// option. Nothing is formatted.
TEST_F(Trust, DevicesOnAWayAnotherUserControlsAreRefused) {
  ASSERT_EQ(run_as_other_user("ln -s " + device() + " " + user_ + "/disk && ln -s " + device() + " " +
                              shared_ / "their-disk")
                .exit_status,
            0);
  fs::create_symlink(device(), work_ / "-q");
  struct Row {
    const char* name;
    std::string device, cwd, refused;
  } rows[] = {
      {"through the user's folder", user_ + "/disk", "",
       "the folder " + user_ + " is owned by uid 61234, not by root or uid 0"},
      {"through the user's link", shared_ / "their-disk", "",
       "the symbolic link " + shared_ / "their-disk" + " is owned by uid 61234, not by root or uid 0"},
      {"a name the tools would take for an option", "-q", work_.path(), "its name begins with \"-\""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto run = run_host(params(bin_.path()), {"initialize_stores", "block:" + r.device}, {.cwd = r.cwd});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.lines, (Lines{kNew, R"({"op":"initialize_stores","result":"Err","error":{"variant":)"
                                      R"("InvalidMediaType","cow":"Borrowed","text":"<none>"}})"}));
    EXPECT_TRUE(contains(run.err, "lmfs: refusing the device " + r.device + ": " + r.refused + "\n")) << run.err;
    EXPECT_FALSE(tools_ran());
  }
}

// The device is pinned when it is chosen: a path that leads elsewhere by the
// time a tool runs (here a link of root's, moved while the mount tool runs)
// is refused, and the unmount tool is not run on another device.
TEST_F(Trust, ADeviceThatChangedSinceItWasChosenIsRefused) {
  if (!on_path("sudo")) GTEST_SKIP() << "sudo is not installed";
  LoopDevice other(work_ / "other.img", 1u << 20);
  ASSERT_FALSE(other.path().empty()) << other.error();
  const std::string link = work_ / "store";
  fs::create_symlink(device(), link);
  tools_[1].act({"sleep 1500"});  // mount.loomfs
  Process host = start_host({plugin_path(), "--params", params(bin_.path()), "attach_stores", work_ / "mnt",
                             "block:" + link, "detach_stores", work_ / "mnt"});
  for (int i = 0; i < 100 && !tools_[1].ran(); ++i) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(tools_[1].ran());
  fs::remove(link);
  fs::create_symlink(other.path(), link);
  ASSERT_EQ(host.wait(), 0) << host.err();
  struct stat was{}, now{};
  ASSERT_EQ(::stat(device().c_str(), &was), 0);
  ASSERT_EQ(::stat(other.path().c_str(), &now), 0);
  const auto number = [](const struct stat& st) {
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  };
  EXPECT_EQ(host.lines().back(), other_err("detach_stores", "Security Error: Invalid path: " + link));
  EXPECT_TRUE(contains(host.err(), "lmfs: refusing the device " + link + ": it now leads to block device " +
                                       number(now) + ", not " + number(was) + " as when it was chosen\n"))
      << host.err();
  EXPECT_FALSE(tools_[2].ran()) << "umount.loomfs ran";
}

// A host that ignores SIGINT, SIGHUP and SIGCHLD (and blocks others) starts
// the tools with every signal at its default and none blocked, and learns
// how they ended: a format that succeeded is Ok.
TEST_F(Trust, ToolsStartPlainInAHostThatIgnoresSignals) {
  const std::vector<std::string> argv = {host_path(), plugin_path(), "--params", params(bin_.path()),
                                         "initialize_stores", "block:" + device()};
  Process host = Process::fork([&] {
    for (int sig : {SIGINT, SIGHUP, SIGCHLD}) ::signal(sig, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    return 127;
  });
  ASSERT_EQ(host.wait(), 0) << host.err();
  EXPECT_EQ(host.lines(), (Lines{kNew, R"({"op":"initialize_stores","result":"Ok"})"})) << host.err();
  ASSERT_TRUE(tools_[0].ran());
  EXPECT_EQ(tools_[0].runs().back().ignored_signals, "0000000000000000");
  EXPECT_EQ(tools_[0].runs().back().blocked_signals, "0000000000000000");
}

// A device name with escape sequences and a newline reaches the tools as it
// is, but the plug-in's own lines show it escaped: no line can be forged.
TEST_F(Trust, DeviceNamesCannotForgeLines) {
  const std::string name = work_ / "x\x1b]0;owned\x07\nSnap shot #99";
  fs::create_symlink(device(), name);
  tools_[0].act({"exit 1"});
  auto run = run_host(params(bin_.path()), {"initialize_stores", "block:" + name});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(tools_[0].argv().back(), name);
  EXPECT_FALSE(contains(run.err, "\x1b")) << run.err;
  for (const std::string& line : split_lines(run.err)) EXPECT_FALSE(line.starts_with("Snap shot")) << line;
  EXPECT_TRUE(contains(run.err, "Unable to initialize " + work_ / "x\\u{1b}]0;owned\\u{7}\\nSnap shot #99" +
                                    ", maybe invalid device?\n"))
      << run.err;
}

}  // namespace
}  // namespace lmfs::security_test
