#include "loomfs_driver/manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "loomfs_driver/log_sink.h"
#include "lmfs_testing/fake_tool.h"
#include "lmfs_testing/files.h"
#include "lmfs_testing/loop_device.h"
#include "lmfs_testing/scoped_env.h"
#include "lmfs_testing/stderr_capture.h"
#include "process.h"

namespace lmfs::loomfs {
namespace {

using testing::FakeTool;
using testing::LoopDevice;
using testing::open_fds;
using testing::ScopedEnv;
using testing::StderrCapture;
using testing::TempDir;
using E = LoomFsDriverError;
using Strings = std::vector<std::string>;

const std::string kReplacement = "\xEF\xBF\xBD";
const std::string kMountOptions = "order=relaxed,nogc,barrier,discard";

std::string stores_line(const StorageMedia& media) {
  return "[crates/drivers/loomfs-driver/src/manager:62:9] stores = " + debug_media(media, true) + "\n";
}
std::string device_line(const std::string& device) {
  return "[crates/drivers/loomfs-driver/src/manager:77:9] &device = " + debug_os_string_record(device, true) +
         "\n";
}
std::string mount_lines(const std::string& root, const std::string& quoted_store) {
  return "[crates/drivers/loomfs-driver/src/manager:120:9] root = \"" + root + "\"\n" +
         "[crates/drivers/loomfs-driver/src/manager:121:9] &self.store = " +
         (quoted_store.empty() ? "None" : "Some(\n    " + quoted_store + ",\n)") + "\n";
}

// ---- Choosing the store -------------------------------------------------

TEST(SelectStore, EmptyOrSeveralMediaFailWithoutOutput) {
  LoomFsManager mgr;
  const std::pair<StorageMedia, E> cases[] = {
      {StorageMedia{}, E::NoDevices{}},
      {StorageMedia{{StorageMedium::block("/dev/loop0"), StorageMedium::block("/dev/loop1")}},
       E::TooManyDevices{}},
      {StorageMedia{{StorageMedium::block("/dev/loop0"), StorageMedium::none()}}, E::TooManyDevices{}},
  };
  for (const auto& [media, expected] : cases) {
    SCOPED_TRACE(media_text(media));
    StderrCapture err;
    auto r = mgr.select_store(media);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), expected);
    EXPECT_EQ(err.text(), "");
    EXPECT_FALSE(mgr.store());
  }
}

TEST(SelectStore, WritesDebugLinesExactly) {
  LoomFsManager mgr;
  StderrCapture err;
  auto r = mgr.select_store(StorageMedia{{StorageMedium::block("/dev/null")}});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "Invalid Block Device: /dev/null");
  EXPECT_EQ(err.text(),
            "[crates/drivers/loomfs-driver/src/manager:62:9] stores = StorageMedia {\n"
            "    inner: [\n"
            "        Block(\n"
            "            ROsString {\n"
            "                inner: \"/dev/null\",\n"
            "            },\n"
            "        ),\n"
            "    ],\n"
            "}\n"
            "[crates/drivers/loomfs-driver/src/manager:77:9] &device = ROsString {\n"
            "    inner: \"/dev/null\",\n"
            "}\n");
}

