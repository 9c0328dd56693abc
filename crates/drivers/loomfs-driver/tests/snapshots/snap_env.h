// What the snapshot tests add to the shared test support: a store on a loop
// device in the scratch directory of the test's lmfs-env run, and the lines
// lmfs-host prints. Each binary runs inside a fresh lmfs-env (MAIN lmfs_env),
// so every test process has its own /proc view, /dev/shm (and with it its own
// cleaner semaphores), daemon logs and scratch directory; loop devices are
// the only thing shared with the machine, and the store gives each one back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lmfs_testing/files.h"
#include "lmfs_testing/host.h"
#include "lmfs_testing/lmfs_env.h"
#include "lmfs_testing/loop_device.h"
#include "lmfs_testing/standin_control.h"

namespace lmfs::snaptest {

using namespace std::chrono_literals;
// The tests use the shared test support throughout.
using namespace lmfs::testing;

// A loop device over a sparse image in the scratch directory, with a mount
// directory beside it. Unmounted (by the stand-in's umount.loomfs) and
// detached at the end.
class Store {
 public:
  Store();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  [[nodiscard]] bool ready() const { return loop_.attached(); }
  [[nodiscard]] const std::string& device() const { return loop_.path(); }
  [[nodiscard]] const std::string& image() const { return image_; }
  [[nodiscard]] const std::string& mount_dir() const { return mount_dir_; }
  // Driver parameters naming this store, with the stand-ins as bin_dir.
  [[nodiscard]] std::string params() const;
  // PLUGIN --params PARAMS, followed by `ops`.
  [[nodiscard]] std::vector<std::string> host_args(const std::vector<std::string>& ops) const;
  [[nodiscard]] std::string attach() const;  // "block:DEVICE" for the media argument
  // Formats and mounts the store through lmfs-host; the failure says what
  // lmfs-host answered.
  [[nodiscard]] ::testing::AssertionResult format_and_mount() const;

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
  std::string image_, mount_dir_;
  LoopDevice loop_;
};

// JSON lines as lmfs-host prints them.
std::string snapshot_ok(const std::string& op, std::uint64_t id);
std::string other_err(const std::string& op, const std::string& text);

// The "Snap shot #n" lines the plug-in wrote, in order.
std::vector<std::string> report_lines(const std::string& err);
std::string report(std::uint64_t n);  // "Snap shot #n"

}  // namespace lmfs::snaptest
