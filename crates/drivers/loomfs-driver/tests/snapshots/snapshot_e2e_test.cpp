// Snapshots taken through lmfs-host on a mounted stand-in loomfs: how the
// numbers go, what every failure looks like at the host and what it leaves in
// the file system, and the cleaner lock (also when its holder dies).
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <thread>

#include "snap_env.h"

namespace lmfs::snaptest {
namespace {

std::string replace_n(std::string text, std::uint64_t n) {
  for (std::size_t at; (at = text.find("{n}")) != std::string::npos;) text.replace(at, 3, std::to_string(n));
  return text;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Where the descriptors above 2 of process `pid` lead.
std::vector<std::string> open_files(pid_t pid) {
  std::vector<std::string> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (int fd = 3; fd < 1024; ++fd) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink((dir + "/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    if (n > 0) out.emplace_back(target, static_cast<std::size_t>(n));
  }
  return out;
}

std::string own_comm() {
  const std::string comm = read_file("/proc/self/comm");
  return comm.substr(0, comm.find('\n'));
}

class Snapshots : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_lmfs_env()) {
      GTEST_SKIP() << "needs root: runs inside lmfs-env on loop devices";
    }
    store_ = std::make_unique<Store>();
    ASSERT_TRUE(store_->ready());
    auto formatted = run_host_args(store_->host_args({"initialize_stores", store_->attach()}));
    ASSERT_EQ(formatted.lines.size(), 2u) << formatted.err;
    ASSERT_EQ(formatted.lines[1], R"({"op":"initialize_stores","result":"Ok"})") << formatted.err;
  }

  // The file system's record, read through a mount of the test's own when
  // nobody has it mounted.
  FsStatus status_now() {
    if (!store_->mounted()) {
      EXPECT_TRUE(store_->mount(store_->mount_dir()));
    }
    auto st = get_status(store_->mount_dir());
    EXPECT_TRUE(st.has_value()) << "no status from " << store_->mount_dir();
    return st.value_or(FsStatus{});
  }

