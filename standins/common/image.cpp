#include "image.h"
#include "lmfs_base/try.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"

namespace lmfs::standin {

namespace {

constexpr std::uint32_t kImageFormat = 1;
constexpr std::uint64_t kSlotMagic = 0x31474d4953464d4cULL;  // "LMFSIMG1"

class Writer {
 public:
  void u32(std::uint32_t v) {
    const std::size_t at = grow(4);
    put_le32(out_, at, v);
  }
  void u64(std::uint64_t v) {
    const std::size_t at = grow(8);
    put_le64(out_, at, v);
  }
  void time(const timespec& t) {
    u64(static_cast<std::uint64_t>(t.tv_sec));
    u32(static_cast<std::uint32_t>(t.tv_nsec));
  }
  void bytes(const std::string& s) {
    u32(static_cast<std::uint32_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
  }
  void bytes64(const std::string& s) {
    u64(s.size());
    out_.insert(out_.end(), s.begin(), s.end());
  }
  std::vector<std::uint8_t> take() { return std::move(out_); }

 private:
  std::size_t grow(std::size_t n) {
    out_.resize(out_.size() + n);
    return out_.size() - n;
  }
  std::vector<std::uint8_t> out_;
};

// Reads fields off a buffer; every read past the end marks the reader bad and
// yields zeros, so a decode checks `ok()` once per record.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
  std::uint32_t u32() { return take(4) ? get_le32(in_, pos_ - 4) : 0; }
  std::uint64_t u64() { return take(8) ? get_le64(in_, pos_ - 8) : 0; }
  timespec time() {
    timespec t{};
    t.tv_sec = static_cast<time_t>(u64());
    t.tv_nsec = static_cast<long>(u32());
    if (t.tv_nsec >= 1'000'000'000) ok_ = false;
    return t;
  }
  std::string bytes() { return text(u32()); }
  std::string bytes64() { return text(u64()); }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] bool at_end() const { return pos_ == in_.size(); }
  [[nodiscard]] std::size_t left() const { return in_.size() - pos_; }

