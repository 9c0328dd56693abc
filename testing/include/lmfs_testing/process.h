// Child processes of a test: a program (or a forked copy of the test) started
// with standard input on /dev/null, its output collected in memory, waited for
// with a time limit and always reaped. A child that outlives its limit is
// killed and fails the running test, so a hang never stalls the suite.
//
//   ProcessRun r = run({"losetup", "-f", "--show", image});
//   EXPECT_EQ(r.exit_status, 0) << r.err;
//
//   Process host({host_path(), ...});       // runs in the background
//   while (host.running() && host.err().empty()) ...
//   host.kill();                              // reaped; output stays readable
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "lmfs_base/unique.h"

namespace lmfs::testing {

using namespace std::chrono_literals;

// What becomes of a child's standard output and error.
enum class Output {
  capture,  // each collected on its own (out(), err())
  merge,    // both collected together, in the order written, as out()
  inherit,  // the test's own streams
  discard,  // /dev/null
};

struct Options {
  // "NAME=value" entries, each replacing NAME in the inherited environment;
  // "NAME" alone removes it.
  std::vector<std::string> env;
  // A shared object preloaded into the program (and its children), set up so
  // that a sanitized program accepts it.
  std::string preload;
  Output output = Output::capture;
  // Descriptors above 2 that are not close-on-exec reach the child too; by
  // default the child gets the three standard streams alone.
  bool inherit_fds = false;
  // The child's working folder; empty: the test's own.
  std::string cwd;
  // How long run() and Process::wait() wait before they kill the child.
  std::chrono::milliseconds limit = 60s;
};

// A finished child.
struct ProcessRun {
  int exit_status = -1;  // exit code, 128 + signal when it died of one, -1 when it never ran
  std::string out;
  std::string err;
  bool timed_out = false;  // killed at the time limit (the test has failed)
};

// A child process while it may run: released by killing it (SIGKILL) and
// reaping it.
struct ChildTraits {
  using Handle = pid_t;
  static constexpr pid_t invalid() noexcept { return -1; }
  static void release(pid_t pid) noexcept;
};

// One child process, owned: destroying it kills the child if it still runs
// and reaps it. Its output stays readable after it ended.
class Process {
 public:
  // Starts argv[0], looked up through PATH when it holds no "/". A start that
  // fails fails the test; started() is then false and err() says why.
  explicit Process(const std::vector<std::string>& argv, const Options& options = {});
  // Runs `body` in a forked copy of this process, which exits with what
  // `body` returns (125 when it throws). Only `output` and `limit` apply.
  static Process fork(const std::function<int()>& body, const Options& options = {});

  Process(Process&&) noexcept = default;
  Process& operator=(Process&&) noexcept = default;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] pid_t pid() const { return pid_; }

  // Whether it still runs; reaps it once it has ended.
  [[nodiscard]] bool running();
  // Waits up to `limit` for the end; false when it still runs. Never fails
  // the test: a child that is meant to block is waited for this way.
  [[nodiscard]] bool wait_for(std::chrono::milliseconds limit);
  // Waits for the end within the options' limit, else kills it and fails the
  // test. Returns exit_status().
  int wait();
  // SIGKILL, then reaps it.
  void kill();

  // Exit code, 128 + signal; -1 while it runs or when it never started.
  [[nodiscard]] int exit_status() const { return status_; }
  [[nodiscard]] bool timed_out() const { return timed_out_; }
  // What it has written so far.
  [[nodiscard]] std::string out() const;
  [[nodiscard]] std::string err() const;
  [[nodiscard]] std::vector<std::string> lines() const;  // out(), one entry a line

  // wait(), then everything it left.
  ProcessRun finish();

 private:
  Process() = default;
  [[nodiscard]] bool make_output();
  // The descriptors that become the child's standard output and error, -1
  // where it keeps the test's own.
  [[nodiscard]] std::pair<int, int> output_targets() const;
  void own(pid_t pid);
  void failed_to_start(const std::string& why);
  void reap(bool block);

  pid_t pid_ = -1;  // kept once it has been reaped, for messages
  base::Unique<ChildTraits> child_;
  base::UniqueFd pidfd_;
  base::UniqueFd out_;
  base::UniqueFd err_;
  int status_ = -1;
  bool timed_out_ = false;
  std::string start_error_;
  std::string name_;
  Options options_;
};

// Starts argv and waits for its end (see Process and Options).
ProcessRun run(const std::vector<std::string>& argv, const Options& options = {});

// Whether `program` is found in the directories of PATH.
[[nodiscard]] bool on_path(const std::string& program);

}  // namespace lmfs::testing