  std::unique_ptr<Store> store_;
};

TEST_F(Snapshots, NumbersIncreaseAndOutliveUnmountAndProcess) {
  const Store& s = *store_;
  const std::string& mnt = s.mount_dir();
  auto first = run_host_args(s.host_args({"attach_stores", mnt, s.attach(), "take_snapshot", "take_snapshot",
                                          "take_snapshot", "next_snapshot", "last_snapshot", "detach_stores", mnt,
                                          "attach_stores", mnt, s.attach(), "next_snapshot", "last_snapshot",
                                          "take_snapshot", "detach_stores", mnt}));
  ASSERT_EQ(first.exit_status, 0) << first.err;
  const std::vector<std::string> expected = {
      R"({"op":"new","result":"Ok"})",
      R"({"op":"attach_stores","result":"Ok"})",
      snapshot_ok("take_snapshot", 1),
      snapshot_ok("take_snapshot", 2),
      snapshot_ok("take_snapshot", 3),
      snapshot_ok("next_snapshot", 3),
      snapshot_ok("last_snapshot", 3),
      R"({"op":"detach_stores","result":"Ok"})",
      R"({"op":"attach_stores","result":"Ok"})",
      snapshot_ok("next_snapshot", 3),
      snapshot_ok("last_snapshot", 3),
      snapshot_ok("take_snapshot", 4),
      R"({"op":"detach_stores","result":"Ok"})",
  };
  EXPECT_EQ(first.lines, expected) << first.err;
  EXPECT_EQ(report_lines(first.err), (std::vector{report(1), report(2), report(3), report(4)}));

  // Another process with a driver of its own: the file system goes on
  // counting where it was.
  auto second = run_host_args(s.host_args({"attach_stores", mnt, s.attach(), "last_snapshot", "take_snapshot"}));
  ASSERT_EQ(second.lines.size(), 4u) << second.err;
  EXPECT_EQ(second.lines[2], snapshot_ok("last_snapshot", 4));
  EXPECT_EQ(second.lines[3], snapshot_ok("take_snapshot", 5));

  // Every number handed out was made a snapshot, each under the lock.
  EXPECT_EQ(status_now(), (FsStatus{5, 5, 0}));
  EXPECT_EQ(s.lock_value(), 1);
}

// How the host comes by its store before the snapshot operations run.
enum class Setup {
  NoStore,           // no store chosen; the file system is mounted by the test
  AttachedByHost,    // attach_stores mounts it
  NotMounted,        // nobody mounts it: the host's attach names a missing directory
  MountedElsewhere,  // mounted by the test; the host's attach names another directory and fails
  NulInRoot,         // mounted by the test; the host's root holds a NUL byte (its attach fails)
  RootEmpty,         // mounted by the test; the host chose the store with a failing initialize_stores
};

struct Row {
  const char* name;
  Setup setup;
  const char* fault;          // LMFS_FAULT for the fault shim ("" : none)
  const char* take;           // error text of take_snapshot, "{n}" the new checkpoint; "" : Ok n
  const char* status;         // error text of next/last_snapshot; "" : Ok with the current checkpoint
  const char* reported;       // the report line's number ("{n}", "0"); "" : no line
  int checkpoints_added;      // by the whole run
  int snapshots_added;
};

TEST_F(Snapshots, EveryFailureReachesTheHostWithItsTextAndLeavesTheLockFree) {
  const char* kNoDevice = "Invalid Block Device: <none>";
  const char* kOpen = "LoomFS API Error: Unable to open loomfs";
  const Row rows[] = {
      {"no store", Setup::NoStore, "", kNoDevice, kNoDevice, "", 0, 0},
      {"not mounted", Setup::NotMounted, "", kOpen, kOpen, "", 0, 0},
      {"mounted on another directory", Setup::MountedElsewhere, "", kOpen, kOpen, "", 0, 0},
      {"NUL byte in the mount directory", Setup::NulInRoot, "", "LoomFS API Error: Null Pointer Error",
       "LoomFS API Error: Null Pointer Error", "", 0, 0},
      {"empty root: found by the device alone", Setup::RootEmpty, "", "", "", "{n}", 1, 1},
      {"plain", Setup::AttachedByHost, "", "", "", "{n}", 1, 1},
      {"sync fails", Setup::AttachedByHost, "sync", "LoomFS API Error: Unable to sync loomfs", "", "", 0, 0},
      {"sync gives checkpoint 0", Setup::AttachedByHost, "sync0",
       "LoomFS API Error: Unable to change 0 to snapshot", "", "0", 0, 0},
      {"lock cannot be acquired", Setup::AttachedByHost, "wait",
       "LoomFS API Error: lock failed: unable to acquire cleaner lock", "", "{n}", 1, 0},
      {"change fails, release succeeds", Setup::AttachedByHost, "change",
       "LoomFS API Error: Unable to change {n} to snapshot", "", "{n}", 1, 0},
      {"release fails after the change", Setup::AttachedByHost, "post",
       "LoomFS API Error: lock failed: unable to release cleaner lock", "", "{n}", 1, 1},
      {"release fails after a failed change", Setup::AttachedByHost, "change,post",
       "LoomFS API Error: lock failed: unable to release cleaner lock", "", "{n}", 1, 0},
      {"status request fails", Setup::AttachedByHost, "status", "",
       "LoomFS API Error: system error: EIO: I/O error", "{n}", 1, 1},
      {"wait interrupted twice", Setup::AttachedByHost, "eintr", "", "", "{n}", 1, 1},
  };
  Store& s = *store_;
  const std::string& mnt = s.mount_dir();
  const std::string elsewhere = mnt + "-elsewhere";
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);

  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const FsStatus before = status_now();
    std::vector<std::string> prelude;
    switch (r.setup) {
      case Setup::NoStore:
        break;
      case Setup::AttachedByHost:
        s.unmount();
        prelude = {"attach_stores", mnt, s.attach()};
        break;
      case Setup::NotMounted:
        s.unmount();
        prelude = {"attach_stores", mnt + "-missing", s.attach()};
        break;
      case Setup::MountedElsewhere:
        prelude = {"attach_stores", elsewhere, s.attach()};
        break;
      case Setup::NulInRoot:
        prelude = {"attach_stores", mnt + "%00x", s.attach()};
        break;
      case Setup::RootEmpty:
        prelude = {"initialize_stores", s.attach()};
        break;
    }
    std::vector<std::string> ops = prelude;
    ops.insert(ops.end(), {"take_snapshot", "next_snapshot", "last_snapshot"});
    Options options;
    if (*r.fault != '\0') options = {.env = {std::string("LMFS_FAULT=") + r.fault}, .preload = LMFS_FAULT_SHIM};

    auto run = run_host_args(s.host_args(ops), options);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    ASSERT_GE(run.lines.size(), 3u) << run.err;
    if (r.setup != Setup::NoStore && r.setup != Setup::AttachedByHost) {
      // The store and root were recorded, but the operation itself failed.
      EXPECT_TRUE(contains(run.lines[1], R"("result":"Err")")) << run.lines[1];
    }

