// Helpers of the manager's tests: temporary directories, capture of the
// process's standard error, environment overrides, loop devices, the fake
// tools and descriptor counting.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace lmfs::loomfs::testing {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lmfs-mgr-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Redirects descriptor 2 into a temporary file until text() or destruction.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    char name[] = "/tmp/lmfs-stderr-XXXXXX";
    file_ = ::mkostemp(name, O_CLOEXEC);
    ::unlink(name);
    ::dup2(file_, 2);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    restore();
    if (file_ >= 0) ::close(file_);
  }

  // Stops the capture and returns what was written.
  std::string text() {
    restore();
    std::string out;
    char buf[4096];
    ssize_t n;
    ::lseek(file_, 0, SEEK_SET);
    while ((n = ::read(file_, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
  }
  int saved_ = -1;
  int file_ = -1;
};

// Sets (or with nullopt removes) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A loop device over a 1 MiB image, detached on destruction. path() is empty
// when none could be set up (no losetup, no permission, no free device).
class LoopDevice {
 public:
  explicit LoopDevice(const TempDir& dir) {
    const std::string image = dir / ("image" + std::to_string(counter_++));
    write_file(image, "");
    if (::truncate(image.c_str(), 1 << 20) != 0) return;
    const std::string cmd = "losetup -f --show '" + image + "' 2>/dev/null";
    if (FILE* p = ::popen(cmd.c_str(), "re")) {
      char buf[256] = {};
      if (std::fgets(buf, sizeof buf, p) != nullptr) path_ = buf;
      if (::pclose(p) != 0) path_.clear();
    }
    while (!path_.empty() && path_.back() == '\n') path_.pop_back();
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  ~LoopDevice() {
    if (!path_.empty()) (void)!std::system(("losetup -d '" + path_ + "'").c_str());
  }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

// Number of open descriptors of this process.
inline int count_open_fds() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n - 1;  // the directory's own descriptor
}

// A copy of the fake tool under `name` in `dir`, following `actions` (see
// fake_tool.cpp).
struct FakeTool {
  std::string path;

  FakeTool(const TempDir& dir, const std::string& name, const std::string& actions = "") : path(dir / name) {
    std::filesystem::copy_file(LMFS_FAKE_TOOL, path, std::filesystem::copy_options::overwrite_existing);
    if (!actions.empty()) write_file(path + ".act", actions);
  }
  [[nodiscard]] bool ran() const { return std::filesystem::exists(path + ".log"); }
  // The arguments of the last run, argument zero first.
  [[nodiscard]] std::vector<std::string> argv() const {
    std::vector<std::string> out;
    std::stringstream in(read_file(path + ".log"));
    for (std::string a; std::getline(in, a, '\0');) out.push_back(a);
    return out;
  }
  [[nodiscard]] std::string fds() const { return read_file(path + ".fds"); }
};

}  // namespace lmfs::loomfs::testing