TEST(SelectStore, RefusesWhatIsNoBlockDevice) {
  TempDir dir;
  testing::write_file(dir / "file", "x");
  testing::write_file(dir / "f\xff", "x");
  const std::string bad = "Invalid Block Device: ";
  const struct {
    StorageMedium medium;
    E::Kind kind;
    std::string message;
  } cases[] = {
      {StorageMedium::path(dir / "p\xff"), E::Kind::InvalidBlockDevice, bad + dir / ("p" + kReplacement)},
      {StorageMedium::urn("loomfs:x"), E::Kind::InvalidBlockDevice, bad + "loomfs:x"},
      {StorageMedium::none(), E::Kind::InvalidBlockDevice, bad + "<none>"},
      {StorageMedium::block(dir / "file"), E::Kind::InvalidBlockDevice, bad + dir / "file"},
      {StorageMedium::block(dir / "f\xff"), E::Kind::InvalidBlockDevice, bad + dir / ("f" + kReplacement)},
      {StorageMedium::block(dir.path()), E::Kind::InvalidBlockDevice, bad + dir.path()},
      {StorageMedium::block("/dev/./null"), E::Kind::InvalidBlockDevice, bad + "/dev/./null"},
      {StorageMedium::block(dir / "missing"), E::Kind::Io, "I/O Error"},
      {StorageMedium::block(std::string("/dev/null\0x", 11)), E::Kind::Io, "I/O Error"},
      // Refused on its text alone: the path does not even exist.
      {StorageMedium::block(dir / "missing/../file"), E::Kind::Security,
       "Security Error: Invalid path: " + dir / "missing/../file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(debug_medium(c.medium, false));
    LoomFsManager mgr(LoomFsDriverOptions{}, "/dev/previous");
    StderrCapture err;
    auto r = mgr.select_store(StorageMedia{{c.medium}});
    const std::string written = err.text();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), c.kind);
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(mgr.store(), "/dev/previous");
    const StorageMedia media{{c.medium}};
    EXPECT_EQ(written,
              stores_line(media) + (c.medium.kind == MediumKind::Block ? device_line(c.medium.value) : ""));
  }
}

TEST(SelectStore, AcceptsBlockDevicesDirectlyAndThroughLinks) {
  TempDir dir;
  LoopDevice a(dir / "a.img", 1 << 20), b(dir / "b.img", 1 << 20);
  if (a.path().empty() || b.path().empty()) GTEST_SKIP() << "no loop devices (needs root and losetup)";
  const std::string link = dir / "by-id-\xfe";
  std::filesystem::create_symlink(a.path(), link);

  LoomFsManager mgr;
  {
    const StorageMedia media{{StorageMedium::block(link)}};
    StderrCapture err;
    auto r = mgr.select_store(media);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(mgr.store(), link);  // the link, not its target
    EXPECT_EQ(err.text(), stores_line(media) + device_line(link));
  }
  {
    // A failed selection leaves the store; a successful one replaces it.
    StderrCapture err;
    EXPECT_FALSE(mgr.select_store(StorageMedia{{StorageMedium::block("/dev/null")}}));
    EXPECT_EQ(mgr.store(), link);
    EXPECT_TRUE(mgr.select_store(StorageMedia{{StorageMedium::block(b.path())}}));
    EXPECT_EQ(mgr.store(), b.path());
  }
  {
    // ".." is refused even where it would lead to a block device.
    const std::string dotted = "/dev/../dev/" + std::filesystem::path(a.path()).filename().string();
    auto r = LoomFsManager::check_block_device(dotted);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Security Error: Invalid path: " + dotted);
    EXPECT_EQ(LoomFsManager::check_block_device(a.path()), a.path());
  }
}

// ---- Running the tools --------------------------------------------------

TEST(WaitStatus, Text) {
  const std::pair<int, std::string> cases[] = {
      {0, "exit status: 0"},
      {1 << 8, "exit status: 1"},
      {255 << 8, "exit status: 255"},
      {9, "signal: 9 (SIGKILL)"},
      {11 | 0x80, "signal: 11 (SIGSEGV) (core dumped)"},
      {1, "signal: 1 (SIGHUP)"},
      {16, "signal: 16 (SIGSTKFLT)"},
      {29, "signal: 29 (SIGIO)"},
      {31, "signal: 31 (SIGSYS)"},
      {34, "signal: 34"},
      {0x137f, "unrecognised wait status: 4991 0x137f"},   // stopped by SIGSTOP
      {0xffff, "unrecognised wait status: 65535 0xffff"},  // continued
  };
  for (const auto& [raw, text] : cases) {
    SCOPED_TRACE(raw);
    EXPECT_EQ(detail::WaitStatus{raw}.text(), text);
    EXPECT_EQ(detail::WaitStatus{raw}.success(), raw == 0);
  }
}

