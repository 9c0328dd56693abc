// The stand-in loomfs on disk.
//
//   byte 0        1024          4096                                   S        S+1024
//   | zero       | superblock  | slot 0 (A units) | slot 1 (A units) | ...    | superblock copy |
//
// Units are 1024 << e bytes (e = 2, so 4 KiB). S, the secondary copy's offset,
// is (size - 4096) rounded down to a multiple of 4096. The two slots hold the
// whole file system (checkpoint list and tree) alternately: each write goes to
// the slot not holding the newest image, under a header with a generation
// number and a hash, so a torn write leaves the previous image in force.
// Values are little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "result.h"

namespace lmfs::standin {

inline constexpr std::uint64_t kSuperblockOffset = 1024;
inline constexpr std::uint64_t kSuperblockSize = 1024;
inline constexpr std::uint16_t kSuperblockMagic = 0x8888;
inline constexpr std::uint16_t kLayoutVersion = 1;
inline constexpr std::uint32_t kUnitShift = 2;  // units of 1024 << 2 bytes
inline constexpr std::uint32_t kSlotCount = 2;
inline constexpr std::uint64_t kMinDeviceBytes = 64 * 1024;

// Little-endian field access on byte buffers.
void put_le16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v);
void put_le32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v);
void put_le64(std::span<std::uint8_t> b, std::size_t off, std::uint64_t v);
[[nodiscard]] std::uint16_t get_le16(std::span<const std::uint8_t> b, std::size_t off);
[[nodiscard]] std::uint32_t get_le32(std::span<const std::uint8_t> b, std::size_t off);
[[nodiscard]] std::uint64_t get_le64(std::span<const std::uint8_t> b, std::size_t off);

// FNV-1a, 64 bits; guards slot headers and images against torn writes.
[[nodiscard]] std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes);

// Offset of the secondary superblock copy on a device of `size` bytes. Wraps
// around for devices under 4096 bytes, as the unsigned arithmetic does.
[[nodiscard]] constexpr std::uint64_t secondary_offset(std::uint64_t size) {
  return (size - 4096) & ~std::uint64_t{4095};
}

// The superblock fields, by byte offset in the 1024-byte copy.
struct Superblock {
  std::uint16_t magic = kSuperblockMagic;  // 6
  std::uint16_t sb_bytes = kSuperblockSize;  // 8: bytes of the copy in use, at most 1024
  std::uint16_t version = kLayoutVersion;  // 10
  std::uint32_t unit_shift = kUnitShift;   // 20 (low byte): unit = 1024 << unit_shift
  std::uint64_t slot_units = 0;            // 24 (A): units per slot
  std::uint64_t data_start_unit = 1;       // 32: first unit of slot 0
  std::uint64_t device_bytes = 0;          // 40: size when formatted
  std::uint32_t slot_count = kSlotCount;   // 48 (B)
  std::uint64_t stamp = 0;                 // 56: identifies one format run
  std::uint64_t incompat = 0;              // 272: must be 0

  [[nodiscard]] std::array<std::uint8_t, kSuperblockSize> encode() const;
  [[nodiscard]] static Superblock decode(std::span<const std::uint8_t> copy);

  [[nodiscard]] std::uint64_t unit_bytes() const { return std::uint64_t{1024} << unit_shift; }
  [[nodiscard]] std::uint64_t slot_bytes() const { return slot_units * unit_bytes(); }
  [[nodiscard]] std::uint64_t slot_offset(std::uint32_t slot) const {
    return (data_start_unit + std::uint64_t{slot} * slot_units) * unit_bytes();
  }
};

// The superblock for a device of `size` bytes; refuses devices under
// kMinDeviceBytes.
[[nodiscard]] Result<Superblock> plan_superblock(std::uint64_t size, std::uint64_t stamp);

// Whether one copy read from a device of `size` bytes passes the checks every
// reader applies (magic, the field at 8, and for the secondary copy the extent
// rule), and what is wrong with it otherwise.
[[nodiscard]] Result<void> check_copy(std::span<const std::uint8_t> copy, bool secondary,
                                      std::uint64_t size);

// Reads both copies from the open device of `size` bytes and returns the
// primary if it passes the checks, else the secondary; then insists on what
// the stand-in itself needs (its version, two slots inside the device, no
// incompatible features).
[[nodiscard]] Result<Superblock> read_superblock(int fd, std::uint64_t size);

}  // namespace lmfs::standin
