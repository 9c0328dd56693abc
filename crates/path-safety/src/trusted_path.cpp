// The walk goes from "/" one name at a time, opening each with O_PATH and
// O_NOFOLLOW and judging the status of that descriptor, never a name looked
// up again: a link is read on its own descriptor and its target walked in
// its place, from "/" or from the folder that holds the link.
#include "lmfs_path_safety/trusted_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "lmfs_base/unique.h"
#include "lmfs_path_safety/path_safety.h"
#include "lmfs_text/errno_text.h"
#include "lmfs_text/ownership.h"
#include "lmfs_text/text.h"

namespace lmfs::path_safety {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel follows at most
constexpr std::string_view kDefaultPath = "/bin:/usr/bin";

using Result = std::expected<JudgedPath, PathRefusal>;

std::unexpected<PathRefusal> io(int err) { return std::unexpected(PathRefusal{.kind = PathRefusal::Kind::Io, .err = err}); }

std::unexpected<PathRefusal> untrusted(std::string path, std::string what, std::string reason) {
  return std::unexpected(PathRefusal{.kind = PathRefusal::Kind::Untrusted,
                                     .path = std::move(path),
                                     .what = std::move(what),
                                     .reason = std::move(reason)});
}

// openat, taken up again when a signal interrupts it (a folder on the way
// may be on a file system whose calls wait).
int openat_again(int dir, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dir, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool trusted_owner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

std::string foreign_owner(const struct stat& st) {
  return "is owned by " + text::user_text(st.st_uid) + ", not by root or uid " + std::to_string(::geteuid());
}

std::string writable(const struct stat& st) {
  return "is writable by its group or others (mode " + text::mode_text(st.st_mode) + ", owned by " +
         text::user_text(st.st_uid) + ")";
}

// Empty when the folder may be on the way; else why not.
std::string folder_distrust(const struct stat& st) {
  if (!trusted_owner(st.st_uid)) return foreign_owner(st);
  const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  // Others may add names to a sticky folder of root's, but not take ours away.
  if (others_write && !((st.st_mode & S_ISVTX) != 0 && st.st_uid == 0)) return writable(st);
  return {};
}

// A link cannot be changed, only replaced, which its folder decides; but a
// link of another user's points where that user chose.
std::string link_distrust(const struct stat& st) { return trusted_owner(st.st_uid) ? std::string{} : foreign_owner(st); }

std::string program_distrust(const struct stat& st) {
  if (!trusted_owner(st.st_uid)) return foreign_owner(st);
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return writable(st);
  return {};
}

// The names of `path`, last first (so that the next one is at the back);
// empty names of repeated slashes left out.
void push_names(std::vector<std::string>& pending, std::string_view path) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) names.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  pending.insert(pending.end(), names.rbegin(), names.rend());
}

std::expected<std::string, int> link_target(int fd, const struct stat& st) {
  std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
  const ssize_t n = ::readlinkat(fd, "", target.data(), target.size());
  if (n < 0) return std::unexpected(errno);
  if (static_cast<std::size_t>(n) >= target.size()) return std::unexpected(ENAMETOOLONG);  // grew meanwhile
  target.resize(static_cast<std::size_t>(n));
  if (target.empty()) return std::unexpected(ENOENT);
  return target;
}

// A folder on the way, open for the next name.
struct Folder {
  base::UniqueFd fd;
  std::string path;
};

}  // namespace

std::string PathRefusal::message() const {
  if (kind == Kind::Io) return text::libc_error_text(err);
  return "the " + what + " " + text::printable(path) + " " + reason;
}

Result judge_path(std::string_view path, Target target) {
  if (path.empty()) return io(ENOENT);
  if (path.find('\0') != std::string_view::npos) return io(EINVAL);

  std::vector<std::string> pending;
  push_names(pending, path);
  if (!path.starts_with('/')) {
    // A relative name starts in the working folder, which is judged as well.
    std::vector<char> cwd(PATH_MAX);
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) return io(errno);
    push_names(pending, cwd.data());
  }

  std::vector<Folder> way;
  base::UniqueFd root(openat_again(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root) return io(errno);
  struct stat st{};
  if (::fstat(root.get(), &st) != 0) return io(errno);
  if (auto why = folder_distrust(st); !why.empty()) return untrusted("/", "folder", std::move(why));
  way.push_back({std::move(root), "/"});

  int links = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == ".") continue;
    if (name == "..") {
      if (way.size() > 1) way.pop_back();  // back to a folder already judged
      continue;
    }
    const Folder& here = way.back();
    std::string at = join_path(here.path, name);
    base::UniqueFd fd(openat_again(here.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return io(errno);
    if (::fstat(fd.get(), &st) != 0) return io(errno);

    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return io(ELOOP);
      if (auto why = link_distrust(st); !why.empty()) return untrusted(std::move(at), "symbolic link", std::move(why));
      auto link = link_target(fd.get(), st);
      if (!link) return io(link.error());
      if (link->starts_with('/')) way.resize(1);
      push_names(pending, *link);
      continue;
    }
    if (!pending.empty()) {
      if (!S_ISDIR(st.st_mode)) return io(ENOTDIR);
      if (auto why = folder_distrust(st); !why.empty()) return untrusted(std::move(at), "folder", std::move(why));
      way.push_back({std::move(fd), std::move(at)});
      continue;
    }
    if (target == Target::Program) {
      if (!S_ISREG(st.st_mode)) return io(EACCES);  // as execve answers
      if (auto why = program_distrust(st); !why.empty()) return untrusted(std::move(at), "file", std::move(why));
    }
    return JudgedPath{std::move(at), st};
  }

  // The path ends in a folder ("/", "a/..").
  if (target == Target::Program) return io(EACCES);
  if (::fstat(way.back().fd.get(), &st) != 0) return io(errno);
  return JudgedPath{way.back().path, st};
}

std::expected<JudgedPath, PathRefusal> find_program(std::string_view name) {
  if (name.empty()) return io(ENOENT);
  if (name.find('/') != std::string_view::npos) return judge_path(name, Target::Program);

  const char* env = std::getenv("PATH");
  const std::string_view search = env != nullptr ? std::string_view(env) : kDefaultPath;
  bool not_executable = false;
  std::size_t start = 0;
  while (start <= search.size()) {
    const std::size_t end = std::min(search.find(':', start), search.size());
    const std::string_view entry = search.substr(start, end - start);
    start = end + 1;
    const std::string candidate = join_path(entry.empty() ? "." : std::string(entry), name);
    // Which file exec*p would take; what decides is the judgement after.
    struct stat st{};
    if (::stat(candidate.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) || ::faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) != 0) {
      not_executable = true;
      continue;
    }
    return judge_path(candidate, Target::Program);
  }
  return io(not_executable ? EACCES : ENOENT);
}

}  // namespace lmfs::path_safety