TEST(RunCommand, StartFailuresAreIoErrors) {
  TempDir dir;
  FakeTool tool(dir, "tool");
  testing::write_file(dir / "plain", "#!/bin/sh\n");
  const struct {
    detail::ToolCommand command;
    IoErrorKind kind;
  } cases[] = {
      {{dir / "plain", {}, false}, IoErrorKind::PermissionDenied},
      {{tool.path(), {"a", std::string("b\0c", 3)}, true}, IoErrorKind::InvalidInput},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command.program);
    auto r = detail::run_command(c.command);
    ASSERT_FALSE(r);
    ASSERT_NE(r.error().io(), nullptr);
    EXPECT_EQ(r.error().io()->kind, c.kind);
  }
  EXPECT_FALSE(tool.ran());
}

void ignore_signal(int) {}

TEST(RunCommand, WaitSurvivesInterruptions) {
  TempDir dir;
  FakeTool tool(dir, "slow", {"sleep 200", "exit 3"});
  struct sigaction action{}, old{};
  action.sa_handler = ignore_signal;  // no SA_RESTART: waitpid sees EINTR
  ASSERT_EQ(::sigaction(SIGALRM, &action, &old), 0);
  const itimerval every_10ms{{0, 10000}, {0, 10000}}, off{};
  ::setitimer(ITIMER_REAL, &every_10ms, nullptr);
  auto r = detail::run_command({tool.path(), {}, false});
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &old, nullptr);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->text(), "exit status: 3");
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset(bin.path(), "/dev/sdb");
    events().clear();
    previous_ = log::set_receiver([](const log::Event& e) {
      events().push_back(std::string(e.target) + "|" + std::string(e.file) + ":" + std::to_string(e.line) +
                         "|" + std::string(e.message));
    });
  }
  void TearDown() override { log::set_receiver(previous_); }

  // The manager as it is with tools from `bin_dir` once `store` was chosen.
  void reset(const std::string& bin_dir, std::optional<std::string> store) {
    LoomFsDriverOptions opts;
    opts.bin_dir = bin_dir;
    mgr = LoomFsManager(std::move(opts), std::move(store));
  }

  static Strings& events() {
    static Strings list;
    return list;
  }

  TempDir bin;
  LoomFsManager mgr;

 private:
  log::Receiver previous_ = nullptr;
};

TEST_F(ToolTest, FormatRunsMkfsWithItsArguments) {
  FakeTool mkfs(bin, "mkfs.loomfs", {"stderr noise from mkfs"});
  for (const std::string& bin_dir : {bin.path(), bin.path() + "/"}) {
    SCOPED_TRACE(bin_dir);
    reset(bin_dir, mgr.store());
    StderrCapture err;
    ASSERT_TRUE(mgr.format_store());
    EXPECT_EQ(err.text(), "");  // the tool's standard error is discarded
    EXPECT_EQ(mkfs.argv(), (Strings{bin / "mkfs.loomfs", "-q", "-f", "-O", "block_count", "/dev/sdb"}));
  }
}

TEST_F(ToolTest, EmptyBinDirFindsToolsThroughPath) {
  FakeTool mkfs(bin, "mkfs.loomfs"), mount(bin, "mount.loomfs");
  ScopedEnv path("PATH", bin.path());
  reset("", mgr.store());
  StderrCapture err;
  ASSERT_TRUE(mgr.format_store());
  ASSERT_TRUE(mgr.mount_store("/mnt/s"));
  EXPECT_EQ(mkfs.argv().front(), "mkfs.loomfs");
  EXPECT_EQ(mount.argv(), (Strings{"mount.loomfs", "-o", kMountOptions, "/dev/sdb", "/mnt/s"}));
}

