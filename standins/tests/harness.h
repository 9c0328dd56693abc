// What the stand-ins' tests add to the shared test support. The binary runs
// under lmfs-env (lmfs_test's MAIN lmfs_env), so each test process has a
// namespace, /proc view, /dev/shm and scratch directory of its own; images
// and directories here are named within that scratch directory, and mounts
// go through mount.loomfs and umount.loomfs, each undone by its owner.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lmfs_testing/files.h"
#include "lmfs_testing/lmfs_env.h"
#include "lmfs_testing/loop_device.h"
#include "lmfs_testing/process.h"
#include "lmfs_testing/standin_control.h"

namespace lmfs::standin::testing {

using lmfs::testing::change_mode;
using lmfs::testing::env_dir;
using lmfs::testing::FsStatus;
using lmfs::testing::get_status;
using lmfs::testing::kMountOptions;
using lmfs::testing::LoopDevice;
using lmfs::testing::ProcessRun;
using lmfs::testing::read_file;
using lmfs::testing::run;
using lmfs::testing::sync_fs;
using lmfs::testing::write_file;

// Where the built stand-ins and lmfs-env are.
inline const std::string kBinDir = lmfs::testing::standin_dir();
inline std::string tool(const std::string& name) { return lmfs::testing::standin(name); }

// A sparse image file `name` in env_dir(), removed at the end.
class Image : public lmfs::testing::ImageFile {
 public:
  Image(const std::string& name, std::uint64_t size);
};

// A directory `name` in env_dir(), created empty.
std::string make_dir(const std::string& name);

// A mount through mount.loomfs that is undone (umount.loomfs) at the end
// unless unmount() already did.
class Mount {
 public:
  Mount(const std::string& device, const std::string& dir);
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  [[nodiscard]] const ProcessRun& result() const { return mounted_; }
  [[nodiscard]] bool ok() const { return mounted_.exit_status == 0; }
  ProcessRun unmount();

 private:
  std::string device_;
  ProcessRun mounted_;
  bool live_ = false;
};

// The lines of the shown /proc/mounts whose directory is `dir`.
std::vector<std::string> shown_lines_for(const std::string& dir);

}  // namespace lmfs::standin::testing
