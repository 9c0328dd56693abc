// The library header a host finds under the one exported symbol, and the root
// module StorageDriverMod it builds from it.
#pragma once

#include "lmfs_storage_driver/abi.h"
#include "lmfs_storage_driver/driver.h"

namespace lmfs::abi {

inline constexpr char kHeaderSymbol[] = "_1as_0lib_1header_0root_bmodule_bloader";
// 27 characters and five blanks.
inline constexpr char kMagic[33] = "abi stable library for Rust     ";
inline constexpr std::uint32_t kAbiMajor = 0;
inline constexpr std::uint32_t kAbiMinor = 11;

// Root module: a prefix table of one field, `new`.
struct StorageDriverModFields {
  NewResult (*new_)(RawValueBox params);
};
using StorageDriverMod = WithMetadata<StorageDriverModFields>;
namespace tl {
extern const PTStructLayout root_module_table_layout;
extern const PTStructLayout mutex_vtable_layout;
}  // namespace tl
inline constexpr std::uint64_t kStorageDriverModMask = 0x1;
static_assert(offsetof(StorageDriverMod, fields.new_) == 16);

// --- C calling-convention self-test --------------------------------------
// The host calls these to check that both sides pass small aggregates the
// same way. The framework's records are tuples whose unit members take no
// room, so each record below is just its integers, in order.
struct U16x1 {
  std::uint16_t a;
};
struct U16x2 {
  std::uint16_t a, b;
};
static_assert(sizeof(U16x1) == 2 && sizeof(U16x2) == 4);

struct CAbiTestingFns {
  std::uint32_t (*take_pair_a)(U16x1);
  std::uint32_t (*take_pair_b)(U16x1);
  U16x1 (*ret_pair_a)(std::uint32_t);
  U16x1 (*ret_pair_b)(std::uint32_t);
  std::uint64_t (*take_triple_a)(U16x2);
  std::uint64_t (*take_triple_b)(U16x2);
  std::uint64_t (*take_triple_c)(U16x2);
  U16x2 (*ret_triple_a)(std::uint64_t);
  U16x2 (*ret_triple_b)(std::uint64_t);
  U16x2 (*ret_triple_c)(std::uint64_t);
  std::uint64_t (*take_2_pairs_a)(U16x1, U16x1);
  std::uint64_t (*take_2_pairs_b)(U16x1, U16x1);
  U16x2 (*ret_2_pairs_a)(std::uint64_t);
  U16x2 (*ret_2_pairs_b)(std::uint64_t);
  std::uint64_t (*mixed_units)(std::uint16_t, std::uint16_t, std::uint16_t, std::uint16_t);
};
static_assert(sizeof(CAbiTestingFns) == 15 * 8);

// --- The header's lock ----------------------------------------------------
struct RawMutexState {
  std::uint64_t word;
};
struct RDuration {
  std::uint64_t seconds;
  std::uint32_t subsec_nanos;
};
struct MutexVTableFields {
  void (*lock)(const RawMutexState*);
  bool (*try_lock)(const RawMutexState*);
  void (*unlock)(const RawMutexState*);
  bool (*try_lock_for)(const RawMutexState*, RDuration);
};
using MutexVTable = WithMetadata<MutexVTableFields>;
inline constexpr std::uint64_t kMutexVTableMask = 0xF;

// RootModuleError: Returned(RBoxError) = 0, Unwound = 1.
struct RBoxError {
  RBox value;
  const void* vtable;
};
struct RootModuleError {
  std::uint8_t tag;
  alignas(8) RBoxError returned;
};
static_assert(sizeof(RootModuleError) == 32);

// RResult<PrefixRef<ErasedPrefix>, RootModuleError>
using RootModuleResult = RResult<const void*, RootModuleError>;
static_assert(sizeof(RootModuleResult) == 40);

// IsLayoutChecked: Yes(&TypeLayout) = 0, No = 1.
inline constexpr std::uint8_t kLayoutIncluded = 0;
inline constexpr std::uint8_t kLayoutAbsent = 1;

struct LibHeader {
  char magic[32];
  std::uint32_t abi_major;
  std::uint32_t abi_minor;
  RStr base_name;
  RStr name;
  RStr version;
  std::uint8_t layout_tag;
  alignas(8) const void* layout;
  const CAbiTestingFns* c_abi_testing_fns;
  void (*init_globals_with)(const void* globals);
  const void* module;  // the root module slot, null until the host fills it
  RawMutexState lock_state;
  PrefixRef<MutexVTableFields> lock_vtable;
  RootModuleResult (*constructor)();
};
static_assert(sizeof(LibHeader) == 152);
static_assert(offsetof(LibHeader, abi_major) == 32 && offsetof(LibHeader, abi_minor) == 36);
static_assert(offsetof(LibHeader, base_name) == 40 && offsetof(LibHeader, name) == 56);
static_assert(offsetof(LibHeader, version) == 72 && offsetof(LibHeader, layout_tag) == 88);
static_assert(offsetof(LibHeader, layout) == 96 && offsetof(LibHeader, c_abi_testing_fns) == 104);
static_assert(offsetof(LibHeader, init_globals_with) == 112 && offsetof(LibHeader, module) == 120);
static_assert(offsetof(LibHeader, lock_state) == 128 && offsetof(LibHeader, lock_vtable) == 136);
static_assert(offsetof(LibHeader, constructor) == 144);

}  // namespace lmfs::abi
