// Fuzzes the superblock reader with device images in a memory file.  Input:
// two bytes that stretch the image, then its first bytes; bytes 2048 to 3071
// of those are also written where the secondary copy lives.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "loomfs.h"

namespace {

uint64_t Le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

bool SameBytes(int fd, uint64_t offset, const unsigned char* copy) {
  unsigned char buf[LOOMFS_SB_SIZE];
  return pread(fd, buf, sizeof buf, static_cast<off_t>(offset)) == LOOMFS_SB_SIZE &&
         memcmp(buf, copy, sizeof buf) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("loomfs-image", MFD_CLOEXEC);
  if (fd < 0 || size < 2) return 0;
  const uint64_t stretch = (data[0] | data[1] << 8) * uint64_t{61};
  const uint8_t* body = data + 2;
  const size_t n = size - 2;
  const uint64_t image = n + stretch;
  const uint64_t secondary = (image - 4096) & ~uint64_t{4095};

  if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(image)) != 0) abort();
  if (n > 0 && pwrite(fd, body, n, 0) != static_cast<ssize_t>(n)) abort();
  if (image >= 4096 && n > 2048) {
    size_t len = std::min<size_t>(n - 2048, LOOMFS_SB_SIZE);
    if (pwrite(fd, body + 2048, len, static_cast<off_t>(secondary)) != static_cast<ssize_t>(len)) abort();
  }

  errno = 0;
  unsigned char* sb = loomfs_sb_read(fd);
  if (sb == nullptr) {
    if (errno != EINVAL) abort();
    return 0;
  }
  // What came back is a checked copy read from one of the two places.
  if (Le(sb + 6, 2) != LOOMFS_SB_MAGIC || Le(sb + 8, 2) > 1024) abort();
  if (!SameBytes(fd, 1024, sb)) {
    if (image < 4096 || !SameBytes(fd, secondary, sb)) abort();
    unsigned shift = (sb[20] + 10u) & 63;
    if (((Le(sb + 48, 4) * Le(sb + 24, 8)) << shift) > secondary) abort();
  }
  free(sb);
  return 0;
}
