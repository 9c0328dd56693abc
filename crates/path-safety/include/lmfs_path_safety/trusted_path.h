// Judging a path before a root process runs the program it names or formats
// the device it names. Another local user must not be able to put their own
// file there, now or later: so every folder on the way, and every symbolic
// link with the folders its target passes through, must belong to root or
// the effective user and be writable by nobody else (a folder of root's that
// is sticky, such as /tmp, may let others add names: they cannot take ours
// away). A path judged so can be used again by name: nobody else can change
// where it leads.
//
//   auto tool = path_safety::find_program("mkfs.loomfs");  // through PATH
//   if (!tool) return refuse(tool.error().message());
//   exec(tool->path, ...);   // absolute, links resolved: exactly what was judged
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace lmfs::path_safety {

// Why a path was not accepted: it could not be followed (an errno value), or
// something on the way is not to be trusted.
struct PathRefusal {
  enum class Kind : std::uint8_t { Io, Untrusted };
  Kind kind = Kind::Io;
  int err = 0;         // Io: the errno value
  std::string path;    // Untrusted: what was refused, absolute (as walked)
  std::string what;    // Untrusted: "folder", "symbolic link" or "file"
  std::string reason;  // Untrusted: "is writable by its group or others (mode 0777, owner uid 1000)"

  // "the folder /tmp/x is writable by ..." (control characters of the path
  // escaped), or the C library's text for `err`.
  [[nodiscard]] std::string message() const;
};

// A path that passed: absolute, every link replaced by its target, and the
// status of what it names.
struct JudgedPath {
  std::string path;
  struct stat st {};
};

// What the path must name at its end.
enum class Target : std::uint8_t {
  // A regular file of root's or the effective user's, writable by nobody
  // else: the program itself may not sit on a sticky folder's leniency.
  Program,
  // Anything (the caller judges its kind, a block device as a rule): only
  // the way to it is judged, for its identity is the device number.
  Device,
};

// Judges `path` (relative: against the working folder, which is judged too).
// Io errors: ENOENT, ENOTDIR, ELOOP (more than 40 links), EACCES, EINVAL for
// an empty path or one holding a NUL byte, and those of the calls made.
[[nodiscard]] std::expected<JudgedPath, PathRefusal> judge_path(std::string_view path, Target target);

// The program a name stands for, as the C library's exec*p functions find
// it: a name holding "/" is a path; any other is looked for in the folders
// of PATH ("/bin:/usr/bin" when unset; an empty entry is the working folder),
// the first regular file there that may be executed winning. That one is
// then judged as a Program, with the folder PATH led to. ENOENT (EACCES when
// only files that may not be executed were found) when none is.
[[nodiscard]] std::expected<JudgedPath, PathRefusal> find_program(std::string_view name);

}  // namespace lmfs::path_safety
