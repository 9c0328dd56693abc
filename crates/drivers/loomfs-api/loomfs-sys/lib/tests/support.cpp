#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "lmfs_testing/process.h"

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

}  // namespace

void MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }

void MakeLink(const std::string& target, const std::string& link) {
  if (symlink(target.c_str(), link.c_str()) != 0) Fail("symlink " + link);
}

CwdGuard::CwdGuard(const std::string& dir) : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!saved_ || chdir(dir.c_str()) != 0) Fail("chdir " + dir);
}

CwdGuard::~CwdGuard() {
  if (fchdir(saved_.get()) != 0) std::abort();
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
  const std::string made = lmfs::testing::make_image(path, size);
  if (!made.empty()) throw std::runtime_error(made);
  const lmfs::base::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) Fail("open " + path);
  auto put = [&](uint64_t off, const Sb& sb) {
    std::string bytes = EncodeSb(sb);
    size_t n = off < size ? std::min<uint64_t>(bytes.size(), size - off) : 0;
    if (pwrite(fd.get(), bytes.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) Fail("pwrite");
  };
  if (secondary && size >= 4096) put(SecondaryOffset(size), *secondary);
  if (primary) put(1024, *primary);
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
  if (!write_file("/proc/mounts", mounts)) return "write /proc/mounts";
  if (mount("loomfs-test", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) return "tmpfs on /dev/shm";
  return {};
}

}  // namespace

testing::AssertionResult RunIsolated(const std::string& mounts, const std::function<void()>& body) {
  char tmpl[] = "/tmp/loomfs-ns-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return testing::AssertionFailure() << "mkdtemp: " << std::strerror(errno);
  std::string scratch = tmpl;
  mkdir((scratch + "/proc").c_str(), 0755);

  lmfs::testing::Process child = lmfs::testing::Process::fork(
      [&] {
        const std::string err = EnterPrivateNamespace(scratch, mounts);
        if (!err.empty()) {
          std::fprintf(stderr, "namespace setup failed: %s: %s\n", err.c_str(), std::strerror(errno));
          return 2;
        }
        try {
          body();
        } catch (const std::exception& e) {
          std::fprintf(stderr, "exception: %s\n", e.what());
          return 3;
        }
        if (testing::Test::HasFailure()) return 1;
        if (__lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0) return 4;
        return 0;
      },
      {.output = lmfs::testing::Output::inherit});
  const int status = child.wait();
  rmdir((scratch + "/proc").c_str());
  rmdir(scratch.c_str());
  if (!child.started()) return testing::AssertionFailure() << "fork failed";
  if (status != 0) return testing::AssertionFailure() << "isolated child failed, status " << status;
  return testing::AssertionSuccess();
}

}  // namespace loomfs_test
