#include "file_system.h"
#include "lmfs_base/try.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <fuse_lowlevel.h>

namespace lmfs::standin {

namespace {

constexpr std::size_t kNameMax = 255;
constexpr std::size_t kTargetMax = 4095;
constexpr std::uint64_t kBlock = 4096;

timespec now() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

std::uint64_t entry_cost(const std::string& name) { return kEntryRecordBytes + name.size(); }

Errno<void> check_name(const std::string& name) {
  if (name.size() > kNameMax) return std::unexpected(ENAMETOOLONG);
  return {};
}

}  // namespace

Result<std::unique_ptr<FileSystem>> FileSystem::load(UniqueFd device, const Superblock& sb,
                                                     StoredImage stored) {
  std::unique_ptr<FileSystem> fs(new FileSystem(std::move(device), sb));
  Image& image = stored.image;
  fs->generation_ = stored.generation;
  fs->slot_ = stored.slot;
  fs->next_ino_ = image.next_ino;
  fs->last_checkpoint_ = image.last_checkpoint;
  fs->snapshots_.insert(image.snapshots.begin(), image.snapshots.end());
  fs->used_ += 8 * image.snapshots.size();
  for (NodeRecord& r : image.nodes) {
    Node n;
    n.ino = r.ino;
    n.mode = r.mode;
    n.uid = r.uid;
    n.gid = r.gid;
    n.atime = r.atime;
    n.mtime = r.mtime;
    n.ctime = r.ctime;
    n.data = std::move(r.data);
    n.nlink = n.is_dir() ? 2 : 0;
    fs->used_ += kNodeRecordBytes + n.data.size();
    fs->nodes_.emplace(n.ino, std::move(n));
  }
  Node& root = fs->nodes_.at(kRootIno);
  root.parent = kRootIno;
  root.lookups = 1;  // the kernel holds the root for the whole mount
  for (const EntryRecord& e : image.entries) {
    Node& dir = fs->nodes_.at(e.dir);
    Node& child = fs->nodes_.at(e.child);
    if (child.is_dir()) {
      if (child.parent != 0) {
        return fail("corrupt image: directory " + std::to_string(child.ino) + " has two parents",
                    EUCLEAN);
      }
      child.parent = dir.ino;
      ++dir.nlink;
    } else {
      ++child.nlink;
    }
    dir.children.emplace(e.name, child.ino);
    fs->used_ += entry_cost(e.name);
  }
  // One tree: everything reachable from the root, so no directory cycles.
  std::size_t reached = 0;
  std::deque<std::uint64_t> todo{kRootIno};
  while (!todo.empty()) {
    const Node& n = fs->nodes_.at(todo.front());
    todo.pop_front();
    ++reached;
    for (const auto& [name, ino] : n.children) {
      if (fs->nodes_.at(ino).is_dir()) todo.push_back(ino);
    }
  }
  const std::size_t dirs = std::count_if(fs->nodes_.begin(), fs->nodes_.end(),
                                         [](const auto& kv) { return kv.second.is_dir(); });
  const bool files_linked = std::all_of(fs->nodes_.begin(), fs->nodes_.end(), [](const auto& kv) {
    return kv.second.is_dir() || kv.second.nlink > 0;
  });
  if (reached != dirs || !files_linked) {
    return fail("corrupt image: inodes outside the tree", EUCLEAN);
  }
  return fs;
}

FileSystem::Node* FileSystem::find(std::uint64_t ino) {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : &it->second;
}

Errno<FileSystem::Node*> FileSystem::find_dir(std::uint64_t ino) {
  Node* n = find(ino);
  if (n == nullptr) return std::unexpected(ENOENT);
  if (!n->is_dir()) return std::unexpected(ENOTDIR);
  return n;
}

struct stat FileSystem::stat_of(const Node& n) const {
  struct stat st {};
  st.st_ino = n.ino;
  st.st_mode = n.mode;
  st.st_nlink = n.nlink;
  st.st_uid = n.uid;
  st.st_gid = n.gid;
  st.st_size = static_cast<off_t>(n.is_dir() ? kBlock : n.data.size());
  st.st_blksize = kBlock;
  st.st_blocks = static_cast<blkcnt_t>((n.data.size() + 511) / 512);
  st.st_atim = n.atime;
  st.st_mtim = n.mtime;
  st.st_ctim = n.ctime;
  return st;
}

Errno<void> FileSystem::reserve(std::uint64_t more) const {
  if (more > capacity() || used_ > capacity() - more) return std::unexpected(ENOSPC);
  return {};
}

void FileSystem::maybe_free(Node& n) {
  if (n.nlink == 0 && n.lookups == 0 && n.ino != kRootIno) {
    nodes_.erase(n.ino);
  }
}

void FileSystem::drop_link(Node& n) {
  n.ctime = now();
  if (--n.nlink == 0) {
    used_ -= kNodeRecordBytes + n.data.size();
    maybe_free(n);
  }
}

Errno<void> FileSystem::remove_entry(Node& dir, const std::string& name, bool want_dir) {
  auto it = dir.children.find(name);
  if (it == dir.children.end()) return std::unexpected(ENOENT);
  Node& child = nodes_.at(it->second);
  if (want_dir) {
    if (!child.is_dir()) return std::unexpected(ENOTDIR);
    if (!child.children.empty()) return std::unexpected(ENOTEMPTY);
  } else if (child.is_dir()) {
    return std::unexpected(EISDIR);
  }
  dir.children.erase(it);
  used_ -= entry_cost(name);
  dir.mtime = dir.ctime = now();
  if (child.is_dir()) {
    --dir.nlink;
    child.nlink = 1;  // drop_link takes the last one
  }
  drop_link(child);
  return {};
}

Errno<struct stat> FileSystem::lookup(std::uint64_t parent, const std::string& name) {
  std::lock_guard lock(mu_);
  auto dir = LMFS_TRY(find_dir(parent));
  LMFS_TRY(check_name(name));
  auto it = dir->children.find(name);
  if (it == dir->children.end()) return std::unexpected(ENOENT);
  Node& n = nodes_.at(it->second);
  ++n.lookups;
  return stat_of(n);
}

void FileSystem::forget(std::uint64_t ino, std::uint64_t count) {
  std::lock_guard lock(mu_);
  Node* n = find(ino);
  if (n == nullptr || ino == kRootIno) return;
  n->lookups -= std::min(count, n->lookups);
  maybe_free(*n);
}

Errno<struct stat> FileSystem::getattr(std::uint64_t ino) {
  std::lock_guard lock(mu_);
  const Node* n = find(ino);
  if (n == nullptr) return std::unexpected(ENOENT);
  return stat_of(*n);
}

Errno<struct stat> FileSystem::setattr(std::uint64_t ino, const struct stat& attr, int to_set) {
  std::lock_guard lock(mu_);
  Node* n = find(ino);
  if (n == nullptr) return std::unexpected(ENOENT);
  const timespec t = now();
  if (to_set & FUSE_SET_ATTR_SIZE) {
    if (n->is_dir()) return std::unexpected(EISDIR);
    if (!S_ISREG(n->mode) || attr.st_size < 0) return std::unexpected(EINVAL);
    const auto size = static_cast<std::uint64_t>(attr.st_size);
    if (size > capacity()) return std::unexpected(EFBIG);
    if (size > n->data.size() && n->nlink > 0) {
      LMFS_TRY(reserve(size - n->data.size()));
    }
    if (n->nlink > 0) used_ = used_ - n->data.size() + size;
    n->data.resize(size);
    n->mtime = t;
  }
  if (to_set & FUSE_SET_ATTR_MODE) n->mode = (n->mode & S_IFMT) | (attr.st_mode & 07777);
  if (to_set & FUSE_SET_ATTR_UID) n->uid = attr.st_uid;
  if (to_set & FUSE_SET_ATTR_GID) n->gid = attr.st_gid;
  if (to_set & FUSE_SET_ATTR_ATIME) n->atime = attr.st_atim;
  if (to_set & FUSE_SET_ATTR_ATIME_NOW) n->atime = t;
  if (to_set & FUSE_SET_ATTR_MTIME) n->mtime = attr.st_mtim;
  if (to_set & FUSE_SET_ATTR_MTIME_NOW) n->mtime = t;
  n->ctime = (to_set & FUSE_SET_ATTR_CTIME) ? attr.st_ctim : t;
  return stat_of(*n);
}

Errno<struct stat> FileSystem::make(std::uint64_t parent, const std::string& name,
                                    std::uint32_t mode, const Caller& who,
                                    const std::string& target) {
  std::lock_guard lock(mu_);
  auto dir = LMFS_TRY(find_dir(parent));
  LMFS_TRY(check_name(name));
  const std::uint32_t kind = mode & S_IFMT;
  if (kind != S_IFREG && kind != S_IFDIR && kind != S_IFLNK) return std::unexpected(EPERM);
  if (kind == S_IFLNK && (target.empty() || target.size() > kTargetMax)) {
    return std::unexpected(target.empty() ? ENOENT : ENAMETOOLONG);
  }
  if (dir->children.contains(name)) return std::unexpected(EEXIST);
  const std::uint64_t cost = kNodeRecordBytes + target.size() + entry_cost(name);
  LMFS_TRY(reserve(cost));

  Node n;
  n.ino = next_ino_++;
  n.mode = mode;
  n.uid = who.uid;
  n.gid = who.gid;
  n.nlink = kind == S_IFDIR ? 2 : 1;
  n.atime = n.mtime = n.ctime = now();
  n.data = target;
  n.parent = kind == S_IFDIR ? parent : 0;
  n.lookups = 1;
  Node& dirn = *dir;
  dirn.children.emplace(name, n.ino);
  if (kind == S_IFDIR) ++dirn.nlink;
  dirn.mtime = dirn.ctime = n.ctime;
  used_ += cost;
  const struct stat st = stat_of(n);
  nodes_.emplace(n.ino, std::move(n));
  return st;
}

Errno<struct stat> FileSystem::link(std::uint64_t ino, std::uint64_t parent,
                                    const std::string& name) {
  std::lock_guard lock(mu_);
  Node* n = find(ino);
  if (n == nullptr) return std::unexpected(ENOENT);
  if (n->is_dir()) return std::unexpected(EPERM);
  if (n->nlink == 0) return std::unexpected(ENOENT);
  auto dir = LMFS_TRY(find_dir(parent));
  LMFS_TRY(check_name(name));
  if (dir->children.contains(name)) return std::unexpected(EEXIST);
  LMFS_TRY(reserve(entry_cost(name)));
  dir->children.emplace(name, ino);
  dir->mtime = dir->ctime = n->ctime = now();
  used_ += entry_cost(name);
  ++n->nlink;
  ++n->lookups;
  return stat_of(*n);
}

Errno<void> FileSystem::unlink(std::uint64_t parent, const std::string& name) {
  std::lock_guard lock(mu_);
  auto dir = LMFS_TRY(find_dir(parent));
  return remove_entry(*dir, name, false);
}

Errno<void> FileSystem::rmdir(std::uint64_t parent, const std::string& name) {
  std::lock_guard lock(mu_);
  auto dir = LMFS_TRY(find_dir(parent));
  return remove_entry(*dir, name, true);
}

Errno<void> FileSystem::rename(std::uint64_t parent, const std::string& name,
                               std::uint64_t new_parent, const std::string& new_name,
                               unsigned flags) {
  std::lock_guard lock(mu_);
  if ((flags & ~unsigned{RENAME_NOREPLACE}) != 0) return std::unexpected(EINVAL);
  auto from = LMFS_TRY(find_dir(parent));
  auto to = LMFS_TRY(find_dir(new_parent));
  LMFS_TRY(check_name(new_name));
  auto it = from->children.find(name);
  if (it == from->children.end()) return std::unexpected(ENOENT);
  Node& moved = nodes_.at(it->second);
  if (moved.is_dir()) {
    // Not into itself or below itself.
    for (std::uint64_t up = new_parent;; up = nodes_.at(up).parent) {
      if (up == moved.ino) return std::unexpected(EINVAL);
      if (up == kRootIno) break;
    }
  }
  auto existing = to->children.find(new_name);
  if (existing != to->children.end()) {
    if (existing->second == moved.ino) return {};
    if (flags & RENAME_NOREPLACE) return std::unexpected(EEXIST);
    const Node& victim = nodes_.at(existing->second);
    if (moved.is_dir() && !victim.is_dir()) return std::unexpected(ENOTDIR);
    if (!moved.is_dir() && victim.is_dir()) return std::unexpected(EISDIR);
    LMFS_TRY(remove_entry(*to, new_name, victim.is_dir()));
  } else if (new_name.size() > name.size()) {
    LMFS_TRY(reserve(new_name.size() - name.size()));
  }
  const std::uint64_t ino = moved.ino;
  from->children.erase(name);
  used_ -= entry_cost(name);
  to->children.emplace(new_name, ino);
  used_ += entry_cost(new_name);
  if (moved.is_dir() && parent != new_parent) {
    --from->nlink;
    ++to->nlink;
    moved.parent = new_parent;
  }
  const timespec t = now();
  from->mtime = from->ctime = to->mtime = to->ctime = moved.ctime = t;
  return {};
}

Errno<std::string> FileSystem::readlink(std::uint64_t ino) {
  std::lock_guard lock(mu_);
  const Node* n = find(ino);
  if (n == nullptr) return std::unexpected(ENOENT);
  if (!S_ISLNK(n->mode)) return std::unexpected(EINVAL);
  return n->data;
}

Errno<std::string> FileSystem::read(std::uint64_t ino, std::uint64_t offset, std::size_t size) {
  std::lock_guard lock(mu_);
  const Node* n = find(ino);
  if (n == nullptr) return std::unexpected(ENOENT);
  if (n->is_dir()) return std::unexpected(EISDIR);
  if (!S_ISREG(n->mode)) return std::unexpected(EINVAL);
  if (offset >= n->data.size()) return std::string();
  return n->data.substr(offset, size);
}

Errno<std::size_t> FileSystem::write(std::uint64_t ino, std::uint64_t offset,
                                     std::string_view data) {
  std::lock_guard lock(mu_);
  Node* n = find(ino);
  if (n == nullptr) return std::unexpected(ENOENT);
  if (n->is_dir()) return std::unexpected(EISDIR);
  if (!S_ISREG(n->mode)) return std::unexpected(EINVAL);
  // No file outgrows the space of the whole file system, linked or not.
  if (offset > capacity() || data.size() > capacity() - offset) return std::unexpected(ENOSPC);
  const std::uint64_t end = offset + data.size();
  if (end > n->data.size()) {
    if (n->nlink > 0) {
      LMFS_TRY(reserve(end - n->data.size()));
      used_ += end - n->data.size();
    }
    n->data.resize(end);
  }
  std::copy(data.begin(), data.end(), n->data.begin() + static_cast<std::ptrdiff_t>(offset));
  n->mtime = n->ctime = now();
  return data.size();
}

Errno<std::vector<DirEntry>> FileSystem::list(std::uint64_t ino) {
  std::lock_guard lock(mu_);
  auto dir = LMFS_TRY(find_dir(ino));
  std::vector<DirEntry> out{{".", ino, S_IFDIR}, {"..", dir->parent, S_IFDIR}};
  for (const auto& [name, child] : dir->children) {
    out.push_back({name, child, nodes_.at(child).mode});
  }
  return out;
}

struct statvfs FileSystem::statfs() {
  std::lock_guard lock(mu_);
  struct statvfs s {};
  s.f_bsize = kBlock;
  s.f_frsize = kBlock;
  s.f_blocks = capacity() / kBlock;
  s.f_bfree = s.f_bavail = (capacity() - std::min(used_, capacity())) / kBlock;
  s.f_files = capacity() / kNodeRecordBytes;
  s.f_ffree = s.f_favail = (capacity() - std::min(used_, capacity())) / kNodeRecordBytes;
  s.f_namemax = kNameMax;
  return s;
}

Image FileSystem::to_image() const {
  Image image;
  image.last_checkpoint = last_checkpoint_;
  image.snapshots.assign(snapshots_.begin(), snapshots_.end());
  image.next_ino = next_ino_;
  for (const auto& [ino, n] : nodes_) {
    if (n.nlink == 0) continue;  // unlinked, only still open
    image.nodes.push_back(NodeRecord{n.ino, n.mode, n.uid, n.gid, n.nlink, n.atime, n.mtime,
                                     n.ctime, n.data});
    for (const auto& [name, child] : n.children) {
      image.entries.push_back(EntryRecord{n.ino, child, name});
    }
  }
  std::sort(image.nodes.begin(), image.nodes.end(),
            [](const NodeRecord& a, const NodeRecord& b) { return a.ino < b.ino; });
  return image;
}

Errno<void> FileSystem::persist_locked() {
  const std::uint32_t slot = (slot_ + 1) % sb_.slot_count;
  if (auto w = write_image(device_.get(), sb_, to_image(), generation_ + 1, slot); !w) {
    return std::unexpected(w.error().err != 0 ? w.error().err : EIO);
  }
  ++generation_;
  slot_ = slot;
  return {};
}

Errno<void> FileSystem::persist() {
  std::lock_guard lock(mu_);
  return persist_locked();
}

Errno<std::uint64_t> FileSystem::checkpoint() {
  std::lock_guard lock(mu_);
  ++last_checkpoint_;
  if (auto p = persist_locked(); !p) {
    --last_checkpoint_;
    return std::unexpected(p.error());
  }
  return last_checkpoint_;
}

Errno<void> FileSystem::change_mode(std::uint64_t number, std::uint32_t mode) {
  std::lock_guard lock(mu_);
  if (number == 0 || number > last_checkpoint_ || mode > 1) return std::unexpected(EINVAL);
  const bool snapshot = snapshots_.contains(number);
  if ((mode == 1) == snapshot) return {};
  if (mode == 1) {
    LMFS_TRY(reserve(8));
    snapshots_.insert(number);
    used_ += 8;
  } else {
    snapshots_.erase(number);
    used_ -= 8;
  }
  if (auto p = persist_locked(); !p) {
    if (mode == 1) {
      snapshots_.erase(number);
      used_ -= 8;
    } else {
      snapshots_.insert(number);
      used_ += 8;
    }
    return std::unexpected(p.error());
  }
  return {};
}

CheckpointStatus FileSystem::checkpoint_status() {
  std::lock_guard lock(mu_);
  return CheckpointStatus{last_checkpoint_, snapshots_.size()};
}

}  // namespace lmfs::standin
