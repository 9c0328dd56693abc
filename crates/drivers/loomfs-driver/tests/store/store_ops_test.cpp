// The store operations (stores, initialize_stores, attach_stores,
// detach_stores) driven through lmfs-host, on real loop devices, with fake
// tools in a bin_dir of the test's own: what each operation answers, what
// lands on standard error, and what the tools are started with.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>

#include "store_support.h"

namespace lmfs::store_test {
namespace {

namespace fs = std::filesystem;
using lmfs::testing::HostRun;
using lmfs::testing::run_host;
using Lines = std::vector<std::string>;

const std::string kNew = R"({"op":"new","result":"Ok"})";
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The escapes of bytes that are not UTF-8 in upper case: "\\xfe" becomes
// "\\xFE". Which case the plug-in writes is not settled; the bytes are.
std::string upper_hex_escapes(std::string text) {
  for (std::size_t i = 0; (i = text.find("\\x", i)) != std::string::npos; i += 2) {
    for (std::size_t k = i + 2; k < i + 4 && k < text.size(); ++k) {
      text[k] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[k])));
    }
  }
  return text;
}

// The `stores` trace of one Path medium: its bytes, one per line.
std::string path_trace(const std::string& bytes) {
  std::string out =
      "[crates/drivers/loomfs-driver/src/manager:62:9] stores = StorageMedia {\n    inner: [\n        Path(\n"
      "            RPathBuf {\n                inner: [\n";
  for (unsigned char b : bytes) out += "                    " + std::to_string(b) + ",\n";
  return out + "                ],\n            },\n        ),\n    ],\n}\n";
}

class StoreOps : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_ = std::make_unique<LoopDevice>(work_ / "disk.img", 1u << 20);
    if (loop_->path().empty()) GTEST_SKIP() << "no loop device: " << loop_->error();
    dev_ = loop_->path();
    mnt_ = work_ / "mnt";
  }

  static void need_sudo() {
    if (!on_path("sudo")) GTEST_SKIP() << "sudo is not installed";
  }

  [[nodiscard]] HostRun host(const Lines& ops, const lmfs::testing::Options& options = {}) const {
    return run_host(params(tools_.dir()), ops, options);
  }

  [[nodiscard]] static std::vector<std::vector<std::string>> argvs(const std::vector<ToolRun>& runs) {
    std::vector<std::vector<std::string>> out;
    for (const auto& r : runs) out.push_back(r.argv);
    return out;
  }

  [[nodiscard]] std::string tool(const std::string& name) const { return tools_.dir() + "/" + name; }

  TempDir work_;
  FakeTools tools_;
  std::unique_ptr<LoopDevice> loop_;
  std::string dev_;
  std::string mnt_;
};

// ---- Choosing the store -------------------------------------------------

TEST_F(StoreOps, UnusableMediaAreRefusedBeforeAnyToolRuns) {
  const std::string file = work_ / "file";
  std::ofstream(file) << "not a device";
  struct Row {
    std::string name;
    std::string media;        // the MEDIA argument of lmfs-host
    std::string trace;        // written by each of the two selections
    std::string attach_text;  // the media as text in attach_stores' error
  };
  const Row rows[] = {
      {"regular file", "block:" + file, trace::select_block(file), "/dev" + file},
      {"directory", "block:" + work_.path(), trace::select_block(work_.path()), "/dev" + work_.path()},
      {"missing file", "block:/dev/lmfs-no-such-device", trace::select_block("/dev/lmfs-no-such-device"),
       "/dev/lmfs-no-such-device"},
      {"relative name", "block:lmfs-no-such-disk", trace::select_block("lmfs-no-such-disk"), "/devlmfs-no-such-disk"},
      {"character device", "block:/dev/null", trace::select_block("/dev/null"), "/dev/null"},
      // Would name the loop device if ".." were resolved.
      {"parent component", "block:/dev/../" + dev_.substr(1), trace::select_block("/dev/../" + dev_.substr(1)),
       "/dev/../" + dev_.substr(1)},
      // The loop device's name and a NUL byte: no cut at the NUL.
      {"NUL byte", "block:" + dev_ + "%00", trace::select_block(dev_ + "\\0"), dev_ + std::string(1, '\0')},
      {"NUL byte inside", "block:" + dev_ + "%00x", trace::select_block(dev_ + "\\0x"),
       dev_ + std::string(1, '\0') + "x"},
      {"empty list", "-", "", ""},
      {"two media", "block:" + dev_ + ",none", "", dev_ + ",none::"},
      {"two block devices", "block:" + dev_ + ",block:" + dev_, "", dev_ + "," + dev_},
      {"none", "none",
       "[crates/drivers/loomfs-driver/src/manager:62:9] stores = StorageMedia {\n    inner: [\n        None,\n    ],\n}\n",
       "none::"},
      {"urn", "urn:" + dev_,
       "[crates/drivers/loomfs-driver/src/manager:62:9] stores = StorageMedia {\n    inner: [\n        URN(\n"
       "            \"" + dev_ + "\",\n        ),\n    ],\n}\n",
       "urn:" + dev_},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const HostRun run = host({"initialize_stores", r.media, "attach_stores", mnt_, r.media, "root", "stores"});
    EXPECT_EQ(run.exit_status, 0);
    const Lines expected = {
        kNew,
        json::no_store("initialize_stores"),
        json::media_error("attach_stores", "Owned", r.attach_text),
        json::root(""),  // a refused choice leaves the mount directory alone
        json::no_store("stores"),
    };
    EXPECT_EQ(run.lines, expected);
    EXPECT_EQ(run.err, r.trace + r.trace);
  }
  for (const char* t : {"mkfs.loomfs", "mount.loomfs", "umount.loomfs"}) {
    EXPECT_TRUE(tools_.runs(t).empty()) << t << " ran";
  }
}

