// The FUSE low-level operations of loomfsd: each turns one kernel request
// into a call on the FileSystem (or the control requests) and one reply.
#pragma once

#include <fuse_lowlevel.h>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "control.h"
#include "file_system.h"

namespace lmfs::standin {

// Directory listings handed out by opendir, by handle. Owned here rather than
// by the kernel's handle: a releasedir still in flight when the mount goes
// away never arrives, and what it would have freed goes with this.
class Listings {
 public:
  std::uint64_t add(std::vector<DirEntry> entries);
  // The listing behind `handle`, or null; valid until remove(handle).
  const std::vector<DirEntry>* find(std::uint64_t handle);
  void remove(std::uint64_t handle);

 private:
  std::mutex mu_;
  std::uint64_t next_ = 1;
  std::unordered_map<std::uint64_t, std::vector<DirEntry>> open_;
};

// What the operations reach through the session's user data.
struct Served {
  FileSystem& fs;
  CleanerWatch& watch;
  Listings listings;
};

[[nodiscard]] const fuse_lowlevel_ops& loomfs_operations();

}  // namespace lmfs::standin