TEST_F(ToolTest, FormatFailureNamesStatusAndDevice) {
  const std::pair<std::string, std::string> cases[] = {
      {"exit 1", "exit status: 1"},
      {"signal 9", "signal: 9 (SIGKILL)"},
      {"signal 11", "signal: 11 (SIGSEGV)"},
  };
  for (const auto& [action, status] : cases) {
    SCOPED_TRACE(action);
    FakeTool mkfs(bin, "mkfs.loomfs", {action});
    StderrCapture err;
    auto r = mgr.format_store();
    ASSERT_FALSE(r);
    EXPECT_EQ(err.text(), "Unable to initialize /dev/sdb, maybe invalid device?\n");
    EXPECT_EQ(r.error(), E(E::FormatFailed{status + " for device /dev/sdb"}));
    EXPECT_EQ(r.error().message(), "Formatting the store failed. " + status + " for device /dev/sdb");
  }
}

TEST_F(ToolTest, MountPassesDeviceAndRootAndKeepsToolStderr) {
  FakeTool mount(bin, "mount.loomfs", {"stderr mount says hello"});
  StderrCapture err;
  ASSERT_TRUE(mgr.mount_store("/mnt/s"));
  EXPECT_EQ(err.text(), mount_lines("/mnt/s", "\"/dev/sdb\"") + "mount says hello\n");
  EXPECT_EQ(mount.argv(), (Strings{bin / "mount.loomfs", "-o", kMountOptions, "/dev/sdb", "/mnt/s"}));
  EXPECT_EQ(events(), (Strings{"storage_driver_loomfs::manager|crates/drivers/loomfs-driver/src/manager:125|"
                               "Bin directory: \"" +
                               bin.path() + "\""}));
}

TEST_F(ToolTest, MountFailureReportsStatusAndDevice) {
  const std::pair<std::string, std::string> cases[] = {
      {"exit 32", "exit status: 32"},
      {"signal 9", "signal: 9 (SIGKILL)"},
  };
  for (const auto& [action, status] : cases) {
    SCOPED_TRACE(action);
    FakeTool mount(bin, "mount.loomfs", {action});
    StderrCapture err;
    auto r = mgr.mount_store("/mnt/s");
    ASSERT_FALSE(r);
    EXPECT_EQ(err.text(), mount_lines("/mnt/s", "\"/dev/sdb\"") +
                              "Unable to mount /dev/sdb, maybe invalid device?\nstatus: " + status + "\n");
    EXPECT_EQ(r.error().message(), "Invalid Block Device: /dev/sdb");
  }
}

TEST_F(ToolTest, MissingToolIsIoWithNothingWritten) {
  StderrCapture err;
  auto formatted = mgr.format_store();
  auto mounted = mgr.mount_store("/mnt/s");
  EXPECT_EQ(err.text(), mount_lines("/mnt/s", "\"/dev/sdb\""));
  ASSERT_FALSE(formatted);
  ASSERT_FALSE(mounted);
  EXPECT_EQ(formatted.error(), E(IoError::from_os(ENOENT)));
  EXPECT_EQ(mounted.error(), E(IoError::from_os(ENOENT)));
  EXPECT_EQ(mounted.error().message(), "I/O Error");
}

TEST_F(ToolTest, NoStoreRunsNothing) {
  FakeTool mkfs(bin, "mkfs.loomfs"), mount(bin, "mount.loomfs"), umount(bin, "umount.loomfs");
  reset(bin.path(), std::nullopt);
  StderrCapture err;
  EXPECT_EQ(mgr.format_store().error(), E::no_device());
  EXPECT_EQ(mgr.unmount_store().error(), E::no_device());
  EXPECT_EQ(err.text(), "");
  StderrCapture err2;
  EXPECT_EQ(mgr.mount_store("/mnt/s").error(), E::no_device());
  EXPECT_EQ(err2.text(), mount_lines("/mnt/s", ""));
  EXPECT_FALSE(mkfs.ran() || mount.ran() || umount.ran());
  EXPECT_TRUE(events().empty());
}

