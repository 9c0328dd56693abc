// The library header a host finds under a plug-in's one exported symbol, as
// the framework lays it out, and what both sides of a load need of it: the
// C-ABI self-test (the plug-in's 15 functions and the host's round trips),
// the header's lock, and the root-module constructor's result.
//
// A plug-in defines its header with `LMFS_ABI_LIBRARY_HEADER` (plugin side,
// below); a host reads it with the checks of `run_c_abi_tests` and the
// version rules of version.h.
#pragma once

#include <expected>
#include <string>

#include "lmfs_abi/records.h"

namespace lmfs::abi {

inline constexpr char kHeaderSymbol[] = "_1as_0lib_1header_0root_bmodule_bloader";
// 27 characters and five blanks.
inline constexpr char kMagic[33] = "abi stable library for Rust     ";
inline constexpr std::uint32_t kAbiMajor = 0;
inline constexpr std::uint32_t kAbiMinor = 11;

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

namespace tl {
extern const PTStructLayout mutex_vtable_layout;
}  // namespace tl

// ---- the plug-in's side -------------------------------------------------

// The 15 self-test functions, computing what the framework's own do.
extern const CAbiTestingFns kCAbiTestingFns;
// The header lock's table, over the 8-byte state word of the header (0 =
// unlocked).
extern const MutexVTable kHeaderMutexVTable;
// Takes the host's globals; a plug-in of this project keeps no registry.
void init_globals_with(const void* globals) noexcept;
// The constructor's answer: Ok with the root module.
[[nodiscard]] RootModuleResult root_module_ok(const void* root_module) noexcept;

// ---- the host's side ----------------------------------------------------

// Calls every self-test function with the framework's round trips; the error
// lists each one that answered differently.
[[nodiscard]] std::expected<void, std::string> run_c_abi_tests(const CAbiTestingFns& fns);

}  // namespace lmfs::abi

// Defines the exported library header of a plug-in whose root module is
// made by CONSTRUCTOR (a `RootModuleResult (*)() noexcept`) and whose root
// module layout is LAYOUT (a `const tl::TypeLayout*`), with the base name,
// name and version texts given. Writable: the host fills the module slot.
// The texts are writable data too, never written: they lie on the header's
// page, so the host's first reads of the library touch that page alone.
#define LMFS_ABI_LIBRARY_HEADER(BASE_NAME, NAME, VERSION, LAYOUT, CONSTRUCTOR)                       \
  namespace {                                                                                     \
  constinit char lmfs_header_base_name[] = BASE_NAME;                                             \
  constinit char lmfs_header_name[] = NAME;                                                       \
  constinit char lmfs_header_version[] = VERSION;                                                 \
  }                                                                                               \
  extern "C" {                                                                                    \
  __attribute__((visibility("default"))) ::lmfs::abi::LibHeader _1as_0lib_1header_0root_bmodule_bloader = { \
      {'a', 'b', 'i', ' ', 's', 't', 'a', 'b', 'l', 'e', ' ', 'l', 'i', 'b', 'r', 'a',                  \
       'r', 'y', ' ', 'f', 'o', 'r', ' ', 'R', 'u', 's', 't', ' ', ' ', ' ', ' ', ' '},                 \
      ::lmfs::abi::kAbiMajor,                                                                     \
      ::lmfs::abi::kAbiMinor,                                                                     \
      {lmfs_header_base_name, sizeof(lmfs_header_base_name) - 1},                                 \
      {lmfs_header_name, sizeof(lmfs_header_name) - 1},                                           \
      {lmfs_header_version, sizeof(lmfs_header_version) - 1},                                     \
      ::lmfs::abi::kLayoutIncluded,                                                               \
      LAYOUT,                                                                                     \
      &::lmfs::abi::kCAbiTestingFns,                                                              \
      ::lmfs::abi::init_globals_with,                                                             \
      nullptr,                                                                                    \
      {0},                                                                                        \
      {&::lmfs::abi::kHeaderMutexVTable},                                                         \
      CONSTRUCTOR,                                                                                \
  };                                                                                              \
  }