    const std::uint64_t n = before.checkpoint + 1;
    const std::uint64_t now = before.checkpoint + r.checkpoints_added;
    const std::vector<std::string> results(run.lines.end() - 3, run.lines.end());
    const std::vector<std::string> expected = {
        *r.take ? other_err("take_snapshot", replace_n(r.take, n)) : snapshot_ok("take_snapshot", n),
        *r.status ? other_err("next_snapshot", r.status) : snapshot_ok("next_snapshot", now),
        *r.status ? other_err("last_snapshot", r.status) : snapshot_ok("last_snapshot", now),
    };
    EXPECT_EQ(results, expected) << run.err;
    std::vector<std::string> lines;
    if (*r.reported) lines.push_back("Snap shot #" + replace_n(r.reported, n));
    EXPECT_EQ(report_lines(run.err), lines) << run.err;

    EXPECT_EQ(status_now(), (FsStatus{now, before.snapshots + r.snapshots_added, 0}));
    EXPECT_EQ(s.lock_value(), 1) << "the cleaner lock is free again, and not given back twice";
  }
}

TEST_F(Snapshots, AHostKilledHoldingTheLockLeavesItHeldUntilTheOperatorReleasesIt) {
  Store& s = *store_;
  const std::string& mnt = s.mount_dir();
  auto killed = run_host_args(s.host_args({"attach_stores", mnt, s.attach(), "take_snapshot"}),
                              {.preload = LMFS_DIE_HOLDING_LOCK});
  EXPECT_EQ(killed.exit_status, 128 + SIGKILL) << killed.err;
  EXPECT_EQ(report_lines(killed.err), std::vector{report(1)});
  s.unmount();  // it died before it could detach
  ASSERT_EQ(s.lock_value(), 0) << "held by a process that is gone";

  const std::string head = R"({"op":"lock_status","result":"Ok","device":")" + s.device() + R"(","semaphore":")" +
                           s.semaphore() + R"(",)";
  auto held = run_host_args({"--lock-status", s.device()});
  EXPECT_EQ(held.exit_status, 0) << held.err;
  EXPECT_EQ(held.lines, std::vector{head + R"("lock":"held","value":0,"users":[]})"});

  // The next snapshot syncs, writes its line and then waits for the lock.
  // The status reads before it have closed everything they opened.
  Process waiting = start_host(s.host_args({"attach_stores", mnt, s.attach(), "next_snapshot", "last_snapshot",
                                            "take_snapshot", "detach_stores", mnt}));
  for (int i = 0; i < 1000 && waiting.running() && report_lines(waiting.err()).empty(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(report_lines(waiting.err()), std::vector{report(2)});
  EXPECT_FALSE(waiting.wait_for(300ms)) << "went past a held lock:\n" << waiting.err();
  EXPECT_EQ(open_files(waiting.pid()), std::vector{mnt}) << "only the waiting snapshot's mount directory";

  // The operator sees who waits, and gives the lock back.
  auto seen = run_host_args({"--lock-status", s.device()});
  ASSERT_EQ(seen.lines.size(), 1u);
  EXPECT_TRUE(contains(seen.lines[0], R"("lock":"held","value":0,)")) << seen.lines[0];
  EXPECT_TRUE(contains(seen.lines[0], R"({"pid":)" + std::to_string(waiting.pid()) +
                                          R"(,"comm":"lmfs-host","futex_wait":true})"))
      << seen.lines[0];

  auto released = run_host_args({"--release-lock", s.device()});
  EXPECT_EQ(released.exit_status, 0);
  ASSERT_EQ(released.lines.size(), 1u);
  EXPECT_TRUE(contains(released.lines[0], R"("released":true)")) << released.lines[0];
  EXPECT_TRUE(contains(released.err, "only safe when no process is in the middle of a snapshot")) << released.err;

  ASSERT_TRUE(waiting.wait_for(20s)) << waiting.err();
  const auto lines = waiting.lines();
  ASSERT_EQ(lines.size(), 6u) << waiting.err();
  EXPECT_EQ(lines[2], snapshot_ok("next_snapshot", 1));
  EXPECT_EQ(lines[3], snapshot_ok("last_snapshot", 1));
  EXPECT_EQ(lines[4], snapshot_ok("take_snapshot", 2));
  EXPECT_EQ(lines[5], R"({"op":"detach_stores","result":"Ok"})");
  EXPECT_EQ(s.lock_value(), 1);
  // Checkpoint 1 stayed a plain checkpoint; 2 is a snapshot.
  EXPECT_EQ(status_now(), (FsStatus{2, 1, 0}));
}

TEST_F(Snapshots, LockToolReleasesOnlyAHeldLock) {
  const Store& s = *store_;
  const std::string head = R"({"op":"lock_status","result":"Ok","device":")" + s.device() + R"(","semaphore":")" +
                           s.semaphore() + R"(",)";
  const std::string release_head = R"({"op":"release_lock","result":"Ok","device":")" + s.device() +
                                   R"(","semaphore":")" + s.semaphore() + R"(",)";
  // Before the first snapshot the lock does not exist, and looking at it
  // makes none; after it, it is free. Neither is posted.
  for (const std::string state : {"absent", "free"}) {
    SCOPED_TRACE(state);
    const std::string value = state == "free" ? "1" : "null";
    auto status = run_host_args({"--lock-status", s.device()});
    EXPECT_EQ(status.exit_status, 0);
    EXPECT_EQ(status.lines, std::vector{head + R"("lock":")" + state + R"(","value":)" + value + R"(,"users":[]})"});
    auto release = run_host_args({"--release-lock", s.device()});
    EXPECT_EQ(release.exit_status, 0);
    EXPECT_EQ(release.lines,
              std::vector{release_head + R"("released":false,"lock":")" + state + R"(","value":)" + value + "}"});
    EXPECT_TRUE(contains(release.err, "nothing released")) << release.err;
    EXPECT_EQ(s.lock_value(), state == "free" ? std::optional(1) : std::nullopt);
    if (state == "absent") {
      const auto used = run_host_args(s.host_args({"attach_stores", s.mount_dir(), s.attach(), "take_snapshot",
                                                   "detach_stores", s.mount_dir()}));
      ASSERT_EQ(used.exit_status, 0) << used.err;
    }
  }
  {
    SCOPED_TRACE("held by this process");
    sem_t* sem = ::sem_open(s.semaphore().c_str(), 0);
    ASSERT_NE(sem, SEM_FAILED);
    ASSERT_EQ(::sem_wait(sem), 0);
    auto status = run_host_args({"--lock-status", s.device()});
    EXPECT_EQ(status.lines,
              std::vector{head + R"("lock":"held","value":0,"users":[{"pid":)" + std::to_string(::getpid()) +
                          R"(,"comm":")" + own_comm() +
                          R"(","futex_wait":false}]})"});
    auto release = run_host_args({"--release-lock", s.device()});
    EXPECT_EQ(release.lines, std::vector{release_head + R"("released":true,"lock":"free","value":1})"});
    EXPECT_TRUE(contains(release.err, "process " + std::to_string(::getpid()) + " ")) << release.err;
    EXPECT_EQ(s.lock_value(), 1);
    ::sem_close(sem);
  }
  {
    SCOPED_TRACE("an image file names its lock by device and inode");
    struct stat st{};
    ASSERT_EQ(::stat(s.image().c_str(), &st), 0);
    auto status = run_host_args({"--lock-status", s.image()});
    ASSERT_EQ(status.lines.size(), 1u);
    EXPECT_TRUE(contains(status.lines[0], R"("semaphore":"/loomfs-cleaner-)" + std::to_string(st.st_dev) + "-" +
                                              std::to_string(st.st_ino) + R"(","lock":"absent")"))
        << status.lines[0];
  }
  struct Bad {
    std::vector<std::string> args;
    int exit_status;
    const char* output;  // part of the one line printed; "" : nothing on standard output
  };
  const Bad bad[] = {
      {{"--lock-status", "/dev/null"}, 4, R"("result":"Err","device":"/dev/null","error":{"errno":"EINVAL",)"},
      {{"--release-lock", "/nonexistent/dev"}, 4, R"("error":{"errno":"ENOENT","text":"cannot examine /nonexistent/dev: )"},
      {{"--lock-status"}, 2, ""},
      {{"--release-lock", s.device(), s.device()}, 2, ""},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(::testing::PrintToString(b.args));
    auto run = run_host_args(b.args);
    EXPECT_EQ(run.exit_status, b.exit_status) << run.err;
    if (*b.output) {
      ASSERT_EQ(run.lines.size(), 1u);
      EXPECT_TRUE(contains(run.lines[0], b.output)) << run.lines[0];
    } else {
      EXPECT_TRUE(run.lines.empty());
      EXPECT_TRUE(contains(run.err, "usage:")) << run.err;
    }
  }
  EXPECT_EQ(s.lock_value(), 1);
}

}  // namespace
}  // namespace lmfs::snaptest
