// A library that looks like a plug-in from outside but differs in one
// checked way, chosen at build time. The LAYOUT_ABSENT variant passes every
// check it meets and loads: it only leaves its type layout out.
#include "lmfs_interface/plugin.h"
#include "lmfs_abi/type_layout.h"

using namespace lmfs::abi;

namespace {
std::uint32_t take_pair_a(U16x1 p) { return p.a; }
#ifdef FAKE_BAD_CABI
std::uint32_t take_pair_b(U16x1 p) { return p.a; }  // forgets the shift
#else
std::uint32_t take_pair_b(U16x1 p) { return static_cast<std::uint32_t>(p.a) << 16; }
#endif
U16x1 ret_pair_a(std::uint32_t n) { return {static_cast<std::uint16_t>(n)}; }
U16x1 ret_pair_b(std::uint32_t n) { return {static_cast<std::uint16_t>(n >> 16)}; }
std::uint64_t take_triple_a(U16x2 t) { return (std::uint64_t{t.a} << 16) + (std::uint64_t{t.b} << 32); }
std::uint64_t take_triple_b(U16x2 t) { return std::uint64_t{t.a} + (std::uint64_t{t.b} << 32); }
std::uint64_t take_triple_c(U16x2 t) { return std::uint64_t{t.a} + (std::uint64_t{t.b} << 16); }
U16x2 ret_triple_a(std::uint64_t n) { return {static_cast<std::uint16_t>(n >> 16), static_cast<std::uint16_t>(n >> 32)}; }
U16x2 ret_triple_b(std::uint64_t n) { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 32)}; }
U16x2 ret_triple_c(std::uint64_t n) { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 16)}; }
std::uint64_t take_2_pairs_a(U16x1 a, U16x1 b) { return (std::uint64_t{a.a} << 16) + (std::uint64_t{b.a} << 48); }
std::uint64_t take_2_pairs_b(U16x1 a, U16x1 b) { return std::uint64_t{a.a} + (std::uint64_t{b.a} << 32); }
U16x2 ret_2_pairs_a(std::uint64_t n) { return {static_cast<std::uint16_t>(n >> 16), static_cast<std::uint16_t>(n >> 48)}; }
U16x2 ret_2_pairs_b(std::uint64_t n) { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 32)}; }
std::uint64_t mixed_units(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
  return std::uint64_t{a} | (std::uint64_t{b} << 16) | (std::uint64_t{c} << 32) | (std::uint64_t{d} << 48);
}
const CAbiTestingFns fns = {take_pair_a,    take_pair_b,    ret_pair_a,    ret_pair_b,    take_triple_a,
                            take_triple_b,  take_triple_c,  ret_triple_a,  ret_triple_b,  ret_triple_c,
                            take_2_pairs_a, take_2_pairs_b, ret_2_pairs_a, ret_2_pairs_b, mixed_units};
void init_globals(const void*) {}
void lock(const RawMutexState*) {}
bool try_lock(const RawMutexState*) { return true; }
bool try_lock_for(const RawMutexState*, RDuration) { return true; }
const MutexVTable mutex_vtable = {{kMutexVTableMask, nullptr}, {lock, try_lock, lock, try_lock_for}};
#ifdef FAKE_LAYOUT_ABSENT
// Loads: a root module whose `new` is never called.
NewResult new_driver(RawValueBox) {
  NewResult r{};
  r.tag = kRErr;
  return r;
}
const StorageDriverMod root_module = {{kStorageDriverModMask, nullptr}, {new_driver}};
RootModuleResult constructor() {
  RootModuleResult r{};
  r.tag = kROk;
  r.payload.ok = &root_module;
  return r;
}
#else
RootModuleResult constructor() {
  RootModuleResult r{};
  r.tag = kRErr;
  return r;
}
#endif

#ifdef FAKE_FOREIGN_LAYOUT
// A layout of some other root module: an empty struct `Foreign`.
UTypeId foreign_type_id() { return UTypeId{}; }
const tl::MonoSharedVars foreign_strings{"", nullptr, 0, 0};
const tl::SharedVars foreign_vars{&foreign_strings, nullptr, nullptr, 0, 0};
const tl::MonoTypeLayout foreign_mono{foreign_strings,
                                      "Foreign",
                                      {{"lmfs-storage-driver;0.0.0-next", 30}, 1, "fake_plugin"},
                                      {tl::DataKind::Struct, tl::Primitive::U8, {.fields = {nullptr, nullptr, 0}}},
                                      {"", 0, 0, 0},
                                      nullptr,
                                      0,
                                      {tl::ReprKind::C, 0},
                                      {tl::ReflKind::Module, 0},
                                      7};
const tl::TypeLayout foreign_layout{&foreign_vars, &foreign_mono, false, 0, 0, nullptr,
                                    {static_cast<std::uint32_t>(tl::DataKind::Struct), {}},
                                    nullptr, foreign_type_id};
#define FAKE_LAYOUT_TAG kLayoutIncluded
#define FAKE_LAYOUT &foreign_layout
#else
#define FAKE_LAYOUT_TAG kLayoutAbsent
#define FAKE_LAYOUT nullptr
#endif
}  // namespace

#ifndef FAKE_MAGIC
#define FAKE_MAGIC "abi stable library for Rust     "
#endif
#ifndef FAKE_ABI_MINOR
#define FAKE_ABI_MINOR 11
#endif
#ifndef FAKE_VERSION
#define FAKE_VERSION "0.0.0-next"
#endif

namespace {
// Copies the 32-byte magic (no terminating NUL) into the header at load time.
struct MagicWriter {
  MagicWriter();
} magic_writer;
}  // namespace

extern "C" {
__attribute__((visibility("default"))) LibHeader _1as_0lib_1header_0root_bmodule_bloader = {
    {}, 0, FAKE_ABI_MINOR, {"storage_driver", 14}, {"storage_driver", 14},
    {FAKE_VERSION, sizeof(FAKE_VERSION) - 1}, FAKE_LAYOUT_TAG, FAKE_LAYOUT, &fns, init_globals, nullptr, {0}, {&mutex_vtable},
    constructor};
}

MagicWriter::MagicWriter() { std::memcpy(_1as_0lib_1header_0root_bmodule_bloader.magic, FAKE_MAGIC, 32); }