// The tools get a device's bytes as they are. Where the plug-in shows the
// device itself, invalid UTF-8 becomes U+FFFD and, in its own lines on
// standard error, control characters are escaped: a name cannot end its
// line, forge another ("Snap shot #n") or drive the terminal.
TEST_F(ToolTest, DeviceBytesPassedRawAndShownLossyAndEscaped) {
  const struct {
    std::string device, shown, line, quoted;  // in errors, in lines, in the debug form
  } rows[] = {
      {"/dev/sd\xff", "/dev/sd" + kReplacement, "/dev/sd" + kReplacement, R"("/dev/sd\xff")"},
      {"/dev/x\x1b[2J\nSnap shot #99\r", "/dev/x\x1b[2J\nSnap shot #99\r", R"(/dev/x\u{1b}[2J\nSnap shot #99\r)",
       R"("/dev/x\u{1b}[2J\nSnap shot #99\r")"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    reset(bin.path(), r.device);
    FakeTool mkfs(bin, "mkfs.loomfs", {"exit 1"}), mount(bin, "mount.loomfs", {"exit 1"});
    StderrCapture err;
    auto formatted = mgr.format_store();
    auto mounted = mgr.mount_store("/mnt/\xfe");
    ASSERT_FALSE(formatted);
    ASSERT_FALSE(mounted);
    EXPECT_EQ(mkfs.argv().back(), r.device);
    EXPECT_EQ(mount.argv(), (Strings{bin / "mount.loomfs", "-o", kMountOptions, r.device, "/mnt/\xfe"}));
    EXPECT_EQ(formatted.error().message(), "Formatting the store failed. exit status: 1 for device " + r.shown);
    EXPECT_EQ(mounted.error().message(), "Invalid Block Device: " + r.shown);
    EXPECT_EQ(err.text(), "Unable to initialize " + r.line + ", maybe invalid device?\n" +
                              mount_lines("/mnt/\\xfe", r.quoted) + "Unable to mount " + r.line +
                              ", maybe invalid device?\nstatus: exit status: 1\n");
  }

  reset(bin.path(), std::string("/dev/sd\0b", 9));
  auto formatted = mgr.format_store();
  ASSERT_FALSE(formatted);
  EXPECT_EQ(formatted.error().get_if<E::Io>()->error.kind, IoErrorKind::InvalidInput);
}

TEST_F(ToolTest, ChildSeesOnlyStandardStreamsAndNothingLeaks) {
  FakeTool mkfs(bin, "mkfs.loomfs"), mount(bin, "mount.loomfs");
  // A descriptor the host left inheritable must still not reach the tool.
  const int stray = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 3);
  const auto before = open_fds();
  {
    StderrCapture err;
    ASSERT_TRUE(mgr.format_store());
    ASSERT_TRUE(mgr.mount_store("/mnt/s"));
  }
  EXPECT_EQ(open_fds(), before);
  ::close(stray);
  EXPECT_EQ(mkfs.fds(), "0 1 2");
  EXPECT_EQ(mount.fds(), "0 1 2");
}

// What the host set for itself does not reach the tools: ignored signals
// (a daemon ignores SIGHUP, a shell's background job SIGINT) and blocked ones
// are reset in the child. And a host that ignores SIGCHLD, whose children
// the kernel would reap on its own, still learns how the tool ended.
TEST_F(ToolTest, ToolsStartPlainAndTheirStatusIsLearntWhateverTheHostIgnores) {
  FakeTool mkfs(bin, "mkfs.loomfs"), mount(bin, "mount.loomfs", {"exit 3"});
  struct sigaction ignore{}, old_int{}, old_hup{}, old_chld{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGINT, &ignore, &old_int), 0);
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &old_hup), 0);
  ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old_chld), 0);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask), 0);
  std::expected<void, LoomFsDriverError> formatted, mounted;
  {
    StderrCapture err;
    formatted = mgr.format_store();
    mounted = mgr.mount_store("/mnt/s");
  }
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGINT, &old_int, nullptr);
  ::sigaction(SIGHUP, &old_hup, nullptr);
  ::sigaction(SIGCHLD, &old_chld, nullptr);

  EXPECT_TRUE(formatted) << formatted.error().message();
  ASSERT_FALSE(mounted);
  EXPECT_EQ(mounted.error().message(), "Invalid Block Device: /dev/sdb");  // exit status 3, not "I/O Error"
  for (const FakeTool* tool : {&mkfs, &mount}) {
    ASSERT_EQ(tool->runs().size(), 1u);
    EXPECT_EQ(tool->runs().back().ignored_signals, "0000000000000000");
    EXPECT_EQ(tool->runs().back().blocked_signals, "0000000000000000");
  }
}

