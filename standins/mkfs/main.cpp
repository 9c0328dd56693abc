// mkfs.loomfs -q -f -O block_count DEVICE
//
// Makes a stand-in loomfs on DEVICE (a block device or an image file): both
// superblock copies and an image holding an empty root directory and no
// checkpoints. Refuses devices that are too small or served by a daemon.
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string_view>
#include <unistd.h>

#include "device.h"
#include "image.h"
#include "layout.h"
#include "lmfs_base/try.h"

namespace lmfs::standin {
namespace {

constexpr const char* kUsage = "usage: mkfs.loomfs -q -f -O block_count DEVICE\n";

std::uint64_t new_stamp() {
  std::random_device rd;
  return (std::uint64_t{rd()} << 32) ^ rd() ^ static_cast<std::uint64_t>(::getpid());
}

timespec now() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

Result<void> format(const std::string& name) {
  auto info = LMFS_TRY(inspect_device(name));
  auto fd = LMFS_TRY(open_fd(info.path, O_RDWR));
  auto locked = LMFS_TRY(try_lock_device(fd.get()));
  if (!locked) {
    return fail(info.path + " is mounted; not making a file system on it");
  }
  auto size = LMFS_TRY(device_size(fd.get()));
  auto sb = plan_superblock(size, new_stamp());
  if (!sb) {
    return fail(info.path + ": " + sb.error().what);
  }
  // Slots first, superblocks last: a device that was interrupted half-way
  // keeps no superblock that points at stale slots of the same stamp.
  for (std::uint32_t slot = 0; slot < sb->slot_count; ++slot) {
    LMFS_TRY(clear_slot(fd.get(), *sb, slot));
  }
  const Image image = fresh_image(static_cast<std::uint32_t>(::getuid()),
                                  static_cast<std::uint32_t>(::getgid()), now());
  LMFS_TRY(write_image(fd.get(), *sb, image, 1, 0));

  std::vector<std::uint8_t> head(kSuperblockOffset + kSuperblockSize);
  const auto copy = sb->encode();
  std::copy(copy.begin(), copy.end(), head.begin() + kSuperblockOffset);
  LMFS_TRY(pwrite_full(fd.get(), head, 0, "cannot write the superblock"));
  if (auto w = pwrite_full(fd.get(), copy, secondary_offset(size),
                           "cannot write the superblock copy");
      !w) {
    return w;
  }
  if (::fsync(fd.get()) != 0) {
    return sys_fail("cannot flush " + info.path);
  }
  return {};
}

}  // namespace
}  // namespace lmfs::standin

int main(int argc, char** argv) {
  using namespace lmfs::standin;
  if (argc != 6 || std::string_view(argv[1]) != "-q" || std::string_view(argv[2]) != "-f" ||
      std::string_view(argv[3]) != "-O" || std::string_view(argv[4]) != "block_count" ||
      argv[5][0] == '\0') {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (auto r = format(argv[5]); !r) {
    std::fprintf(stderr, "mkfs.loomfs: %s\n", r.error().message().c_str());
    return kExitFailure;
  }
  return kExitOk;
}