 private:
  bool take(std::uint64_t n) {
    if (!ok_ || n > in_.size() - pos_) {
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }
  std::string text(std::uint64_t n) {
    if (!take(n)) return {};
    return std::string(reinterpret_cast<const char*>(in_.data() + pos_ - n), n);
  }
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

Result<Image> corrupt(const std::string& why) { return fail("corrupt image: " + why, EUCLEAN); }

Result<void> check_tree(const Image& image) {
  std::map<std::uint64_t, std::uint32_t> kinds;
  for (const NodeRecord& n : image.nodes) {
    if (n.ino == 0 || n.ino >= image.next_ino || !kinds.emplace(n.ino, n.mode & S_IFMT).second) {
      return fail("bad inode number " + std::to_string(n.ino));
    }
    const std::uint32_t kind = n.mode & S_IFMT;
    if (kind != S_IFDIR && kind != S_IFREG && kind != S_IFLNK) {
      return fail("inode " + std::to_string(n.ino) + " of unknown type");
    }
    if (kind == S_IFDIR && !n.data.empty()) {
      return fail("directory " + std::to_string(n.ino) + " with data");
    }
  }
  auto root = kinds.find(kRootIno);
  if (root == kinds.end() || root->second != S_IFDIR) {
    return fail("no root directory");
  }
  std::set<std::pair<std::uint64_t, std::string>> names;
  for (const EntryRecord& e : image.entries) {
    auto dir = kinds.find(e.dir);
    if (dir == kinds.end() || dir->second != S_IFDIR || !kinds.contains(e.child) ||
        e.child == kRootIno) {
      return fail("entry " + e.name + " refers to a missing inode");
    }
    if (e.name.empty() || e.name == "." || e.name == ".." ||
        e.name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
      return fail("bad entry name");
    }
    if (!names.emplace(e.dir, e.name).second) {
      return fail("duplicate entry " + e.name);
    }
  }
  if (!std::is_sorted(image.snapshots.begin(), image.snapshots.end()) ||
      std::adjacent_find(image.snapshots.begin(), image.snapshots.end()) !=
          image.snapshots.end() ||
      (!image.snapshots.empty() &&
       (image.snapshots.front() == 0 || image.snapshots.back() > image.last_checkpoint))) {
    return fail("bad snapshot list");
  }
  return {};
}

}  // namespace

Image fresh_image(std::uint32_t uid, std::uint32_t gid, timespec now) {
  Image image;
  NodeRecord root;
  root.ino = kRootIno;
  root.mode = S_IFDIR | 0755;
  root.uid = uid;
  root.gid = gid;
  root.nlink = 2;
  root.atime = root.mtime = root.ctime = now;
  image.nodes.push_back(std::move(root));
  return image;
}

std::vector<std::uint8_t> encode_image(const Image& image) {
  Writer w;
  w.u32(kImageFormat);
  w.u32(0);
  w.u64(image.last_checkpoint);
  w.u64(image.next_ino);
  w.u64(image.snapshots.size());
  w.u64(image.nodes.size());
  w.u64(image.entries.size());
  for (std::uint64_t s : image.snapshots) w.u64(s);
  for (const NodeRecord& n : image.nodes) {
    w.u64(n.ino);
    w.u32(n.mode);
    w.u32(n.uid);
    w.u32(n.gid);
    w.u32(n.nlink);
    w.time(n.atime);
    w.time(n.mtime);
    w.time(n.ctime);
    w.bytes64(n.data);
  }
  for (const EntryRecord& e : image.entries) {
    w.u64(e.dir);
    w.u64(e.child);
    w.bytes(e.name);
  }
  return w.take();
}

Result<Image> decode_image(std::span<const std::uint8_t> bytes) {
  Reader r(bytes);
  if (r.u32() != kImageFormat || !r.ok()) {
    return corrupt("unknown format");
  }
  r.u32();
  Image image;
  image.last_checkpoint = r.u64();
  image.next_ino = r.u64();
  const std::uint64_t snapshots = r.u64();
  const std::uint64_t nodes = r.u64();
  const std::uint64_t entries = r.u64();
  // Each record takes at least 8 bytes, so counts beyond that are lies; checked
  // before anything is reserved.
  if (!r.ok() || snapshots > r.left() / 8 || nodes > r.left() / 8 || entries > r.left() / 8) {
    return corrupt("bad counts");
  }
  image.snapshots.reserve(snapshots);
  for (std::uint64_t i = 0; i < snapshots && r.ok(); ++i) image.snapshots.push_back(r.u64());
  image.nodes.reserve(nodes);
  for (std::uint64_t i = 0; i < nodes && r.ok(); ++i) {
    NodeRecord n;
    n.ino = r.u64();
    n.mode = r.u32();
    n.uid = r.u32();
    n.gid = r.u32();
    n.nlink = r.u32();
    n.atime = r.time();
    n.mtime = r.time();
    n.ctime = r.time();
    n.data = r.bytes64();
    image.nodes.push_back(std::move(n));
  }
  image.entries.reserve(entries);
  for (std::uint64_t i = 0; i < entries && r.ok(); ++i) {
    EntryRecord e;
    e.dir = r.u64();
    e.child = r.u64();
    e.name = r.bytes();
    image.entries.push_back(std::move(e));
  }
  if (!r.ok()) {
    return corrupt("truncated");
  }
  if (!r.at_end()) {
    return corrupt("trailing bytes");
  }
  if (auto tree = check_tree(image); !tree) {
    return corrupt(tree.error().what);
  }
  return image;
}

Result<void> write_image(int fd, const Superblock& sb, const Image& image,
                         std::uint64_t generation, std::uint32_t slot) {
  const std::vector<std::uint8_t> payload = encode_image(image);
  if (kSlotHeaderBytes + payload.size() > sb.slot_bytes()) {
    return fail("the file system is full", ENOSPC);
  }
  std::vector<std::uint8_t> buf(kSlotHeaderBytes);
  put_le64(buf, 0, kSlotMagic);
  put_le64(buf, 8, sb.stamp);
  put_le64(buf, 16, generation);
  put_le64(buf, 24, payload.size());
  put_le64(buf, 32, fnv1a64(payload));
  put_le64(buf, 40, fnv1a64(std::span(buf).first(40)));
  buf.insert(buf.end(), payload.begin(), payload.end());
  if (auto w = pwrite_full(fd, buf, sb.slot_offset(slot), "cannot write the image"); !w) {
    return w;
  }
  if (::fdatasync(fd) != 0) {
    return sys_fail("cannot flush the device");
  }
  return {};
}

Result<StoredImage> read_newest_image(int fd, const Superblock& sb) {
  std::optional<StoredImage> best;
  std::string why;
  for (std::uint32_t slot = 0; slot < sb.slot_count; ++slot) {
    std::vector<std::uint8_t> header(kSlotHeaderBytes);
    LMFS_TRY(pread_full(fd, header, sb.slot_offset(slot), "cannot read a slot"));
    if (get_le64(header, 0) != kSlotMagic || get_le64(header, 8) != sb.stamp ||
        get_le64(header, 40) != fnv1a64(std::span(header).first(40))) {
      continue;
    }
    const std::uint64_t generation = get_le64(header, 16);
    const std::uint64_t length = get_le64(header, 24);
    if (length > sb.slot_bytes() - kSlotHeaderBytes || (best && best->generation >= generation)) {
      continue;
    }
    std::vector<std::uint8_t> payload(length);
    if (auto r = pread_full(fd, payload, sb.slot_offset(slot) + kSlotHeaderBytes,
                            "cannot read an image");
        !r) {
      return std::unexpected(r.error());
    }
    if (fnv1a64(payload) != get_le64(header, 32)) {
      why = "slot " + std::to_string(slot) + " torn";
      continue;
    }
    auto image = decode_image(payload);
    if (!image) {
      why = "slot " + std::to_string(slot) + ": " + image.error().what;
      continue;
    }
    best = StoredImage{std::move(*image), generation, slot};
  }
  if (!best) {
    return fail("no valid image on the device" + (why.empty() ? "" : " (" + why + ")"), EUCLEAN);
  }
  return std::move(*best);
}

Result<void> clear_slot(int fd, const Superblock& sb, std::uint32_t slot) {
  const std::vector<std::uint8_t> zeros(kSlotHeaderBytes);
  return pwrite_full(fd, zeros, sb.slot_offset(slot), "cannot clear a slot");
}

}  // namespace lmfs::standin