TEST_F(StoreOps, PathMediumIsRefusedEvenWhenItNamesABlockDevice) {
  struct Row {
    std::string media;
    std::string bytes;
    std::string text;
  };
  const Row rows[] = {
      {"path:" + dev_, dev_, dev_},
      {"path:/d%FF", "/d\xFF", "/d" + kReplacement},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.media);
    const HostRun run = host({"initialize_stores", r.media, "attach_stores", mnt_, r.media});
    const Lines expected = {kNew, json::no_store("initialize_stores"),
                            json::media_error("attach_stores", "Owned", r.text)};
    EXPECT_EQ(run.lines, expected);
    EXPECT_EQ(run.err, path_trace(r.bytes) + path_trace(r.bytes));
  }
  EXPECT_TRUE(tools_.runs("mkfs.loomfs").empty());
  EXPECT_TRUE(tools_.runs("mount.loomfs").empty());
}

TEST_F(StoreOps, BlockDeviceIsTakenAsNamedDirectlyOrThroughALink) {
  fs::create_directories(work_ / "by-id");
  const std::string link = work_ / "by-id/loop-disk";
  fs::create_symlink(dev_, link);
  const std::string dotted = "/dev/./" + dev_.substr(5);
  for (const std::string& name : {dev_, link, dotted}) {
    SCOPED_TRACE(name);
    const auto before = tools_.runs("mkfs.loomfs").size();
    const HostRun run = host({"initialize_stores", "block:" + name, "stores"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.lines, (Lines{kNew, json::ok("initialize_stores"), json::stores(name)}));
    EXPECT_EQ(run.err, trace::select_block(name));
    const auto runs = tools_.runs("mkfs.loomfs");
    ASSERT_EQ(runs.size(), before + 1);
    EXPECT_EQ(runs.back().argv.back(), name) << "the name is passed on as given, not resolved";
  }
}

TEST_F(StoreOps, RefusedChoiceKeepsThePreviousStoreAndAGoodOneReplacesIt) {
  const std::string link = work_ / "disk-link";
  fs::create_symlink(dev_, link);
  const HostRun run = host({"initialize_stores", "block:" + link, "initialize_stores", "block:/dev/null", "stores",
                            "attach_stores", mnt_, "block:/dev/null", "stores", "root", "attach_stores", mnt_,
                            "block:" + dev_, "stores", "root"});
  const Lines expected = {
      kNew,
      json::ok("initialize_stores"),
      json::no_store("initialize_stores"),
      json::stores(link),
      json::media_error("attach_stores", "Owned", "/dev/null"),
      json::stores(link),
      json::root(""),
      json::ok("attach_stores"),
      json::stores(dev_),
      json::root(mnt_),
  };
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.err, trace::select_block(link) + trace::select_block("/dev/null") + trace::select_block("/dev/null") +
                         trace::select_block(dev_) + trace::mount(mnt_, dev_));
  EXPECT_EQ(tools_.runs("mkfs.loomfs").size(), 1u);
  EXPECT_EQ(argvs(tools_.runs("mount.loomfs")),
            (std::vector<Lines>{{tool("mount.loomfs"), "-o", "order=relaxed,nogc,barrier,discard", dev_, mnt_}}));
}

// ---- Running the tools --------------------------------------------------

