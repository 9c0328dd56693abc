#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "lmfs_base/try.h"
#include "lmfs_base/unique.h"
#include "lmfs_text/packed_texts.h"

extern char** environ;

namespace lmfs::loomfs::detail {
namespace {

constexpr std::array<std::string_view, 32> kSignalList = {
    "",          "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
    "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
    "SIGXCPU",   "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
};
constexpr auto kSignalNames = text::pack<text::packed_size(kSignalList)>(kSignalList);

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

namespace {

// Waits for `pid` to end and reaps it, taking up an interrupted wait again.
// The child has no exit signal (see run_tool), hence __WALL. Returns
// waitpid's answer; errno is kept.
pid_t wait_for(pid_t pid, int& status) {
  pid_t r;
  do {
    r = ::waitpid(pid, &status, __WALL);
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

// `fd` moved above the standard streams (a host may have closed them), still
// close-on-exec; -1 with errno.
int above_standard_streams(base::UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) return fd.release();
  return ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

// What the children need, ready before they exist: they may not allocate.
struct ChildSetup {
  const char* path;        // the judged program
  char* const* argv;
  char* const* envp;
  int null_fd;             // -1: keep standard error
  int report_fd;           // close-on-exec; see Report
};

// What the children tell the host, each in one write on the report pipe:
// the tool's exec failed (value: errno), or the tool ended (value: its wait
// status).
struct Report {
  enum Kind : int { kExecFailed = 1, kEnded = 2 };
  int kind;
  int value;
};

void report(int fd, Report::Kind kind, int value) {
  const Report r{kind, value};
  ::syscall(SYS_write, fd, &r, sizeof r);
}

// The tool, between clone and exec: nothing but system calls, made
// directly, for it is a copy of a process whose other threads may hold any
// lock, and sanitizers and the C library must not step in. Its standard
// error and descriptors are already as it should have them.
[[noreturn]] void exec_tool(const ChildSetup& c) {
  const unsigned long none = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, 8L);
  ::syscall(SYS_execve, c.path, c.argv, c.envp);
  report(c.report_fd, Report::kExecFailed, errno);
  ::syscall(SYS_exit_group, 127L);
  __builtin_unreachable();
}

// The child of the host, under the same rules as the tool: it makes the
// tool's surroundings, starts the tool as its own child, waits for it and
// reports how it ended. The kernel reaps a child on its own when its parent
// ignores SIGCHLD, and an exec makes every child's exit signal SIGCHLD: so
// the host's child never execs and has no exit signal, and the tool is the
// child of a process that ignores nothing. The host learns the tool's status
// whatever it set for SIGCHLD, and receives no SIGCHLD it never asked for.
[[noreturn]] void run_tool(const ChildSetup& c) {
  // Every disposition back to its default (the host may ignore SIGINT, SIGHUP
  // or SIGCHLD, and children inherit that). Signals stay blocked here, so
  // that this process outlives the tool and reports on it; the tool unblocks
  // them.
  struct {
    unsigned long handler, flags, restorer, mask;
  } const default_action{};  // SIG_DFL
  for (long sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::syscall(SYS_rt_sigaction, sig, &default_action, nullptr, 8L);
  }
  long failed = 0;
  if (c.null_fd == STDERR_FILENO) {
    failed = ::syscall(SYS_fcntl, STDERR_FILENO, F_SETFD, 0L);
  } else if (c.null_fd >= 0) {
    failed = ::syscall(SYS_dup2, c.null_fd, STDERR_FILENO);
  }
  if (failed < 0) {
    report(c.report_fd, Report::kExecFailed, errno);
    ::syscall(SYS_exit_group, 127L);
  }
  // Nothing of the host's but the standard streams reaches the tool.
  if (c.report_fd > STDERR_FILENO + 1) ::syscall(SYS_close_range, STDERR_FILENO + 1, c.report_fd - 1, 0L);
  ::syscall(SYS_close_range, c.report_fd + 1, ~0U, 0L);

  const long tool = ::syscall(SYS_clone, static_cast<long>(SIGCHLD), nullptr, nullptr, nullptr, nullptr);
  if (tool == 0) exec_tool(c);
  if (tool < 0) {
    report(c.report_fd, Report::kExecFailed, errno);
    ::syscall(SYS_exit_group, 127L);
  }
  int status = 0;
  while (::syscall(SYS_wait4, tool, &status, static_cast<long>(__WALL), nullptr) < 0 && errno == EINTR) {
  }
  report(c.report_fd, Report::kEnded, status);
  ::syscall(SYS_exit_group, 0L);
  __builtin_unreachable();
}

// Starts run_tool in a copy of this process that has no exit signal (see
// there). Signals stay blocked in this thread while the copy is made, so no
// handler of the host runs in it. Returns the child's pid, or -1 with errno.
pid_t start_child(const ChildSetup& setup) {
  sigset_t all, old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const long pid = ::syscall(SYS_clone, 0L /* flags and exit signal */, nullptr, nullptr, nullptr, nullptr);
  if (pid == 0) run_tool(setup);
  const int err = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return static_cast<pid_t>(pid);
}

// Everything the children reported, read until both have closed the pipe:
// the tool's status, or the errno of a start that failed.
std::expected<WaitStatus, IoError> read_reports(int fd) {
  std::optional<WaitStatus> ended;
  for (;;) {
    Report r{};
    ssize_t n;
    do {
      n = ::read(fd, &r, sizeof r);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::unexpected(IoError::last_os_error());
    if (n != static_cast<ssize_t>(sizeof r)) break;
    if (r.kind == Report::kExecFailed) return std::unexpected(IoError::from_os(r.value));
    if (r.kind == Report::kEnded) ended = WaitStatus{r.value};
  }
  if (!ended) return std::unexpected(IoError::custom(IoErrorKind::Other, "the tool's status was lost"));
  return *ended;
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

std::expected<WaitStatus, StartError> run_command(const ToolCommand& command) {
  const auto has_nul = [](const std::string& s) { return s.find('\0') != std::string::npos; };
  bool nul = has_nul(command.program);
  for (const auto& a : command.args) nul = nul || has_nul(a);
  if (nul)
    return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "nul byte found in provided data"));

  const path_safety::JudgedPath program = LMFS_TRY(path_safety::find_program(command.program));

  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const auto& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // Opened close-on-exec; the child gets it only as its descriptor 2.
  base::UniqueFd null_fd(command.discard_stderr ? open_null() : -1);
  if (command.discard_stderr && !null_fd) return std::unexpected(IoError::last_os_error());

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(IoError::last_os_error());
  base::UniqueFd report_read(ends[0]), report_write_low(ends[1]);
  base::UniqueFd report_write(above_standard_streams(std::move(report_write_low)));
  if (!report_write) return std::unexpected(IoError::last_os_error());

  const pid_t pid = start_child({.path = program.path.c_str(),
                                 .argv = argv.data(),
                                 .envp = environ,
                                 .null_fd = null_fd.get(),
                                 .report_fd = report_write.get()});
  if (pid < 0) return std::unexpected(IoError::last_os_error());
  ChildProcess child(pid);
  report_write.reset();
  auto status = read_reports(report_read.get());
  auto reaped = child.wait();  // whatever the reports said
  const WaitStatus ended = LMFS_TRY(std::move(status));
  LMFS_TRY(std::move(reaped));
  return ended;
}

}  // namespace lmfs::loomfs::detail
