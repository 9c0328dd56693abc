// Running one of the file system's tools as a child process and judging how it
// ended. The program is found (through PATH for a bare name) and judged as a
// root process must before it runs anything (lmfs_path_safety/trusted_path.h),
// and exactly the file judged is run. The child is started directly (no
// shell) with the host's environment, working directory, standard input and
// output; it receives no descriptor but 0, 1 and 2, every signal at its
// default action and none blocked. The tool runs as the child of a child of
// the host that waits for it and reports its status, so that the status is
// learnt even in a host that ignores SIGCHLD; both are waited for before
// control returns.
#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "lmfs_base/unique.h"
#include "lmfs_path_safety/trusted_path.h"
#include "loomfs_api/io_error.h"

namespace lmfs::loomfs::detail {

struct ToolCommand {
  std::string program;            // a path if it holds "/", else looked up through PATH
  std::vector<std::string> args;  // raw bytes; argument zero is `program`
  bool discard_stderr = false;    // true: the child's standard error is /dev/null
};

// A finished child's raw wait status.
struct WaitStatus {
  int raw = 0;

  [[nodiscard]] bool success() const noexcept { return raw == 0; }
  // "exit status: 1", "signal: 9 (SIGKILL)", "signal: 11 (SIGSEGV) (core dumped)",
  // "unrecognised wait status: 4991 0x137f".
  [[nodiscard]] std::string text() const;
};

// "SIGKILL" for 9; empty outside the standard signals 1 to 31.
[[nodiscard]] std::string_view signal_name(int signal) noexcept;

// Why a command did not run: the child could not be started (an I/O error),
// or the program was refused (what was refused, on the way to it, and why).
class [[nodiscard]] StartError {
 public:
  StartError(IoError e) : error_(std::move(e)) {}  // NOLINT: implicit on purpose
  // A program the judge could not follow is an I/O error; one it refused
  // stays a refusal.
  StartError(path_safety::PathRefusal r)  // NOLINT: implicit on purpose
      : error_(r.kind == path_safety::PathRefusal::Kind::Io ? Error(IoError::from_os(r.err)) : Error(std::move(r))) {}

  // The I/O error, or null for a refusal.
  [[nodiscard]] const IoError* io() const noexcept { return std::get_if<IoError>(&error_); }
  // The refusal, or null for an I/O error.
  [[nodiscard]] const path_safety::PathRefusal* refusal() const noexcept {
    return std::get_if<path_safety::PathRefusal>(&error_);
  }
  // The I/O error's text, or the refusal's "the folder F is ...".
  [[nodiscard]] std::string message() const { return io() != nullptr ? io()->message() : refusal()->message(); }

 private:
  using Error = std::variant<IoError, path_safety::PathRefusal>;
  Error error_;
};

// A started child as a handle: releasing it means waiting for it to end and
// reaping it (whatever its exit signal).
struct ChildTraits {
  using Handle = pid_t;
  static constexpr pid_t invalid() noexcept { return -1; }
  static void release(pid_t pid) noexcept;
};

// Owner of a started child: the child is always reaped, by wait() or else
// when its owner goes.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}

  // Blocks until the child ends (retrying on EINTR) and reaps it. When the
  // wait fails the child stays owned and is reaped on destruction.
  [[nodiscard]] std::expected<WaitStatus, IoError> wait();

 private:
  base::Unique<ChildTraits> pid_;
};

// Finds and judges the program, starts the command and waits for it. Fails
// with the program's refusal, or with the I/O error that kept the child from
// starting (a missing or non-executable program, a NUL byte in the program or
// an argument, no resources) or from being waited for.
[[nodiscard]] std::expected<WaitStatus, StartError> run_command(const ToolCommand& command);

}  // namespace lmfs::loomfs::detail