TEST_F(StoreOps, ToolsAreStartedFromBinDirWithTheirCommandLines) {
  need_sudo();
  struct Row {
    std::string name;
    std::string bin_dir;
    std::string prefix;  // what stands before the tool's name in its argument zero
    bool unmount;        // sudo finds bare names only in its own secure_path
  };
  const Row rows[] = {
      {"bin_dir", tools_.dir(), tools_.dir() + "/", true},
      {"bin_dir with trailing slash", tools_.dir() + "/", tools_.dir() + "/", true},
      {"empty bin_dir: through PATH", "", "", false},
  };
  const char* old_path = std::getenv("PATH");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::error_code ec;
    for (const char* t : {"mkfs.loomfs", "mount.loomfs", "umount.loomfs"}) fs::remove(tool(t) + ".log", ec);
    ScopedEnv path("PATH", tools_.dir() + ":" + (old_path ? old_path : "/usr/bin:/bin"));

    Lines ops = {"initialize_stores", "block:" + dev_, "attach_stores", mnt_, "block:" + dev_};
    Lines expected = {kNew, json::ok("initialize_stores"), json::ok("attach_stores")};
    if (r.unmount) {
      ops.insert(ops.end(), {"detach_stores", mnt_});
      expected.push_back(json::ok("detach_stores"));
    }
    const HostRun run = run_host(params(r.bin_dir), ops);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.lines, expected);
    EXPECT_EQ(run.err, trace::select_block(dev_) + trace::select_block(dev_) + trace::mount(mnt_, dev_));

    const auto mkfs = tools_.runs("mkfs.loomfs");
    ASSERT_EQ(mkfs.size(), 1u);
    EXPECT_EQ(mkfs[0].argv, (Lines{r.prefix + "mkfs.loomfs", "-q", "-f", "-O", "block_count", dev_}));
    EXPECT_EQ(mkfs[0].parent, "lmfs-host");
    const auto mount = tools_.runs("mount.loomfs");
    ASSERT_EQ(mount.size(), 1u);
    EXPECT_EQ(mount[0].argv,
              (Lines{r.prefix + "mount.loomfs", "-o", "order=relaxed,nogc,barrier,discard", dev_, mnt_}));
    EXPECT_EQ(mount[0].parent, "lmfs-host");
    const auto umount = tools_.runs("umount.loomfs");
    if (r.unmount) {
      ASSERT_EQ(umount.size(), 1u);
      EXPECT_EQ(umount[0].argv, (Lines{r.prefix + "umount.loomfs", dev_})) << "the device, not the directory";
      EXPECT_EQ(umount[0].parent, "sudo");
    }
  }
}

TEST_F(StoreOps, FailingToolsAreReportedWithTheirWaitStatus) {
  struct Row {
    std::string action;
    std::string status;
  };
  const Row rows[] = {
      {"exit 1", "exit status: 1"},
      {"exit 255", "exit status: 255"},
      {"signal 9", "signal: 9 (SIGKILL)"},
      {"signal 15", "signal: 15 (SIGTERM)"},
      {"signal 40", "signal: 40"},  // a real-time signal has no standard name
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.action);
    // What the format tool says on its standard error is discarded, what the
    // mount tool says is kept; standard output is the host's for both.
    tools_.act("mkfs.loomfs", {"stdout mkfs out", "stderr mkfs err", r.action});
    tools_.act("mount.loomfs", {"stdout mount out", "stderr mount err", r.action});
    const HostRun run = host({"initialize_stores", "block:" + dev_, "attach_stores", mnt_, "block:" + dev_});
    EXPECT_EQ(run.exit_status, 0);
    const Lines expected = {
        kNew,
        "mkfs out",
        json::other("initialize_stores", "Formatting the store failed. " + r.status + " for device " + dev_),
        "mount out",
        json::other("attach_stores", "Invalid Block Device: " + dev_),
    };
    EXPECT_EQ(run.lines, expected);
    EXPECT_EQ(run.err, trace::select_block(dev_) + "Unable to initialize " + dev_ + ", maybe invalid device?\n" +
                           trace::select_block(dev_) + trace::mount(mnt_, dev_) + "mount err\n" +
                           "Unable to mount " + dev_ + ", maybe invalid device?\nstatus: " + r.status + "\n");
  }
}

