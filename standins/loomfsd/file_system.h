// The file system loomfsd serves: an in-memory tree and checkpoint list
// loaded from the device's newest image and written back as a new image on
// every checkpoint, fsync and unmount.
//
// Every operation takes the one lock, so the FUSE worker threads may call in
// concurrently. Failures are errno values, as the kernel wants them.
#pragma once

#include <cstdint>
#include <ctime>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unordered_map>
#include <vector>

#include "fd.h"
#include "image.h"
#include "layout.h"

namespace lmfs::standin {

template <class T>
using Errno = std::expected<T, int>;

// Who asks: owner of what the request creates.
struct Caller {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

struct DirEntry {
  std::string name;
  std::uint64_t ino = 0;
  std::uint32_t mode = 0;
};

struct CheckpointStatus {
  std::uint64_t last = 0;       // the current checkpoint, 0 before the first
  std::uint64_t snapshots = 0;  // how many checkpoints are snapshots
};

class FileSystem {
 public:
  // Takes the open device (which holds its served-device lock) and the image
  // read from it; fails when the image does not describe one tree.
  [[nodiscard]] static Result<std::unique_ptr<FileSystem>> load(UniqueFd device,
                                                                const Superblock& sb,
                                                                StoredImage stored);

  // Entry points that hand an inode to the kernel count a lookup on it; the
  // kernel gives it back with forget().
  [[nodiscard]] Errno<struct stat> lookup(std::uint64_t parent, const std::string& name);
  void forget(std::uint64_t ino, std::uint64_t count);
  [[nodiscard]] Errno<struct stat> getattr(std::uint64_t ino);
  // `to_set` holds FUSE_SET_ATTR_* bits.
  [[nodiscard]] Errno<struct stat> setattr(std::uint64_t ino, const struct stat& attr, int to_set);

  // Makes a regular file, a directory or (with `target`) a symbolic link.
  [[nodiscard]] Errno<struct stat> make(std::uint64_t parent, const std::string& name,
                                        std::uint32_t mode, const Caller& who,
                                        const std::string& target = {});
  [[nodiscard]] Errno<struct stat> link(std::uint64_t ino, std::uint64_t parent,
                                        const std::string& name);
  [[nodiscard]] Errno<void> unlink(std::uint64_t parent, const std::string& name);
  [[nodiscard]] Errno<void> rmdir(std::uint64_t parent, const std::string& name);
  [[nodiscard]] Errno<void> rename(std::uint64_t parent, const std::string& name,
                                   std::uint64_t new_parent, const std::string& new_name,
                                   unsigned flags);
  [[nodiscard]] Errno<std::string> readlink(std::uint64_t ino);
  [[nodiscard]] Errno<std::string> read(std::uint64_t ino, std::uint64_t offset, std::size_t size);
  [[nodiscard]] Errno<std::size_t> write(std::uint64_t ino, std::uint64_t offset,
                                         std::string_view data);
  // The entries of a directory, "." and ".." first, as of this moment.
  [[nodiscard]] Errno<std::vector<DirEntry>> list(std::uint64_t ino);
  [[nodiscard]] struct statvfs statfs();

  // Writes the whole file system to the device.
  [[nodiscard]] Errno<void> persist();

  // Writes a new checkpoint and returns its number.
  [[nodiscard]] Errno<std::uint64_t> checkpoint();
  // Mode 1 makes checkpoint `number` a snapshot, mode 0 a plain checkpoint
  // again; unknown numbers (and 0) and other modes are EINVAL.
  [[nodiscard]] Errno<void> change_mode(std::uint64_t number, std::uint32_t mode);
  [[nodiscard]] CheckpointStatus checkpoint_status();

 private:
  struct Node {
    std::uint64_t ino = 0;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint32_t nlink = 0;
    timespec atime{}, mtime{}, ctime{};
    std::string data;
    std::map<std::string, std::uint64_t> children;  // directories
    std::uint64_t parent = 0;                       // directories
    std::uint64_t lookups = 0;
    [[nodiscard]] bool is_dir() const { return S_ISDIR(mode); }
  };

  FileSystem(UniqueFd device, const Superblock& sb) : device_(std::move(device)), sb_(sb) {}

  Node* find(std::uint64_t ino);
  Errno<Node*> find_dir(std::uint64_t ino);
  struct stat stat_of(const Node& n) const;
  std::uint64_t capacity() const { return sb_.slot_bytes() - kSlotHeaderBytes; }
  Errno<void> reserve(std::uint64_t more) const;
  // Drops one link of `n`; a node without links or lookups is freed.
  void drop_link(Node& n);
  void maybe_free(Node& n);
  Errno<void> remove_entry(Node& dir, const std::string& name, bool want_dir);
  Image to_image() const;
  Errno<void> persist_locked();

  std::mutex mu_;
  UniqueFd device_;
  Superblock sb_;
  std::uint64_t generation_ = 0;
  std::uint32_t slot_ = 0;
  std::unordered_map<std::uint64_t, Node> nodes_;
  std::uint64_t next_ino_ = kRootIno + 1;
  std::uint64_t used_ = kImageFixedBytes;  // bytes the image takes now
  std::uint64_t last_checkpoint_ = 0;
  std::set<std::uint64_t> snapshots_;
};

}  // namespace lmfs::standin