class UnmountTest : public ToolTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || ::access("/usr/bin/sudo", X_OK) != 0) GTEST_SKIP() << "needs root and sudo";
    ToolTest::SetUp();
  }
};

TEST_F(UnmountTest, RunsUmountThroughSudo) {
  FakeTool umount(bin, "umount.loomfs", {"stderr umount noise"});
  StderrCapture err;
  ASSERT_TRUE(mgr.unmount_store());
  EXPECT_EQ(err.text(), "");
  const Strings argv = umount.argv();
  EXPECT_EQ(Strings(argv.begin() + 1, argv.end()), Strings{"/dev/sdb"});
}

TEST_F(UnmountTest, FailingToolIsAnErrorNotAnExit) {
  FakeTool umount(bin, "umount.loomfs", {"exit 32"});
  StderrCapture err;
  auto r = mgr.unmount_store();
  ASSERT_FALSE(r);
  EXPECT_EQ(err.text(), "lmfs: Unable to umount /dev/sdb, maybe invalid device?\n");
  EXPECT_EQ(r.error().message(), "Other Error: Unable to unmount /dev/sdb: exit status: 32");
}

TEST_F(UnmountTest, DeviceNamesAreEscapedInItsLine) {
  reset(bin.path(), "/dev/x\nlmfs: forged");
  FakeTool umount(bin, "umount.loomfs", {"exit 32"});
  StderrCapture err;
  EXPECT_FALSE(mgr.unmount_store());
  EXPECT_EQ(err.text(), "lmfs: Unable to umount /dev/x\\nlmfs: forged, maybe invalid device?\n");
}

TEST_F(UnmountTest, MissingSudoIsIo) {
  TempDir empty;
  ScopedEnv path("PATH", empty.path());
  StderrCapture err;
  auto r = mgr.unmount_store();
  ASSERT_FALSE(r);
  EXPECT_EQ(err.text(), "lmfs: Unable to umount /dev/sdb, Perhaps install loomfs tools?\n");
  EXPECT_EQ(r.error(), E(IoError::from_os(ENOENT)));
}

// ---- Debug form ---------------------------------------------------------

TEST(ManagerDebug, PlainAndAlternate) {
  LoomFsManager mgr(LoomFsDriverOptions{std::nullopt, "/sbin", {}, "/mnt/s"});
  EXPECT_EQ(debug_manager(mgr, false), R"(LoomFsManager { opts: LoomFsDriverOptions { flags: None, bin_dir: "/sbin", )"
                              R"(media: StorageMedia { inner: [] }, root: "/mnt/s" }, store: None })");
  mgr = LoomFsManager(mgr.opts(), "/dev/sd\xff");
  EXPECT_TRUE(debug_manager(mgr, false).ends_with(R"(store: Some("/dev/sd\xff") })"));
  EXPECT_EQ(debug_manager(mgr, true),
            "LoomFsManager {\n"
            "    opts: LoomFsDriverOptions {\n"
            "        flags: None,\n"
            "        bin_dir: \"/sbin\",\n"
            "        media: StorageMedia {\n"
            "            inner: [],\n"
            "        },\n"
            "        root: \"/mnt/s\",\n"
            "    },\n"
            "    store: Some(\n"
            "        \"/dev/sd\\xff\",\n"
            "    ),\n"
            "}");
}

}  // namespace
}  // namespace lmfs::loomfs