TEST_F(StoreOps, FailedMountKeepsTheStoreOfThatCallAndTheMountDirectory) {
  need_sudo();
  const std::string link = work_ / "first";
  fs::create_symlink(dev_, link);
  tools_.act("mount.loomfs", {"exit 32"});
  const HostRun run = host({"initialize_stores", "block:" + link, "attach_stores", mnt_, "block:" + dev_, "stores",
                            "root", "detach_stores", mnt_ + "/", "detach_stores", mnt_ + "/.", "detach_stores",
                            mnt_, "stores"});
  EXPECT_EQ(run.exit_status, 0);
  const Lines expected = {
      kNew,
      json::ok("initialize_stores"),
      json::other("attach_stores", "Invalid Block Device: " + dev_),
      json::stores(dev_),
      json::root(mnt_),
      json::mount_point(mnt_ + "/"),
      json::mount_point(mnt_ + "/."),
      json::ok("detach_stores"),
      json::stores(dev_),  // unmounting leaves the store chosen
  };
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.err, trace::select_block(link) + trace::select_block(dev_) + trace::mount(mnt_, dev_) +
                         "Unable to mount " + dev_ + ", maybe invalid device?\nstatus: exit status: 32\n");
  EXPECT_EQ(argvs(tools_.runs("umount.loomfs")), (std::vector<Lines>{{tool("umount.loomfs"), dev_}}))
      << "only the exact mount directory unmounts";
}

TEST_F(StoreOps, DetachOfAnotherDirectoryUnmountsNothing) {
  need_sudo();
  const HostRun run = host({"detach_stores", "", "attach_stores", mnt_, "block:" + dev_, "detach_stores",
                            mnt_ + "x", "detach_stores", mnt_ + "%FF", "detach_stores", "mnt"});
  const Lines expected = {
      kNew,
      // Before any attach the mount directory is empty, and so is this one.
      json::other("detach_stores", "Invalid Block Device: <none>"),
      json::ok("attach_stores"),
      json::mount_point(mnt_ + "x"),
      json::mount_point(mnt_ + kReplacement),
      json::mount_point("mnt"),
  };
  EXPECT_EQ(run.lines, expected);
  EXPECT_TRUE(tools_.runs("umount.loomfs").empty());
}

