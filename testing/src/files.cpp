// Also built into the fake tool, which is built without sanitizers: this file
// uses nothing but the standard library and the system.
#include "lmfs_testing/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "lmfs_base/unique.h"
#include "lmfs_text/number.h"

namespace lmfs::testing {

using base::UniqueFd;

std::string read_all(int fd) {
  std::string text;
  char buf[65536];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return text;
}

std::string read_file(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd ? read_all(fd.get()) : std::string();
}

bool write_file(const std::string& path, const std::string& text) {
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

std::set<int> open_fds(pid_t pid) {
  const std::string dir = pid == 0 ? "/proc/self/fd" : "/proc/" + std::to_string(pid) + "/fd";
  std::set<int> fds;
  const base::UniqueDir d(::opendir(dir.c_str()));
  if (!d) return fds;
  const int own = pid == 0 ? ::dirfd(d.get()) : -1;
  while (const dirent* e = ::readdir(d.get())) {
    const auto fd = text::whole_number<int>(e->d_name);
    if (fd && *fd != own) fds.insert(*fd);
  }
  return fds;
}

TempDir::TempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lmfs-test-XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "cannot make a directory like " + name);
  }
  std::error_code ec;
  path_ = std::filesystem::canonical(name, ec).string();
  if (ec) path_ = name;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace lmfs::testing
