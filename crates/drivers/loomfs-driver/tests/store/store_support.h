// What the store tests add to the shared test support: the file system's
// three tools faked in a directory of their own, and the lines the plug-in
// and lmfs-host write.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "lmfs_testing/fake_tool.h"
#include "lmfs_testing/files.h"
#include "lmfs_testing/host.h"
#include "lmfs_testing/loop_device.h"
#include "lmfs_testing/process.h"
#include "lmfs_testing/scoped_env.h"

namespace lmfs::store_test {

using lmfs::testing::LoopDevice;
using lmfs::testing::on_path;
using lmfs::testing::ScopedEnv;
using lmfs::testing::TempDir;
using lmfs::testing::ToolRun;

// mkfs.loomfs, mount.loomfs and umount.loomfs as fake tools (see
// lmfs_testing/fake_tool.h), in a directory of their own.
class FakeTools {
 public:
  FakeTools();
  [[nodiscard]] const std::string& dir() const { return dir_.path(); }
  // Replaces what the tool does on its next runs ("exit 1", "signal 9", ...).
  void act(const std::string& tool, const std::vector<std::string>& actions) const;
  [[nodiscard]] std::vector<ToolRun> runs(const std::string& tool) const;

 private:
  TempDir dir_;
  std::map<std::string, lmfs::testing::FakeTool> tools_;
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
