#include "lmfs_testing/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "lmfs_testing/files.h"
#include "lmfs_text/errno_text.h"

extern char** environ;

namespace lmfs::testing {
namespace {

using base::UniqueFd;
using std::chrono::milliseconds;

int exit_status_of(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// The inherited environment with the options' entries put in, in order.
std::vector<std::string> environment(const Options& options) {
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) entries.emplace_back(*e);
  auto find = [&](const std::string& name) {
    return std::find_if(entries.begin(), entries.end(),
                        [&](const std::string& e) { return e.starts_with(name + "="); });
  };
  auto put = [&](const std::string& entry) {
    const auto equals = entry.find('=');
    const std::string name = entry.substr(0, equals);
    std::erase_if(entries, [&](const std::string& e) { return e.starts_with(name + "="); });
    if (equals != std::string::npos) entries.push_back(entry);
  };
  for (const std::string& entry : options.env) put(entry);
  if (!options.preload.empty()) {
    // A sanitizer's runtime insists on being loaded first, and a preloaded
    // library comes before it; harmless for the libraries tests preload.
    const std::string asan = "ASAN_OPTIONS=";
    const auto set = find("ASAN_OPTIONS");
    const std::string before = set == entries.end() ? "" : set->substr(asan.size()) + ":";
    put(asan + before + "verify_asan_link_order=0");
    put("LD_PRELOAD=" + options.preload);
  }
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// posix_spawn's two attribute objects, destroyed on every path.
struct SpawnSetup {
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
};

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Options& options)
    : name_(argv.empty() ? std::string("(nothing)") : argv[0]), options_(options) {
  if (argv.empty()) {
    failed_to_start("no program named");
    return;
  }
  if (!make_output()) return;
  SpawnSetup spawn;
  posix_spawn_file_actions_t* fa = &spawn.actions;
  ::posix_spawn_file_actions_addopen(fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const auto [out_to, err_to] = output_targets();
  if (out_to >= 0) ::posix_spawn_file_actions_adddup2(fa, out_to, STDOUT_FILENO);
  if (err_to >= 0) ::posix_spawn_file_actions_adddup2(fa, err_to, STDERR_FILENO);
  if (!options_.inherit_fds) ::posix_spawn_file_actions_addclosefrom_np(fa, STDERR_FILENO + 1);
  if (!options_.cwd.empty()) ::posix_spawn_file_actions_addchdir_np(fa, options_.cwd.c_str());
  // Whatever this test blocked or caught, the program starts plain.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&spawn.attr, &none);
  ::posix_spawnattr_setsigdefault(&spawn.attr, &all);
  ::posix_spawnattr_setflags(&spawn.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment(options_);
  std::vector<char*> arg_ptrs = pointers(args);
  std::vector<char*> env_ptrs = pointers(env);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0].c_str(), fa, &spawn.attr, arg_ptrs.data(), env_ptrs.data());
  if (rc != 0) {
    failed_to_start(text::libc_error_text(rc));
    return;
  }
  own(pid);
}

Process Process::fork(const std::function<int()>& body, const Options& options) {
  Process p;
  p.name_ = "a forked child";
  p.options_ = options;
  if (!p.make_output()) return p;
  std::fflush(nullptr);  // or the child writes this process's buffers again
  const pid_t pid = ::fork();
  if (pid < 0) {
    p.failed_to_start(text::libc_error_text(errno));
    return p;
  }
  if (pid > 0) {
    p.own(pid);
    return p;
  }
  const UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ::dup2(null.get(), STDIN_FILENO);
  const auto [out_to, err_to] = p.output_targets();
  if (out_to >= 0) ::dup2(out_to, STDOUT_FILENO);
  if (err_to >= 0) ::dup2(err_to, STDERR_FILENO);
  int code = 125;
  try {
    code = body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "forked child: uncaught exception: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "forked child: uncaught exception\n");
  }
  std::fflush(nullptr);
  ::_exit(code);
}

void ChildTraits::release(pid_t pid) noexcept {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void Process::own(pid_t pid) {
  pid_ = pid;
  child_.reset(pid);
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool Process::make_output() {
  switch (options_.output) {
    case Output::capture:
      err_.reset(::memfd_create("lmfs-testing-err", MFD_CLOEXEC));
      [[fallthrough]];
    case Output::merge:
      out_.reset(::memfd_create("lmfs-testing-out", MFD_CLOEXEC));
      break;
    case Output::discard:
      out_.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));  // reads as empty
      break;
    case Output::inherit:
      return true;
  }
  if (!out_ || (options_.output == Output::capture && !err_)) {
    failed_to_start("nowhere for its output: " + text::libc_error_text(errno));
    return false;
  }
  return true;
}

std::pair<int, int> Process::output_targets() const {
  const int out_to = out_ ? out_.get() : -1;
  return {out_to, err_ ? err_.get() : out_to};
}

void Process::failed_to_start(const std::string& why) {
  start_error_ = "cannot start " + name_ + ": " + why;
  ADD_FAILURE() << start_error_;
}

void Process::reap(bool block) {
  if (!child_) return;
  int wait_status = 0;
  pid_t r;
  do {
    r = ::waitpid(child_.get(), &wait_status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return;  // still running
  if (r > 0) status_ = exit_status_of(wait_status);
  static_cast<void>(child_.release());  // gone: nothing left to kill
  pidfd_.reset();
}

bool Process::running() {
  reap(false);
  return child_.valid();
}

bool Process::wait_for(milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running()) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) return false;
    if (pidfd_) {
      pollfd ended{pidfd_.get(), POLLIN, 0};
      ::poll(&ended, 1, static_cast<int>(std::min(left, milliseconds(60'000)).count()));
    } else {
      std::this_thread::sleep_for(std::min(left, 2ms));
    }
  }
  return true;
}

int Process::wait() {
  if (!wait_for(options_.limit)) {
    timed_out_ = true;
    kill();
    ADD_FAILURE() << name_ << " still ran after " << options_.limit.count()
                  << " ms and was killed. Its standard error:\n"
                  << err();
  }
  return status_;
}

void Process::kill() {
  if (!running()) return;
  ::kill(child_.get(), SIGKILL);
  reap(true);
}

std::string Process::out() const { return out_ ? read_all(out_.get()) : std::string(); }

std::string Process::err() const {
  if (!start_error_.empty()) return start_error_;
  return err_ ? read_all(err_.get()) : std::string();
}

std::vector<std::string> Process::lines() const { return split_lines(out()); }

ProcessRun Process::finish() {
  wait();
  return ProcessRun{status_, out(), err(), timed_out_};
}

ProcessRun run(const std::vector<std::string>& argv, const Options& options) {
  return Process(argv, options).finish();
}

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::istringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace lmfs::testing
