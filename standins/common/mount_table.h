// The mount table as the stand-ins see it.
//
// A stand-in mount is a FUSE mount whose line in the kernel's table reads
// "DEVICE DIR fuse.loomfs OPTIONS 0 0", DEVICE being the canonical device name
// the daemon passes as its fsname. In the namespace that lmfs-env sets up,
// /proc/mounts (normally a link to self/mounts) has a regular file mounted over
// it: the shown table, a copy of the kernel's table (read through /proc/self)
// in which the stand-ins' lines read "DEVICE DIR loomfs OPTIONS 0 0", as a
// kernel loomfs would show them. The stand-ins replace that file whenever
// their mounts change; the swap is atomic for readers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace lmfs::standin {

inline constexpr std::string_view kFuseType = "fuse.loomfs";
inline constexpr std::string_view kShownType = "loomfs";
// The options the mount helper takes, also shown in the rewritten table.
inline constexpr std::string_view kMountOptions = "order=relaxed,nogc,barrier,discard";

struct MountLine {
  std::string source;   // as written in the table (octal escapes kept)
  std::string dir;      // as written in the table
  std::string type;
  std::string options;
  std::string rest;     // the two numeric fields, as written
};

// Splits a table text into lines of at least four fields; others are skipped.
[[nodiscard]] std::vector<MountLine> parse_mount_table(std::string_view text);

// Undoes the kernel's octal escapes (\040 for a blank and the like).
[[nodiscard]] std::string unescape_field(std::string_view field);

// The kernel's mount table of this process's namespace.
[[nodiscard]] Result<std::vector<MountLine>> read_kernel_mounts();

// The stand-in mounts of `device` (canonical name), in table order.
[[nodiscard]] std::vector<MountLine> mounts_of_device(const std::vector<MountLine>& table,
                                                      const std::string& device);

// The table text with stand-in lines shown as a kernel loomfs would show them:
// type "loomfs", the access token and generic flags kept, FUSE's own options
// (user_id=, group_id=, allow_other, ...) replaced by the loomfs options.
[[nodiscard]] std::string render_shown_table(const std::vector<MountLine>& table);

// Replaces the shown table with one made from the kernel's table now, where
// /proc/mounts is a regular file (an lmfs-env namespace); does nothing where it
// is the kernel's own link.
[[nodiscard]] Result<void> refresh_shown_mounts();

// lmfs-env's step: puts the first shown table over the kernel's /proc/mounts
// link. Refused unless /dev/shm is lmfs-env's own ("lmfs-shm"), so that it
// cannot hide the table of a real system.
[[nodiscard]] Result<void> install_shown_mounts();

}  // namespace lmfs::standin
