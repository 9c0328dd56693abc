#include "mount_table.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "lmfs_base/try.h"

namespace lmfs::standin {

namespace {

constexpr const char* kKernelTable = "/proc/self/mounts";
constexpr const char* kShownTable = "/proc/mounts";
constexpr std::string_view kBlank = " \t\n\v\f\r";
// Mounts beneath the top mount of the target (Linux 6.5), for atomic swaps.
constexpr unsigned kMoveMountBeneath = 0x00000200;

Result<std::string> slurp(const std::string& path) {
  auto fd = LMFS_TRY(open_fd(path, O_RDONLY));
  std::string text;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return sys_fail("cannot read " + path);
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

// The generic per-mount flags a kernel file system would show too.
bool generic_option(std::string_view opt) {
  for (std::string_view keep : {"rw", "ro", "nosuid", "nodev", "noexec", "sync", "dirsync",
                                "mand", "noatime", "nodiratime", "relatime", "strictatime",
                                "lazytime"}) {
    if (opt == keep) return true;
  }
  return false;
}

std::string shown_options(std::string_view fuse_options) {
  std::string out;
  while (!fuse_options.empty()) {
    const std::size_t comma = fuse_options.find(',');
    const std::string_view opt = fuse_options.substr(0, comma);
    if (generic_option(opt)) {
      out.append(out.empty() ? "" : ",").append(opt);
    }
    fuse_options = comma == std::string_view::npos ? "" : fuse_options.substr(comma + 1);
  }
  return out.append(out.empty() ? "" : ",").append(kMountOptions);
}

}  // namespace

std::vector<MountLine> parse_mount_table(std::string_view text) {
  std::vector<MountLine> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? "" : text.substr(nl + 1);
    std::vector<std::string_view> fields;
    while (fields.size() < 4) {
      const std::size_t start = line.find_first_not_of(kBlank);
      if (start == std::string_view::npos) break;
      line.remove_prefix(start);
      const std::size_t end = std::min(line.find_first_of(kBlank), line.size());
      fields.push_back(line.substr(0, end));
      line.remove_prefix(end);
    }
    if (fields.size() < 4) continue;
    const std::size_t rest = line.find_first_not_of(kBlank);
    lines.push_back(MountLine{std::string(fields[0]), std::string(fields[1]),
                              std::string(fields[2]), std::string(fields[3]),
                              rest == std::string_view::npos ? "0 0"
                                                             : std::string(line.substr(rest))});
  }
  return lines;
}

std::string unescape_field(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const auto octal = [](char c) { return c >= '0' && c <= '7'; };
      if (octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
        out.push_back(static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                        (field[i + 3] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

Result<std::vector<MountLine>> read_kernel_mounts() {
  auto text = LMFS_TRY(slurp(kKernelTable));
  return parse_mount_table(text);
}

std::vector<MountLine> mounts_of_device(const std::vector<MountLine>& table,
                                        const std::string& device) {
  std::vector<MountLine> found;
  for (const MountLine& m : table) {
    if (m.type == kFuseType && unescape_field(m.source) == device) {
      found.push_back(m);
    }
  }
  return found;
}

std::string render_shown_table(const std::vector<MountLine>& table) {
  std::string out;
  for (const MountLine& m : table) {
    const bool ours = m.type == kFuseType;
    out.append(m.source).append(" ").append(m.dir).append(" ");
    out.append(ours ? std::string(kShownType) : m.type).append(" ");
    out.append(ours ? shown_options(m.options) : m.options).append(" ");
    out.append(m.rest).append("\n");
  }
  return out;
}

namespace {

constexpr const char* kShownDir = "/dev/shm/loomfs-standins";

// Holds the lock under which one writer at a time replaces the shown table, so
// that a slow writer cannot put back a table older than a faster one's.
Result<UniqueFd> lock_shown_table() {
  if (::mkdir(kShownDir, 0700) != 0 && errno != EEXIST) {
    return sys_fail(std::string("cannot create ") + kShownDir);
  }
  auto lock = LMFS_TRY(open_fd(std::string(kShownDir) + "/mounts.lock", O_RDWR | O_CREAT, 0600));
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return sys_fail("cannot lock the shown mount table");
  }
  return lock;
}

// Writes the shown table to a new file and mounts it on /proc/mounts: over the
// kernel's link the first time, later beneath the current one, which is then
// detached, so a reader opens either the old table or the new one.
Result<void> put_shown_table(bool first) {
  auto lock = LMFS_TRY(lock_shown_table());
  auto table = LMFS_TRY(read_kernel_mounts());
  std::string path = std::string(kShownDir) + "/mounts.XXXXXX";
  UniqueFd file(::mkostemp(path.data(), O_CLOEXEC));
  if (!file) return sys_fail("cannot create " + path);
  Result<void> done;
  if (auto w = write_all(file.get(), render_shown_table(table)); !w) {
    done = w;
  } else if (::fchmod(file.get(), 0444) != 0) {
    done = sys_fail("cannot set the mode of " + path);
  } else {
    UniqueFd tree(::open_tree(file.get(), "", AT_EMPTY_PATH | OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
    const unsigned where = MOVE_MOUNT_F_EMPTY_PATH | (first ? 0u : kMoveMountBeneath);
    if (!tree) {
      done = sys_fail("cannot clone " + path);
    } else if (::move_mount(tree.get(), "", AT_FDCWD, kShownTable, where) != 0) {
      done = sys_fail(std::string("cannot mount the shown table on ") + kShownTable);
    } else if (!first && ::umount2(kShownTable, MNT_DETACH) != 0) {
      done = sys_fail(std::string("cannot detach the old ") + kShownTable);
    }
  }
  ::unlink(path.c_str());
  return done;
}

}  // namespace

Result<void> refresh_shown_mounts() {
  struct stat st {};
  if (::lstat(kShownTable, &st) != 0 || !S_ISREG(st.st_mode)) {
    return {};
  }
  return put_shown_table(false);
}

Result<void> install_shown_mounts() {
  auto table = LMFS_TRY(read_kernel_mounts());
  const bool ours = std::any_of(table.begin(), table.end(), [](const MountLine& m) {
    return m.dir == "/dev/shm" && m.source == "lmfs-shm";
  });
  if (!ours) return fail("/dev/shm is not lmfs-env's; not hiding the kernel's mount table");
  struct stat st {};
  if (::lstat(kShownTable, &st) == 0 && S_ISREG(st.st_mode)) return put_shown_table(false);
  return put_shown_table(true);
}

}  // namespace lmfs::standin