TEST_F(StoreOps, FailingUnmountIsAnErrorAndTheHostGoesOn) {
  need_sudo();
  tools_.act("umount.loomfs", {"stdout umount out", "stderr umount err", "exit 32"});
  const HostRun run = host({"attach_stores", mnt_, "block:" + dev_, "detach_stores", mnt_, "stores",
                            "detach_stores", mnt_, "root"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  const std::string failed = "Other Error: Unable to unmount " + dev_ + ": exit status: 32";
  const Lines expected = {
      kNew,
      json::ok("attach_stores"),
      "umount out",
      json::other("detach_stores", failed),
      json::stores(dev_),
      "umount out",
      json::other("detach_stores", failed),
      json::root(mnt_),
  };
  EXPECT_EQ(run.lines, expected);
  const std::string complaint = "lmfs: Unable to umount " + dev_ + ", maybe invalid device?\n";
  EXPECT_EQ(run.err, trace::select_block(dev_) + trace::mount(mnt_, dev_) + complaint + complaint);
  EXPECT_EQ(tools_.runs("umount.loomfs").size(), 2u);
}

TEST_F(StoreOps, MissingSudoIsAnIoErrorAndTheHostGoesOn) {
  TempDir empty;  // PATH holds no sudo; the tools come from an absolute bin_dir
  HostRun run;
  {
    ScopedEnv path("PATH", empty.path());
    run = host({"attach_stores", mnt_, "block:" + dev_, "detach_stores", mnt_, "stores"});
  }
  EXPECT_EQ(run.exit_status, 0) << run.err;
  const Lines expected = {kNew, json::ok("attach_stores"), json::other("detach_stores", "I/O Error"),
                          json::stores(dev_)};
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.err, trace::select_block(dev_) + trace::mount(mnt_, dev_) + "lmfs: Unable to umount " + dev_ +
                         ", Perhaps install loomfs tools?\n");
  EXPECT_TRUE(tools_.runs("umount.loomfs").empty());
}

TEST_F(StoreOps, DeviceAndDirectoryBytesReachToolsRawAndShowReplaced) {
  need_sudo();
  const std::string link = work_ / "disk\xFF";  // not UTF-8
  fs::create_symlink(dev_, link);
  const std::string root = work_ / "mnt\xFE";
  const std::string shown_link = work_ / ("disk" + kReplacement);
  const std::string shown_root = work_ / ("mnt" + kReplacement);
  tools_.act("mkfs.loomfs", {"exit 1"});
  tools_.act("mount.loomfs", {"exit 2"});
  tools_.act("umount.loomfs", {"exit 3"});
  const std::string media = "block:" + work_.path() + "/disk%FF";
  const std::string root_arg = work_.path() + "/mnt%FE";
  const HostRun run = host({"initialize_stores", media, "attach_stores", root_arg, media, "stores", "root",
                            "detach_stores", root_arg});
  EXPECT_EQ(run.exit_status, 0);
  const Lines expected = {
      kNew,
      json::other("initialize_stores", "Formatting the store failed. exit status: 1 for device " + shown_link),
      json::other("attach_stores", "Invalid Block Device: " + shown_link),
      json::stores(shown_link),
      json::root(shown_root),
      json::other("detach_stores", "Other Error: Unable to unmount " + shown_link + ": exit status: 3"),
  };
  EXPECT_EQ(run.lines, expected);
  // The medium is a text and is traced with U+FFFD; the store and the mount
  // directory are paths and are traced with the bytes escaped.
  const std::string select = trace::select_block(shown_link);
  EXPECT_EQ(upper_hex_escapes(run.err),
            select + "Unable to initialize " + shown_link + ", maybe invalid device?\n" + select +
                trace::mount(work_ / "mnt\\xFE", work_ / "disk\\xFF") + "Unable to mount " + shown_link +
                ", maybe invalid device?\nstatus: exit status: 2\n" + "lmfs: Unable to umount " + shown_link +
                ", maybe invalid device?\n");
  EXPECT_EQ(argvs(tools_.runs("mkfs.loomfs")),
            (std::vector<Lines>{{tool("mkfs.loomfs"), "-q", "-f", "-O", "block_count", link}}));
  EXPECT_EQ(argvs(tools_.runs("mount.loomfs")),
            (std::vector<Lines>{{tool("mount.loomfs"), "-o", "order=relaxed,nogc,barrier,discard", link, root}}));
  EXPECT_EQ(argvs(tools_.runs("umount.loomfs")), (std::vector<Lines>{{tool("umount.loomfs"), link}}));
}

// ---- What the tools inherit and what is left of them --------------------

// Adopts orphaned descendants for one scope, so that a tool the host left
// behind ends up as a child of this process once the host has gone.
class Subreaper {
 public:
  Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  Subreaper(const Subreaper&) = delete;
  Subreaper& operator=(const Subreaper&) = delete;
  ~Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

TEST_F(StoreOps, ToolsGetOnlyTheStandardStreamsAndAreAllReaped) {
  // A descriptor the host inherits without close-on-exec: it must still not
  // reach the tools.
  const int inherited = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inherited, 3);
  HostRun run;
  {
    Subreaper adopt;
    tools_.act("mount.loomfs", {"exit 1"});
    run = host({"initialize_stores", "block:" + dev_, "attach_stores", mnt_, "block:" + dev_, "initialize_stores",
                "block:" + dev_, "attach_stores", mnt_, "block:" + dev_},
               {.inherit_fds = true});
    // Whatever the host left unreaped or running is ours now.
    std::vector<pid_t> left;
    for (;;) {
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid > 0) {
        left.push_back(pid);
        continue;
      }
      if (pid == 0) {  // still running (the fake tools end on their own)
        left.push_back(::waitpid(-1, &status, 0));
        continue;
      }
      EXPECT_EQ(errno, ECHILD);
      break;
    }
    EXPECT_TRUE(left.empty()) << "processes of the run were left behind: " << ::testing::PrintToString(left);
  }
  ::close(inherited);
  EXPECT_EQ(run.exit_status, 0);
  ASSERT_EQ(run.lines.size(), 5u);

  std::vector<ToolRun> runs = tools_.runs("mkfs.loomfs");
  const auto mounts = tools_.runs("mount.loomfs");
  ASSERT_EQ(runs.size(), 2u);
  ASSERT_EQ(mounts.size(), 2u);
  // In the order they ran: mkfs, mount, mkfs, mount.
  runs = {runs[0], mounts[0], runs[1], mounts[1]};
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE("tool run " + std::to_string(i));
    EXPECT_EQ(runs[i].fds, "0 1 2");
    // The tool's parent is the host's child that waits for it: it keeps
    // nothing of the host's either, but the pipe it reports on.
    EXPECT_EQ(runs[i].parent, "lmfs-host");
    EXPECT_EQ(runs[i].parent_fds.find(" " + std::to_string(inherited)), std::string::npos) << runs[i].parent_fds;
    EXPECT_EQ(runs[i].siblings, "") << "earlier tools are reaped before the next starts";
  }
}

}  // namespace
}  // namespace lmfs::store_test
