// The persistent state of a stand-in loomfs, as one image written to a slot:
// the checkpoint list and the file tree.
//
// Checkpoints are numbered 1, 2, ... and never cleaned (the mount runs with
// nogc), so the list is the last number handed out plus the numbers that were
// made snapshots. The tree is a flat list of inodes and directory entries.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "layout.h"
#include "result.h"

namespace lmfs::standin {

inline constexpr std::uint64_t kRootIno = 1;

struct NodeRecord {
  std::uint64_t ino = 0;
  std::uint32_t mode = 0;  // type and permission bits
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t nlink = 0;
  timespec atime{};
  timespec mtime{};
  timespec ctime{};
  std::string data;  // a file's contents or a link's target; empty for directories
};

struct EntryRecord {
  std::uint64_t dir = 0;
  std::uint64_t child = 0;
  std::string name;
};

struct Image {
  std::uint64_t last_checkpoint = 0;    // 0: none written yet
  std::vector<std::uint64_t> snapshots;  // ascending, each <= last_checkpoint
  std::uint64_t next_ino = kRootIno + 1;
  std::vector<NodeRecord> nodes;
  std::vector<EntryRecord> entries;
};

// Bytes that one node and one entry take in an encoded image, besides their
// data and name; the daemon sizes its free space with these.
inline constexpr std::uint64_t kNodeRecordBytes = 68;
inline constexpr std::uint64_t kEntryRecordBytes = 20;
inline constexpr std::uint64_t kImageFixedBytes = 48;
inline constexpr std::uint64_t kSlotHeaderBytes = 64;

// A new file system: an empty root directory owned by `uid`:`gid`.
[[nodiscard]] Image fresh_image(std::uint32_t uid, std::uint32_t gid, timespec now);

[[nodiscard]] std::vector<std::uint8_t> encode_image(const Image& image);

// Decodes and checks an image: every field inside the buffer, a root
// directory, entries naming existing directories and inodes, unique names.
[[nodiscard]] Result<Image> decode_image(std::span<const std::uint8_t> bytes);

// The newest valid image on a device and where it lies.
struct StoredImage {
  Image image;
  std::uint64_t generation = 0;
  std::uint32_t slot = 0;
};

// Writes `image` as `generation` into `slot` and flushes the device.
[[nodiscard]] Result<void> write_image(int fd, const Superblock& sb, const Image& image,
                                       std::uint64_t generation, std::uint32_t slot);

// Reads both slots and returns the image with the highest generation among
// those whose header and hash check out and whose stamp matches `sb`.
[[nodiscard]] Result<StoredImage> read_newest_image(int fd, const Superblock& sb);

// Clears the header of `slot` so that nothing stale is read from it.
[[nodiscard]] Result<void> clear_slot(int fd, const Superblock& sb, std::uint32_t slot);

}  // namespace lmfs::standin
