// Where a host may read and call: extents inside one range only, never
// wrapping around the address space, and the loaded objects' segments with
// the access their program headers give.
#include "lmfs_abi_host/mapped_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>

namespace lmfs::abi {
namespace {

const void* at(std::uintptr_t a) { return reinterpret_cast<const void*>(a); }

TEST(MappedMemory, AnExtentMustLieInsideOneRange) {
  alignas(16) static std::uint8_t around[80];
  std::uint8_t* const bytes = around + 8;  // 64 bytes named, 8 unnamed on either side
  MappedMemory m;
  m.add(bytes, 32, MappedMemory::kRead).add(bytes + 32, 32, MappedMemory::kRead | MappedMemory::kExec);
  EXPECT_TRUE(m.contains(bytes, 32));
  EXPECT_TRUE(m.contains(bytes + 32, 32));
  EXPECT_FALSE(m.contains(bytes + 16, 32)) << "straddles two ranges";
  // The last byte and one past it.
  EXPECT_TRUE(m.contains(bytes + 63, 1));
  EXPECT_FALSE(m.contains(bytes + 63, 2));
  EXPECT_FALSE(m.contains(bytes + 64, 1));
  EXPECT_FALSE(m.contains(bytes - 1, 1));
  EXPECT_EQ(m.readable_from(bytes + 40), 24u);
  EXPECT_EQ(m.readable_from(bytes + 63), 1u);
  EXPECT_EQ(m.readable_from(bytes + 64), 0u);
  // Code only where the range is executable.
  EXPECT_TRUE(m.executable(bytes + 32));
  EXPECT_TRUE(m.executable(bytes + 63));
  EXPECT_FALSE(m.executable(bytes + 31));
  EXPECT_FALSE(m.executable(bytes + 64));
  EXPECT_FALSE(m.writable(bytes, 8));
}

TEST(MappedMemory, OverlappingRangesAreEachFound) {
  alignas(16) static std::uint8_t bytes[64];
  MappedMemory m;
  m.add(bytes, 64, MappedMemory::kRead).add(bytes + 8, 8, MappedMemory::kRead).add(bytes + 40, 4, MappedMemory::kExec);
  EXPECT_TRUE(m.contains(bytes + 4, 32)) << "found in the range beginning before the small one";
  EXPECT_TRUE(m.contains(bytes + 42, 20));
  EXPECT_TRUE(m.executable(bytes + 41));
  EXPECT_FALSE(m.executable(bytes + 44));
}

TEST(MappedMemory, AnExtentThatWrapsAroundIsRefused) {
  constexpr std::uintptr_t top = std::numeric_limits<std::uintptr_t>::max();
  constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
  MappedMemory m;
  m.add(at(top - 15), 15, MappedMemory::kRead);  // the last bytes of the address space (never read)
  EXPECT_TRUE(m.contains(at(top - 8), 8));
  EXPECT_FALSE(m.contains(at(top - 8), 16)) << "pointer + length wraps to a small address";
  EXPECT_FALSE(m.contains(at(top - 8), most));
  // count × size wrapping to zero would read nothing if unchecked.
  EXPECT_FALSE(m.contains(at(top - 8), most / 2 + 1, 2));
  EXPECT_TRUE(m.contains(at(top - 8), 4, 2));

  const MappedMemory all = MappedMemory::everything();
  EXPECT_TRUE(all.contains(at(4096), 4096));
  EXPECT_FALSE(all.contains(at(top - 8), 16));
  EXPECT_FALSE(all.contains(at(4096), most / 8 + 1, 8));
  EXPECT_FALSE(all.contains(nullptr, 1));
  EXPECT_FALSE(all.executable(nullptr));
}

int a_function() { return 7; }
int mutable_static = 1;
const char kText[] = "read-only text";
// Pointers in a const table are relocated, then made read-only (RELRO).
const void* const kRelocated[] = {&mutable_static, &kText};

TEST(MappedMemory, LoadedObjectsAreTheirSegments) {
  const MappedMemory m = MappedMemory::loaded_objects();
  EXPECT_TRUE(m.contains(kText, sizeof kText));
  EXPECT_TRUE(m.executable(&a_function));
  EXPECT_FALSE(m.executable(kText));
  EXPECT_TRUE(m.writable(&mutable_static, sizeof mutable_static));
  EXPECT_FALSE(m.writable(kText, sizeof kText));
  EXPECT_TRUE(m.contains(kRelocated, sizeof kRelocated));
  EXPECT_FALSE(m.writable(kRelocated, sizeof kRelocated)) << "read-only once relocated";

  const auto heap = std::make_unique<std::uint64_t>(0);
  const std::uint64_t on_stack = 0;
  EXPECT_FALSE(m.contains(heap.get(), 8));
  EXPECT_FALSE(m.contains(&on_stack, 8));
  EXPECT_FALSE(m.executable(heap.get()));
  EXPECT_EQ(m.readable_from(heap.get()), 0u);
}

}  // namespace
}  // namespace lmfs::abi
