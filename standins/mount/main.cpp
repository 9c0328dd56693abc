// mount.loomfs -o order=relaxed,nogc,barrier,discard DEVICE DIR
//
// Checks DEVICE and DIR, starts loomfsd (from the directory this program lives
// in) as a daemon in a session of its own, and returns once the daemon says
// the mount is live; or fails with the reason.
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device.h"
#include "layout.h"
#include "mount_table.h"
#include "lmfs_base/try.h"

extern char** environ;

namespace lmfs::standin {
namespace {

constexpr const char* kUsage =
    "usage: mount.loomfs -o order=relaxed,nogc,barrier,discard DEVICE DIR\n";
constexpr int kReadyFd = 3;
constexpr int kStartLimitMs = 30'000;

// The program's own directory, through the kernel's link to the executable.
Result<std::string> own_directory() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) {
    return sys_fail("cannot find the mount helper's own directory");
  }
  std::string path(buf, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// Owner of the started daemon until it reports: killed and reaped if it
// neither reports nor dies on its own.
class Starting {
 public:
  explicit Starting(pid_t pid) : pid_(pid) {}
  Starting(const Starting&) = delete;
  Starting& operator=(const Starting&) = delete;
  ~Starting() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The daemon is on its own from now on.
  void let_go() { pid_ = -1; }
  // Reaps the failed daemon and tells how it ended.
  std::string reap() {
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (r < 0) return "lost";
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
  }

 private:
  pid_t pid_;
};

Result<void> start_daemon(const std::string& device, const std::string& dir) {
  auto home = LMFS_TRY(own_directory());
  const std::string daemon = home + "/loomfsd";
  auto ready = LMFS_TRY(make_pipe());
  UniqueFd& ready_in = ready.read;
  UniqueFd& ready_out = ready.write;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attr);
  // dup2 onto fd 3 also clears close-on-exec when the pipe already is fd 3.
  ::posix_spawn_file_actions_adddup2(&actions, ready_out.get(), kReadyFd);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  const std::string ready_arg = "--ready-fd=" + std::to_string(kReadyFd);
  std::vector<char*> argv{const_cast<char*>("loomfsd"), const_cast<char*>(ready_arg.c_str()),
                          const_cast<char*>(device.c_str()), const_cast<char*>(dir.c_str()),
                          nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, daemon.c_str(), &actions, &attr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    return fail("cannot start " + daemon, rc);
  }
  Starting child(pid);
  ready_out.reset();

  std::string said;
  pollfd p{ready_in.get(), POLLIN, 0};
  for (;;) {
    const int n = ::poll(&p, 1, kStartLimitMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      return fail("loomfsd did not come up in time", ETIMEDOUT);
    }
    char buf[64];
    const ssize_t got = ::read(ready_in.get(), buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    said.append(buf, static_cast<std::size_t>(got));
  }
  if (said != "ready\n") {
    return fail("loomfsd failed to mount " + device + " (" + child.reap() + ")");
  }
  child.let_go();
  return {};
}

Result<void> mount(const std::string& device_name, const std::string& dir_name) {
  auto info = LMFS_TRY(inspect_device(device_name));
  auto dir = LMFS_TRY(canonical_path(dir_name));
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return fail(dir_name + " is not a directory", ENOTDIR);
  }
  {
    auto fd = LMFS_TRY(open_fd(info.path, O_RDONLY));
    auto size = LMFS_TRY(device_size(fd.get()));
    if (auto sb = read_superblock(fd.get(), size); !sb) {
      return fail(info.path + ": " + sb.error().what);
    }
  }
  auto busy = LMFS_TRY(device_in_use(info.path));
  if (busy) {
    return fail(info.path + " is already mounted");
  }
  auto table = LMFS_TRY(read_kernel_mounts());
  for (const MountLine& m : table) {
    if (m.type == kFuseType && unescape_field(m.dir) == dir) {
      return fail(dir + " is already a loomfs mount point");
    }
  }
  return start_daemon(info.path, dir);
}

}  // namespace
}  // namespace lmfs::standin

int main(int argc, char** argv) {
  using namespace lmfs::standin;
  if (argc != 5 || std::string_view(argv[1]) != "-o" ||
      std::string_view(argv[2]) != kMountOptions || argv[3][0] == '\0' || argv[4][0] == '\0') {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (auto r = mount(argv[3], argv[4]); !r) {
    std::fprintf(stderr, "mount.loomfs: %s\n", r.error().message().c_str());
    return kExitFailure;
  }
  return kExitOk;
}
