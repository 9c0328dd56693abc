// Results of the stand-in tools: a value or an Error that says what was being
// done and which errno stopped it. Nothing in the stand-ins throws.
#pragma once

#include <cerrno>
#include <expected>
#include <string>
#include <utility>

namespace lmfs::standin {

struct Error {
  std::string what;  // what was being done, with the names involved
  int err = 0;       // the errno behind it, 0 when the failure is not a system call's

  // `what`, followed by ": " and the errno's text when there is one.
  [[nodiscard]] std::string message() const;
};

template <class T>
using Result = std::expected<T, Error>;

// A failure without an errno.
[[nodiscard]] inline std::unexpected<Error> fail(std::string what, int err = 0) {
  return std::unexpected(Error{std::move(what), err});
}

// A failure of the system call that just returned; reads errno at once.
[[nodiscard]] inline std::unexpected<Error> sys_fail(std::string what) {
  const int err = errno;
  return std::unexpected(Error{std::move(what), err});
}

// Exit codes shared by the command-line stand-ins.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitFailure = 32;

}  // namespace lmfs::standin
