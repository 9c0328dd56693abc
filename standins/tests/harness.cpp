#include "harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace lmfs::standin::testing {

Image::Image(const std::string& name, std::uint64_t size) : ImageFile(env_dir() + "/" + name, size) {
  if (!error().empty()) ADD_FAILURE() << error();
}

std::string make_dir(const std::string& name) {
  const std::string path = env_dir() + "/" + name;
  if (::mkdir(path.c_str(), 0755) != 0) {
    ADD_FAILURE() << "cannot make " << path << ": " << std::strerror(errno);
  }
  return path;
}

Mount::Mount(const std::string& device, const std::string& dir) : device_(device) {
  mounted_ = run({tool("mount.loomfs"), "-o", kMountOptions, device, dir});
  live_ = mounted_.exit_status == 0;
}

Mount::~Mount() {
  if (live_) unmount();
}

ProcessRun Mount::unmount() {
  live_ = false;
  return run({tool("umount.loomfs"), device_});
}

std::vector<std::string> shown_lines_for(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& line : lmfs::testing::split_lines(read_file("/proc/mounts"))) {
    std::istringstream fields(line);
    std::string source, where;
    fields >> source >> where;
    if (where == dir) found.push_back(line);
  }
  return found;
}

}  // namespace lmfs::standin::testing
