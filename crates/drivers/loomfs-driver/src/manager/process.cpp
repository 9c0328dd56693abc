#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "lmfs_base/unique.h"

extern char** environ;

namespace lmfs::loomfs::detail {
namespace {

class SpawnFileActions {
 public:
  SpawnFileActions() noexcept : rc_(::posix_spawn_file_actions_init(&actions_)) {}
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  ~SpawnFileActions() {
    if (rc_ == 0) ::posix_spawn_file_actions_destroy(&actions_);
  }
  [[nodiscard]] int init_result() const noexcept { return rc_; }
  posix_spawn_file_actions_t* get() noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  int rc_;
};

class SpawnAttr {
 public:
  SpawnAttr() noexcept : rc_(::posix_spawnattr_init(&attr_)) {}
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  ~SpawnAttr() {
    if (rc_ == 0) ::posix_spawnattr_destroy(&attr_);
  }
  [[nodiscard]] int init_result() const noexcept { return rc_; }
  posix_spawnattr_t* get() noexcept { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
  int rc_;
};

constexpr std::array<std::string_view, 32> kSignalNames = {
    "",          "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
    "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
    "SIGXCPU",   "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
};

}  // namespace

std::string_view signal_name(int signal) noexcept {
  if (signal < 1 || signal >= static_cast<int>(kSignalNames.size())) return {};
  return kSignalNames[static_cast<std::size_t>(signal)];
}

std::string WaitStatus::text() const {
  if (WIFEXITED(raw)) return "exit status: " + std::to_string(WEXITSTATUS(raw));
  if (WIFSIGNALED(raw)) {
    const int sig = WTERMSIG(raw);
    std::string out = "signal: " + std::to_string(sig);
    if (const auto name = signal_name(sig); !name.empty()) out.append(" (").append(name).append(")");
    if (WCOREDUMP(raw)) out.append(" (core dumped)");
    return out;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%#x", static_cast<unsigned>(raw));
  return "unrecognised wait status: " + std::to_string(raw) + " " + hex;
}

std::string tool_path(std::string_view bin_dir, std::string_view tool) {
  std::string path(bin_dir);
  if (!path.empty() && !path.ends_with('/')) path.push_back('/');
  path.append(tool);
  return path;
}

namespace {

// Waits for `pid` to end and reaps it, taking up an interrupted wait again.
// Returns waitpid's answer; errno is kept.
pid_t wait_for(pid_t pid, int& status) {
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

// /dev/null for writing, close-on-exec; an open interrupted by a signal is
// taken up again. -1 with errno on failure.
int open_null() {
  int fd;
  do {
    fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

void ChildTraits::release(pid_t pid) noexcept {
  int status = 0;
  // A child left by a failed wait is waited for once more: it is never left
  // behind as a zombie. Only ECHILD (nothing left to reap) ends the attempt.
  static_cast<void>(wait_for(pid, status));
}

std::expected<WaitStatus, IoError> ChildProcess::wait() {
  if (!pid_) return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "child already reaped"));
  int status = 0;
  if (wait_for(pid_.get(), status) < 0) {
    const int err = errno;
    // Beyond reach (ECHILD): there is nothing to reap. Any other failure
    // leaves the child to the owner, which reaps it when it goes.
    if (err == ECHILD) static_cast<void>(pid_.release());
    return std::unexpected(IoError::from_os(err));
  }
  static_cast<void>(pid_.release());  // reaped
  return WaitStatus{status};
}

std::expected<WaitStatus, IoError> run_command(const ToolCommand& command) {
  const auto has_nul = [](const std::string& s) { return s.find('\0') != std::string::npos; };
  bool nul = has_nul(command.program);
  for (const auto& a : command.args) nul = nul || has_nul(a);
  if (nul)
    return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "nul byte found in provided data"));

  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const auto& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // Opened close-on-exec; the child gets it only as its descriptor 2.
  base::UniqueFd null_fd(command.discard_stderr ? open_null() : -1);
  if (command.discard_stderr && null_fd.get() < 0) return std::unexpected(IoError::last_os_error());

  SpawnFileActions actions;
  SpawnAttr attr;
  sigset_t empty_mask, default_signals;
  sigemptyset(&empty_mask);
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  // The child starts with no blocked signals and the default action for
  // SIGPIPE, whatever the host has set; descriptors above 2 are closed in
  // it, so nothing of the host's leaks into the tool.
  int rc = actions.init_result();
  if (rc == 0) rc = attr.init_result();
  // Order matters: the file actions run in the order they were added.
  if (rc == 0 && null_fd.get() >= 0) {
    rc = ::posix_spawn_file_actions_adddup2(actions.get(), null_fd.get(), STDERR_FILENO);
  }
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(attr.get(), &empty_mask);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(attr.get(), &default_signals);
  if (rc == 0) rc = ::posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc != 0) return std::unexpected(IoError::from_os(rc));

  // posix_spawnp takes a name holding "/" as a path and looks any other name
  // up in the directories of PATH.
  pid_t pid = -1;
  rc = ::posix_spawnp(&pid, command.program.c_str(), actions.get(), attr.get(), argv.data(), environ);
  if (rc != 0) return std::unexpected(IoError::from_os(rc));

  ChildProcess child(pid);
  return child.wait();
}

}  // namespace lmfs::loomfs::detail
