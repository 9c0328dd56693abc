#include "fuse_ops.h"

#include <cstring>

namespace lmfs::standin {

namespace {

constexpr double kCacheSeconds = 1.0;

Served& served(fuse_req_t req) { return *static_cast<Served*>(fuse_req_userdata(req)); }

Caller caller(fuse_req_t req) {
  const fuse_ctx* ctx = fuse_req_ctx(req);
  return Caller{static_cast<std::uint32_t>(ctx->uid), static_cast<std::uint32_t>(ctx->gid)};
}

fuse_entry_param entry_of(const struct stat& st) {
  fuse_entry_param e{};
  e.ino = st.st_ino;
  e.attr = st;
  e.attr_timeout = kCacheSeconds;
  e.entry_timeout = kCacheSeconds;
  return e;
}

// The lookup counted for the entry goes back if the kernel never gets it.
void reply_entry(fuse_req_t req, const Errno<struct stat>& st) {
  if (!st) {
    fuse_reply_err(req, st.error());
    return;
  }
  const fuse_entry_param e = entry_of(*st);
  if (fuse_reply_entry(req, &e) != 0) served(req).fs.forget(e.ino, 1);
}

void reply_attr(fuse_req_t req, const Errno<struct stat>& st) {
  if (!st) {
    fuse_reply_err(req, st.error());
    return;
  }
  fuse_reply_attr(req, &*st, kCacheSeconds);
}

void reply_status(fuse_req_t req, const Errno<void>& r) { fuse_reply_err(req, r ? 0 : r.error()); }

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  reply_entry(req, served(req).fs.lookup(parent, name));
}

void op_forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  served(req).fs.forget(ino, nlookup);
  fuse_reply_none(req);
}

void op_forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  for (size_t i = 0; i < count; ++i) served(req).fs.forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  reply_attr(req, served(req).fs.getattr(ino));
}

void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info*) {
  reply_attr(req, served(req).fs.setattr(ino, *attr, to_set));
}

void op_readlink(fuse_req_t req, fuse_ino_t ino) {
  auto target = served(req).fs.readlink(ino);
  if (!target) {
    fuse_reply_err(req, target.error());
    return;
  }
  fuse_reply_readlink(req, target->c_str());
}

void op_mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
  reply_entry(req, served(req).fs.make(parent, name, mode, caller(req)));
}

void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  reply_entry(req, served(req).fs.make(parent, name, S_IFDIR | (mode & 07777), caller(req)));
}

void op_symlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
  reply_entry(req, served(req).fs.make(parent, name, S_IFLNK | 0777, caller(req), target));
}

void op_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
  reply_entry(req, served(req).fs.link(ino, parent, name));
}

void op_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  reply_status(req, served(req).fs.unlink(parent, name));
}

void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  reply_status(req, served(req).fs.rmdir(parent, name));
}

void op_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent,
               const char* new_name, unsigned int flags) {
  reply_status(req, served(req).fs.rename(parent, name, new_parent, new_name, flags));
}

void op_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
               fuse_file_info* fi) {
  auto st = served(req).fs.make(parent, name, S_IFREG | (mode & 07777), caller(req));
  if (!st) {
    fuse_reply_err(req, st.error());
    return;
  }
  const fuse_entry_param e = entry_of(*st);
  if (fuse_reply_create(req, &e, fi) != 0) served(req).fs.forget(e.ino, 1);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  auto data = served(req).fs.read(ino, static_cast<std::uint64_t>(off), size);
  if (!data) {
    fuse_reply_err(req, data.error());
    return;
  }
  fuse_reply_buf(req, data->data(), data->size());
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
              fuse_file_info*) {
  auto n = served(req).fs.write(ino, static_cast<std::uint64_t>(off), std::string_view(buf, size));
  if (!n) {
    fuse_reply_err(req, n.error());
    return;
  }
  fuse_reply_write(req, *n);
}

void op_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
  reply_status(req, served(req).fs.persist());
}

// A directory listing is taken at opendir and read out by index, so that
// changes while it is read neither skip nor repeat entries.
void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto entries = served(req).fs.list(ino);
  if (!entries) {
    fuse_reply_err(req, entries.error());
    return;
  }
  fi->fh = served(req).listings.add(std::move(*entries));
  if (fuse_reply_open(req, fi) != 0) {
    served(req).listings.remove(fi->fh);
  }
}

