// A library that looks like a plug-in from outside but differs in one
// checked way, chosen at build time. The LAYOUT_ABSENT variant passes every
// check it meets and loads: it only leaves its type layout out. The
// WILD_LAYOUT variant points its layout at bytes that are no layout.
#include <cstring>

#include "lmfs_abi/type_layout.h"
#include "lmfs_interface/plugin.h"

using namespace lmfs::abi;

namespace {
#ifdef FAKE_BAD_CABI
// The framework's self-test, but for one function that forgets its shift.
const CAbiTestingFns fns = [] {
  CAbiTestingFns f = kCAbiTestingFns;
  f.take_pair_b = [](U16x1 p) -> std::uint32_t { return p.a; };
  return f;
}();
#else
const CAbiTestingFns& fns = kCAbiTestingFns;
#endif
void init_globals(const void*) {}
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
#elif defined(FAKE_WILD_LAYOUT)
// Its layout pointer points at text, whose words read as wild pointers.
const char wild_text[128] = "this text is no type layout: its words read as pointers to nowhere";
#define FAKE_LAYOUT_TAG kLayoutIncluded
#define FAKE_LAYOUT static_cast<const void*>(wild_text)
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
    {FAKE_VERSION, sizeof(FAKE_VERSION) - 1}, FAKE_LAYOUT_TAG, FAKE_LAYOUT, &fns, init_globals, nullptr, {0}, {&kHeaderMutexVTable},
    constructor};
}

MagicWriter::MagicWriter() { std::memcpy(_1as_0lib_1header_0root_bmodule_bloader.magic, FAKE_MAGIC, 32); }
