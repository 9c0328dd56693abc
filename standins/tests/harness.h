// Test harness for the stand-ins: every test binary re-runs itself under
// lmfs-env (see harness.cpp), so each test process has a namespace, /proc
// view, /dev/shm and scratch directory of its own. Helpers here run the tools,
// make images and loop devices, and send the control requests, each owning
// what it sets up.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace lmfs::standin::testing {

// Where the built stand-ins and lmfs-env are.
inline const std::string kBinDir = LMFS_STANDIN_BIN_DIR;
inline constexpr const char* kMountOptions = "order=relaxed,nogc,barrier,discard";

std::string tool(const std::string& name);  // kBinDir + "/" + name

// The scratch directory of this test process's lmfs-env run.
std::string env_dir();

struct Outcome {
  int status = -1;  // raw wait status
  std::string out;
  std::string err;
  [[nodiscard]] int exit_code() const;  // -1 unless it exited normally
};

// Runs argv[0] (a path, or a name looked up in PATH) to its end, collecting
// its output.
Outcome run(const std::vector<std::string>& argv);

// A sparse regular file of `size` bytes under env_dir(), removed at the end.
class Image {
 public:
  Image(const std::string& name, std::uint64_t size);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A loop device over an image. Attached with autoclear and held open, so the
// kernel detaches it once the last user is gone, even if this process dies
// without running destructors.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// A directory under env_dir(), created empty.
std::string make_dir(const std::string& name);

// A mount through mount.loomfs that is undone (umount.loomfs) at the end
// unless unmount() already did.
class Mount {
 public:
  Mount(const std::string& device, const std::string& dir);
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  [[nodiscard]] const Outcome& result() const { return mounted_; }
  [[nodiscard]] bool ok() const { return mounted_.exit_code() == 0; }
  Outcome unmount();

 private:
  std::string device_;
  Outcome mounted_;
  bool live_ = false;
};

// The control requests, sent on the mount directory as the plug-in sends
// them; failures are the errno.
struct Status {
  std::uint64_t number = 0;
  std::uint64_t snapshots = 0;
  std::uint64_t violations = 0;
};
std::expected<std::uint64_t, int> sync_fs(const std::string& dir);
std::expected<Status, int> get_status(const std::string& dir);
std::expected<void, int> change_mode(const std::string& dir, std::uint64_t number,
                                     std::uint32_t mode, std::uint32_t reserved = 0);

// The lines of the shown /proc/mounts whose directory is `dir`.
std::vector<std::string> shown_lines_for(const std::string& dir);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);

}  // namespace lmfs::standin::testing