void op_readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
  // Another reader of the same handle cannot remove it under us: the kernel
  // sends releasedir only after the last one.
  const std::vector<DirEntry>* listing = served(req).listings.find(fi->fh);
  if (listing == nullptr) {
    fuse_reply_err(req, EBADF);
    return;
  }
  std::vector<char> buf(size);
  std::size_t used = 0;
  for (auto i = static_cast<std::size_t>(off); i < listing->size(); ++i) {
    const DirEntry& entry = (*listing)[i];
    struct stat st {};
    st.st_ino = entry.ino;
    st.st_mode = entry.mode;
    const std::size_t need = fuse_add_direntry(req, buf.data() + used, size - used,
                                               entry.name.c_str(), &st, static_cast<off_t>(i + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buf.data(), used);
}

void op_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  served(req).listings.remove(fi->fh);
  fuse_reply_err(req, 0);
}

void op_fsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
  reply_status(req, served(req).fs.persist());
}

void op_statfs(fuse_req_t req, fuse_ino_t) {
  const struct statvfs s = served(req).fs.statfs();
  fuse_reply_statfs(req, &s);
}

// The control requests, on the root directory only.
void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void*, fuse_file_info*,
              unsigned flags, const void* in, size_t in_size, size_t out_size) {
  if (ino != FUSE_ROOT_ID || (flags & FUSE_IOCTL_DIR) == 0 || (flags & FUSE_IOCTL_COMPAT) != 0) {
    fuse_reply_err(req, ENOTTY);
    return;
  }
  Served& s = served(req);
  switch (cmd) {
    case kIocSync: {
      if (out_size < sizeof(std::uint64_t)) break;
      auto number = s.fs.checkpoint();
      if (!number) {
        fuse_reply_err(req, number.error());
        return;
      }
      fuse_reply_ioctl(req, 0, &*number, sizeof *number);
      return;
    }
    case kIocGetStatus: {
      if (out_size < sizeof(StatusRecord)) break;
      const CheckpointStatus cs = s.fs.checkpoint_status();
      const StatusRecord record{cs.last, cs.snapshots, s.watch.violations()};
      fuse_reply_ioctl(req, 0, &record, sizeof record);
      return;
    }
    case kIocChangeMode: {
      if (in_size < sizeof(ModeChange)) break;
      ModeChange change{};
      std::memcpy(&change, in, sizeof change);
      Errno<void> done = std::unexpected(EINVAL);
      {
        // Over before the reply: the sender may send its next one at once.
        CleanerWatch::Request watched(s.watch, change.number, fuse_req_ctx(req)->pid);
        if (change.reserved == 0) done = s.fs.change_mode(change.number, change.mode);
      }
      if (!done) {
        fuse_reply_err(req, done.error());
        return;
      }
      fuse_reply_ioctl(req, 0, nullptr, 0);
      return;
    }
    default:
      fuse_reply_err(req, ENOTTY);
      return;
  }
  fuse_reply_err(req, EINVAL);
}

fuse_lowlevel_ops make_operations() {
  fuse_lowlevel_ops ops{};
  ops.lookup = op_lookup;
  ops.forget = op_forget;
  ops.forget_multi = op_forget_multi;
  ops.getattr = op_getattr;
  ops.setattr = op_setattr;
  ops.readlink = op_readlink;
  ops.mknod = op_mknod;
  ops.mkdir = op_mkdir;
  ops.symlink = op_symlink;
  ops.link = op_link;
  ops.unlink = op_unlink;
  ops.rmdir = op_rmdir;
  ops.rename = op_rename;
  ops.create = op_create;
  ops.read = op_read;
  ops.write = op_write;
  ops.fsync = op_fsync;
  ops.opendir = op_opendir;
  ops.readdir = op_readdir;
  ops.releasedir = op_releasedir;
  ops.fsyncdir = op_fsyncdir;
  ops.statfs = op_statfs;
  ops.ioctl = op_ioctl;
  return ops;
}

}  // namespace

std::uint64_t Listings::add(std::vector<DirEntry> entries) {
  std::lock_guard lock(mu_);
  const std::uint64_t handle = next_++;
  open_.emplace(handle, std::move(entries));
  return handle;
}

const std::vector<DirEntry>* Listings::find(std::uint64_t handle) {
  std::lock_guard lock(mu_);
  auto it = open_.find(handle);
  return it == open_.end() ? nullptr : &it->second;
}

void Listings::remove(std::uint64_t handle) {
  std::lock_guard lock(mu_);
  open_.erase(handle);
}

const fuse_lowlevel_ops& loomfs_operations() {
  static const fuse_lowlevel_ops ops = make_operations();
  return ops;
}

}  // namespace lmfs::standin
