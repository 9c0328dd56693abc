#include "layout.h"

#include <vector>

#include "fd.h"
#include "lmfs_base/try.h"

namespace lmfs::standin {

void put_le16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  for (std::size_t i = 0; i < 2; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_le32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_le64(std::span<std::uint8_t> b, std::size_t off, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint16_t get_le16(std::span<const std::uint8_t> b, std::size_t off) {
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
std::uint32_t get_le32(std::span<const std::uint8_t> b, std::size_t off) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{b[off + i]} << (8 * i);
  return v;
}
std::uint64_t get_le64(std::span<const std::uint8_t> b, std::size_t off) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) v |= std::uint64_t{b[off + i]} << (8 * i);
  return v;
}

std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::uint8_t c : bytes) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::array<std::uint8_t, kSuperblockSize> Superblock::encode() const {
  std::array<std::uint8_t, kSuperblockSize> b{};
  put_le16(b, 6, magic);
  put_le16(b, 8, sb_bytes);
  put_le16(b, 10, version);
  put_le32(b, 20, unit_shift);
  put_le64(b, 24, slot_units);
  put_le64(b, 32, data_start_unit);
  put_le64(b, 40, device_bytes);
  put_le32(b, 48, slot_count);
  put_le64(b, 56, stamp);
  put_le64(b, 272, incompat);
  return b;
}

Superblock Superblock::decode(std::span<const std::uint8_t> copy) {
  Superblock sb;
  sb.magic = get_le16(copy, 6);
  sb.sb_bytes = get_le16(copy, 8);
  sb.version = get_le16(copy, 10);
  sb.unit_shift = get_le32(copy, 20);
  sb.slot_units = get_le64(copy, 24);
  sb.data_start_unit = get_le64(copy, 32);
  sb.device_bytes = get_le64(copy, 40);
  sb.slot_count = get_le32(copy, 48);
  sb.stamp = get_le64(copy, 56);
  sb.incompat = get_le64(copy, 272);
  return sb;
}

Result<Superblock> plan_superblock(std::uint64_t size, std::uint64_t stamp) {
  if (size < kMinDeviceBytes) {
    return fail("device too small (" + std::to_string(size) + " bytes); a loomfs needs at least " +
                std::to_string(kMinDeviceBytes) + " bytes");
  }
  Superblock sb;
  const std::uint64_t units_before_copy = secondary_offset(size) / sb.unit_bytes();
  sb.slot_units = (units_before_copy - sb.data_start_unit) / kSlotCount;
  sb.device_bytes = size;
  sb.stamp = stamp;
  return sb;
}

Result<void> check_copy(std::span<const std::uint8_t> copy, bool secondary, std::uint64_t size) {
  if (get_le16(copy, 6) != kSuperblockMagic) {
    return fail("bad magic");
  }
  if (get_le16(copy, 8) > kSuperblockSize) {
    return fail("bad superblock size field");
  }
  if (secondary) {
    const std::uint64_t a = get_le64(copy, 24);
    const std::uint64_t b = get_le32(copy, 48);
    const unsigned shift = (copy[20] + 10u) % 64u;
    if (((b * a) << shift) > secondary_offset(size)) {
      return fail("described extent runs past the secondary copy");
    }
  }
  return {};
}

namespace {

// What the stand-in needs beyond the common checks.
Result<void> check_usable(const Superblock& sb, std::uint64_t size) {
  if (sb.incompat != 0) {
    return fail("unsupported features in the superblock");
  }
  if (sb.version != kLayoutVersion || sb.slot_count != kSlotCount || sb.unit_shift > 20 ||
      sb.slot_units == 0 || sb.data_start_unit == 0) {
    return fail("superblock of an unknown layout");
  }
  const std::uint64_t limit = secondary_offset(size) / sb.unit_bytes();
  if (sb.slot_units > limit || sb.data_start_unit > limit ||
      sb.data_start_unit + kSlotCount * sb.slot_units > limit) {
    return fail("superblock describes slots beyond the device");
  }
  return {};
}

}  // namespace

Result<Superblock> read_superblock(int fd, std::uint64_t size) {
  std::vector<std::uint8_t> copy(kSuperblockSize);
  std::string why = "too short";
  if (size >= kSuperblockOffset + kSuperblockSize) {
    LMFS_TRY(pread_full(fd, copy, kSuperblockOffset, "cannot read the superblock"));
    auto ok = check_copy(copy, false, size);
    if (ok) {
      const Superblock sb = Superblock::decode(copy);
      LMFS_TRY(check_usable(sb, size));
      return sb;
    }
    why = "primary copy: " + ok.error().what;
  }
  const std::uint64_t s = secondary_offset(size);
  if (size >= kSuperblockSize && s <= size - kSuperblockSize) {
    LMFS_TRY(pread_full(fd, copy, s, "cannot read the superblock copy"));
    auto ok = check_copy(copy, true, size);
    if (ok) {
      const Superblock sb = Superblock::decode(copy);
      LMFS_TRY(check_usable(sb, size));
      return sb;
    }
    why += "; secondary copy: " + ok.error().what;
  }
  return fail("no loomfs file system (" + why + ")", EINVAL);
}

}  // namespace lmfs::standin
