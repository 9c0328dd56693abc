#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

// Present when LeakSanitizer is linked in: lets a forked child, which leaves
// with _exit(), check its own heap.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace loomfs_test {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void PutLe(std::string& buf, size_t off, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) buf[off + i] = static_cast<char>(v >> (8 * i));
}

// Runs a shell command line; returns its output, or nothing when it failed.
std::optional<std::string> Capture(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "re");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[256];
  while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
  if (pclose(p) != 0) return std::nullopt;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

TempDir::TempDir() {
  char tmpl[] = "/tmp/loomfs-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) Fail("mkdtemp");
  path_ = std::filesystem::canonical(tmpl);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }

void MakeFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

void MakeLink(const std::string& target, const std::string& link) {
  if (symlink(target.c_str(), link.c_str()) != 0) Fail("symlink " + link);
}

CwdGuard::CwdGuard(const std::string& dir) : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (saved_ < 0 || chdir(dir.c_str()) != 0) Fail("chdir " + dir);
}

CwdGuard::~CwdGuard() {
  if (fchdir(saved_) != 0) std::abort();
  close(saved_);
}

std::string EncodeSb(const Sb& sb) {
  std::string buf(LOOMFS_SB_SIZE, '\0');
  PutLe(buf, 6, sb.magic, 2);
  PutLe(buf, 8, sb.limited, 2);
  PutLe(buf, 20, sb.shift, 4);
  PutLe(buf, 24, sb.a, 8);
  PutLe(buf, 48, sb.b, 4);
  PutLe(buf, 100, sb.tag, 1);
  PutLe(buf, 272, sb.features, 8);
  return buf;
}

uint64_t SecondaryOffset(uint64_t size) { return (size - 4096) & ~uint64_t{4095}; }

void WriteImage(const std::string& path, uint64_t size, const std::optional<Sb>& primary,
                const std::optional<Sb>& secondary) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("open " + path);
  auto put = [&](uint64_t off, const Sb& sb) {
    std::string bytes = EncodeSb(sb);
    size_t n = off < size ? std::min<uint64_t>(bytes.size(), size - off) : 0;
    if (pwrite(fd, bytes.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) Fail("pwrite");
  };
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) Fail("ftruncate");
  if (secondary && size >= 4096) put(SecondaryOffset(size), *secondary);
  if (primary) put(1024, *primary);
  close(fd);
}

LoopDevice::LoopDevice(const std::string& image) {
  auto dev = Capture("losetup -f --show '" + image + "'");
  if (!dev || dev->empty()) throw std::runtime_error("losetup failed for " + image);
  path_ = *dev;
}

LoopDevice::~LoopDevice() {
  if (!Capture("losetup -d '" + path_ + "'")) ADD_FAILURE() << "could not detach " << path_;
}

unsigned long long LoopDevice::sysfs_devno() const {
  std::string name = path_.substr(path_.rfind('/') + 1);
  std::ifstream in("/sys/class/block/" + name + "/dev");
  unsigned major_no = 0, minor_no = 0;
  char colon = 0;
  in >> major_no >> colon >> minor_no;
  return makedev(major_no, minor_no);
}

std::set<std::string> OpenFds() {
  std::set<std::string> fds;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) Fail("opendir /proc/self/fd");
  std::string own = std::to_string(dirfd(d));
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != own) fds.insert(name);
  }
  closedir(d);
  return fds;
}

std::set<std::string> Semaphores() {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator("/dev/shm")) {
    std::string name = e.path().filename();
    if (name.starts_with("sem.")) names.insert(name.substr(4));
  }
  return names;
}

namespace {

// Inside the child: a private copy of the mount tree with our own
// /proc/mounts and /dev/shm.  Returns an error text, or empty.
std::string EnterPrivateNamespace(const std::string& scratch, const std::string& mounts) {
  std::string real_proc = scratch + "/proc";
  if (unshare(CLONE_NEWNS) != 0) return "unshare";
  if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) return "make / private";
  if (mount("/proc", real_proc.c_str(), "none", MS_BIND | MS_REC, nullptr) != 0) return "bind /proc";
  if (mount("loomfs-test", "/proc", "tmpfs", 0, "mode=0755") != 0) return "tmpfs on /proc";
  DIR* d = opendir(real_proc.c_str());
  if (d == nullptr) return "opendir real proc";
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || name == "mounts") continue;
    if (symlink((real_proc + "/" + name).c_str(), ("/proc/" + name).c_str()) != 0) {
      closedir(d);
      return "symlink /proc/" + name;
    }
  }
  closedir(d);
  MakeFile("/proc/mounts", mounts);
  if (mount("loomfs-test", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) return "tmpfs on /dev/shm";
  return {};
}

}  // namespace

testing::AssertionResult RunIsolated(const std::string& mounts, const std::function<void()>& body) {
  char tmpl[] = "/tmp/loomfs-ns-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return testing::AssertionFailure() << "mkdtemp: " << std::strerror(errno);
  std::string scratch = tmpl;
  mkdir((scratch + "/proc").c_str(), 0755);

  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    int code = 0;
    std::string err = EnterPrivateNamespace(scratch, mounts);
    if (!err.empty()) {
      std::fprintf(stderr, "namespace setup failed: %s: %s\n", err.c_str(), std::strerror(errno));
      code = 2;
    } else {
      try {
        body();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "exception: %s\n", e.what());
        code = 3;
      }
      if (code == 0 && testing::Test::HasFailure()) code = 1;
      if (code == 0 && __lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0)
        code = 4;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }
  int status = 0;
  bool waited = pid > 0 && waitpid(pid, &status, 0) == pid;
  rmdir((scratch + "/proc").c_str());
  rmdir(scratch.c_str());
  if (!waited) return testing::AssertionFailure() << "fork/wait failed";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return testing::AssertionFailure() << "isolated child failed, status " << status;
  return testing::AssertionSuccess();
}

}  // namespace loomfs_test
