// What the snapshot tests share. Each test binary runs itself inside a fresh
// lmfs-env namespace (see main in snap_env.cpp), so every test process has its
// own /proc view, /dev/shm (and with it its own cleaner semaphores), daemon
// logs and scratch directory; loop devices are the only thing shared with the
// machine, and the fixture gives each one back.
//
// lmfs-host runs as a child process with a time limit: a snapshot that hangs
// fails its test instead of hanging the suite.
#pragma once

#include "host_runner.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lmfs::snaptest {

using namespace std::chrono_literals;

// True inside the namespace (LMFS_ENV_DIR set by lmfs-env).
bool in_env();
std::string env_dir();
std::string standin(const std::string& tool);  // LMFS_STANDIN_BIN_DIR/tool

// One lmfs-host process, started at construction. Its standard output and
// error go to files in the scratch directory. Destroying it kills the process
// if it is still running.
class HostProcess {
 public:
  // lmfs-host ARGS..., with "NAME=value" entries added to the environment.
  explicit HostProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Waits up to `limit` for the end; false when it is still running.
  bool wait_for(std::chrono::milliseconds limit);
  [[nodiscard]] bool running();
  void kill();
  [[nodiscard]] pid_t pid() const { return pid_; }
  // Exit code, or 128 + signal; -1 while running or when it never started.
  [[nodiscard]] int exit_status() const { return status_; }
  [[nodiscard]] std::vector<std::string> lines() const;  // standard output so far
  [[nodiscard]] std::string err() const;                  // standard error so far

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_, err_path_;
};

struct HostRun {
  int exit_status = -1;
  std::vector<std::string> lines;
  std::string err;
};

// Runs lmfs-host to its end; past `limit` it is killed and the test fails.
HostRun run_host(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                 std::chrono::milliseconds limit = 30s);

// The environment entries that preload a shared object into lmfs-host (and
// its children), made to work under the sanitizers too.
std::vector<std::string> preload(const std::string& library, const std::string& fault = {});

// The stand-in's status record: current checkpoint, how many checkpoints are
// snapshots, and the change-mode requests it saw arrive outside the cleaner
// lock since it was mounted.
struct FsStatus {
  std::uint64_t checkpoint = 0;
  std::uint64_t snapshots = 0;
  std::uint64_t violations = 0;
  bool operator==(const FsStatus&) const = default;
};
std::optional<FsStatus> fs_status(const std::string& mount_dir);

// A loop device over a sparse image in the scratch directory, with a mount
// directory beside it. Unmounted (by the stand-in's umount.loomfs) and
// detached at the end.
class Store {
 public:
  Store();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  [[nodiscard]] bool ready() const { return !device_.empty(); }
  [[nodiscard]] const std::string& device() const { return device_; }
  [[nodiscard]] const std::string& image() const { return image_; }
  [[nodiscard]] const std::string& mount_dir() const { return mount_dir_; }
  // Driver parameters naming this store, with the stand-ins as bin_dir.
  [[nodiscard]] std::string params() const;
  // "--params PARAMS" followed by `ops`.
  [[nodiscard]] std::vector<std::string> host_args(const std::vector<std::string>& ops) const;
  [[nodiscard]] std::string attach() const;  // "block:DEVICE" for the media argument

  // mount.loomfs / umount.loomfs, run directly, without the plug-in.
  bool mount(const std::string& dir);
  bool mounted() const;
  void unmount();

  // The cleaner semaphore's name derived here from the device number, and
  // its value (nothing when it does not exist yet).
  [[nodiscard]] std::string semaphore() const;
  [[nodiscard]] std::optional<int> lock_value() const;
  // The daemon's log lines that report lock violations.
  [[nodiscard]] std::vector<std::string> violation_log() const;

 private:
  std::string image_, device_, mount_dir_;
};

// JSON lines as lmfs-host prints them.
std::string snapshot_ok(const std::string& op, std::uint64_t id);
std::string other_err(const std::string& op, const std::string& text);

// The "Snap shot #n" lines the plug-in wrote, in order.
std::vector<std::string> report_lines(const std::string& err);
std::string report(std::uint64_t n);  // "Snap shot #n"

using lmfs::testing::read_file;

}  // namespace lmfs::snaptest
