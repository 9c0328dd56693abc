// What the store tests share: scratch directories, loop devices over image
// files, the fake tools, running a program and the lines the plug-in writes.
#pragma once

#include "host_runner.h"

#include <optional>
#include <string>
#include <vector>

namespace lmfs::store_test {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using lmfs::testing::ProcessRun;
using lmfs::testing::run_process;

// True when `program` is found in the directories of PATH.
bool on_path(const std::string& program);

// A loop device over a sparse image file of `bytes` bytes, made with
// `losetup -f --show` and detached on destruction, whatever the test did.
class LoopDevice {
 public:
  LoopDevice(const std::string& image, unsigned long long bytes);
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  ~LoopDevice();
  // Empty when the device could not be set up; `error()` says why.
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  std::string path_;
  std::string error_;
};

// Sets an environment variable of this process for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// One recorded run of a fake tool (see fake_tool.cpp).
struct ToolRun {
  std::vector<std::string> argv;
  std::string fds;
  std::string parent;
  std::string parent_fds;
  std::string siblings;
};

// The three fake tools, copied into a directory of their own.
class FakeTools {
 public:
  FakeTools();
  [[nodiscard]] const std::string& dir() const { return dir_.path(); }
  // Replaces what the tool does on its next runs ("exit 1", "kill 9", ...).
  void act(const std::string& tool, const std::vector<std::string>& actions) const;
  [[nodiscard]] std::vector<ToolRun> runs(const std::string& tool) const;

 private:
  TempDir dir_;
};

// The JSON lines lmfs-host prints.
namespace json {
std::string ok(const std::string& op);
std::string other(const std::string& op, const std::string& text);
std::string media_error(const std::string& op, const std::string& cow, const std::string& text);
std::string no_store(const std::string& op);  // InvalidMediaType, Borrowed "<none>"
std::string mount_point(const std::string& value);
std::string stores(const std::string& device);
std::string root(const std::string& path);
// A path or text as a JSON string body: quotes, backslashes and control
// characters escaped.
std::string escape(const std::string& text);
}  // namespace json

// What the plug-in writes on standard error. `quoted` is the debug form of
// the device or directory between the quotes, escapes included.
namespace trace {
std::string select_block(const std::string& quoted);  // the `stores` and `&device` lines
std::string mount(const std::string& quoted_root, const std::string& quoted_store);
}  // namespace trace

// The parameters of a driver with this bin_dir.
std::string params(const std::string& bin_dir);

}  // namespace lmfs::store_test
