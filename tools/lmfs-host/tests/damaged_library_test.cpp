// Damaged libraries: each field of the library header, the root module and
// the driver object's tables that the loader reads is spoiled in turn on a
// real plug-in (the null driver, loaded into this process), and each is
// refused with its reason instead of being followed. Pointers into memory
// that holds no such record are refused too, in a forked child each (a
// signal fails the row), and by lmfs-host itself.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "lmfs_abi/type_layout.h"
#include "lmfs_testing/process.h"
#include "loader.h"
#include "script.h"

namespace lmfs::host {
namespace {

using namespace lmfs::abi;

// The plug-in's header as loaded; every row spoils it and the fixture puts it
// back.
struct Loaded {
  LibHeader* header;
  LibHeader pristine;  // as it was before any row
};
const Loaded& loaded_plugin() {
  static const Loaded l = [] {
    void* lib = ::dlopen(LMFS_NULL_PLUGIN_PATH, RTLD_LAZY | RTLD_LOCAL);
    EXPECT_NE(lib, nullptr) << ::dlerror();
    auto* h = static_cast<LibHeader*>(::dlsym(lib, kHeaderSymbol));
    return Loaded{h, *h};
  }();
  return l;
}
LibHeader& header() { return *loaded_plugin().header; }

const CAbiTestingFns kNoSelfTest{};
const MutexVTable kLockOnly{{0x1, nullptr}, {kHeaderMutexVTable.fields.lock, nullptr, nullptr, nullptr}};

// A root module of the test's own, whose `new` answers what a row chooses.
NewResult (*answer)() = nullptr;
NewResult new_from_row(RawValueBox params) {
  release(params.string);
  return answer();
}
StorageDriverMod test_module{{kStorageDriverModMask, nullptr}, {&new_from_row}};
const void* constructed = nullptr;
RootModuleResult construct_row_module() {
  RootModuleResult r{};
  r.tag = kROk;
  r.payload.ok = constructed;
  return r;
}

class DamagedLibrary : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = header(); }
  void TearDown() override {
    header() = saved_;
    test_module = {{kStorageDriverModMask, nullptr}, {&new_from_row}};
  }

 private:
  LibHeader saved_{};
};

struct HeaderRow {
  const char* what;
  std::function<void(LibHeader&)> spoil;
  const char* reason;
};

TEST_F(DamagedLibrary, EachSpoiledHeaderFieldIsRefusedWithItsReason) {
  const HeaderRow rows[] = {
      // First: before this host has built the module, a filled slot is not trusted.
      {"module slot filled by the library", [](LibHeader& h) { h.module = &kNoSelfTest; },
       "has its root-module slot filled before any host built the module"},
      {"no self-test", [](LibHeader& h) { h.c_abi_testing_fns = nullptr; }, "has no C-ABI self-test"},
      {"self-test of null entries", [](LibHeader& h) { h.c_abi_testing_fns = &kNoSelfTest; },
       "has a C-ABI self-test without `take_pair_a`"},
      {"no init_globals_with", [](LibHeader& h) { h.init_globals_with = nullptr; },
       "has no `init_globals_with` in its library header"},
      {"layout included but null", [](LibHeader& h) { h.layout = nullptr; },
       "its type layout cannot be read: the root type layout is a null pointer"},
      {"unknown layout tag", [](LibHeader& h) { h.layout_tag = 7; }, "has a library header with an unknown layout tag 7"},
      {"null version text", [](LibHeader& h) { h.version.data = nullptr; }, "its version text is a null pointer"},
      {"endless version text", [](LibHeader& h) { h.version.len = std::size_t{1} << 40; },
       "its version text is 1099511627776 bytes long"},
      {"no lock table", [](LibHeader& h) { h.lock_vtable.ptr = nullptr; }, "has no lock table in its library header"},
      {"lock table without unlock", [](LibHeader& h) { h.lock_vtable.ptr = &kLockOnly; },
       "has a lock table without `lock` and `unlock`"},
      {"no constructor", [](LibHeader& h) { h.constructor = nullptr; }, "has no root-module constructor"},
      {"constructor answering no module",
       [](LibHeader& h) {
         constructed = nullptr;
         h.constructor = &construct_row_module;
       },
       "has a root-module constructor that answered with no module"},
      {"root module without new",
       [](LibHeader& h) {
         test_module.metadata.field_accessibility = 0;
         constructed = &test_module;
         h.constructor = &construct_row_module;
       },
       "the root module has no `new`"},
      {"root module whose new is null",
       [](LibHeader& h) {
         test_module.fields.new_ = nullptr;
         constructed = &test_module;
         h.constructor = &construct_row_module;
       },
       "has a root module whose `new` is a null pointer"},
  };
  for (const HeaderRow& r : rows) {
    SCOPED_TRACE(r.what);
    LibHeader& h = header();
    const LibHeader before = h;
    test_module = {{kStorageDriverModMask, nullptr}, {&new_from_row}};
    if (std::string_view(r.what) != "module slot filled by the library") h.module = nullptr;
    r.spoil(h);
    auto loaded = load_plugin(LMFS_NULL_PLUGIN_PATH);
    ASSERT_FALSE(loaded);
    EXPECT_NE(loaded.error().message().find(r.reason), std::string::npos) << loaded.error().message();
    h = before;
  }
}

struct ObjectRow {
  const char* what;
  void (*spoil)(NewResult&);  // applied to a whole object of the null driver's
  const char* reason;
};

VTable spoilt_table;
RObjectVtable spoilt_object_table;
void (*spoil_object)(NewResult&) = nullptr;

// An object made of the null driver's own tables (copies, so that a row can
// spoil them), then spoiled by the row.
NewResult spoilt_object() {
  // The null driver's own `new`, reached through its own constructor.
  static const NewResult made = [] {
    const auto* module = static_cast<const StorageDriverMod*>(loaded_plugin().pristine.constructor().payload.ok);
    return module->fields.new_(RawValueBox{own_string("{}")});
  }();
  spoilt_table = *made.payload.ok.obj.vtable.ptr;
  spoilt_object_table = *spoilt_table.fields._sabi_vtable.ptr;
  spoilt_table.fields._sabi_vtable.ptr = &spoilt_object_table;
  NewResult r = made;
  r.payload.ok.obj.vtable.ptr = &spoilt_table;
  spoil_object(r);
  return r;
}

TEST_F(DamagedLibrary, AnObjectWithSpoiledTablesIsRefusedWithItsReason) {
  const ObjectRow rows[] = {
      {"unknown result tag", [](NewResult& r) { r.tag = 7; }, "`new` answered with an unknown result tag 7"},
      {"no operation table", [](NewResult& r) { r.payload.ok.obj.vtable.ptr = nullptr; },
       "a driver object without an operation table"},
      {"operation table lacking operations", [](NewResult&) { spoilt_table.metadata.field_accessibility = 0xFF; },
       "a driver object whose operation table lacks operations (mask 0xff)"},
      {"null operation", [](NewResult&) { spoilt_table.fields.take_snapshot = nullptr; },
       "a driver object whose operation table has a null operation"},
      {"no object-level table", [](NewResult&) { spoilt_table.fields._sabi_vtable.ptr = nullptr; },
       "a driver object without its drop and Debug functions"},
      {"no drop", [](NewResult&) { spoilt_object_table.fields._sabi_drop = nullptr; },
       "a driver object without its drop and Debug functions"},
      {"empty box", [](NewResult& r) { r.payload.ok.obj.ptr.data = nullptr; },
       "a driver object with no object in its box"},
  };
  for (const ObjectRow& r : rows) {
    SCOPED_TRACE(r.what);
    LibHeader& h = header();
    h.module = nullptr;
    constructed = &test_module;
    h.constructor = &construct_row_module;
    spoil_object = r.spoil;
    answer = &spoilt_object;
    auto loaded = load_plugin(LMFS_NULL_PLUGIN_PATH);
    ASSERT_TRUE(loaded) << loaded.error().message();
    auto created = Driver::create(*loaded, "{}");
    ASSERT_FALSE(created);
    EXPECT_NE(created.error().find(r.reason), std::string::npos) << created.error();
  }
}

// ---- pointers to where no such record is -------------------------------------

// A page mapped without any access: reading or calling it faults.
const void* inaccessible_page() {
  static void* const page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return page;
}
// Heap bytes: readable, but in no loaded object, and holding what reads as
// wild pointers, set masks and a version text that would pass.
const void* heap_bytes() {
  static const auto* const bytes = [] {
    auto* b = new std::uint64_t[64];
    std::fill_n(b, 64, 0xA5A5A5A5A5A5A5A5);
    std::memcpy(b, "0.0.0-next", 10);
    return b;
  }();
  return bytes;
}
// Bytes of a loaded object that are no record: the plug-in's own name text.
const void* string_data() { return loaded_plugin().pristine.name.data; }

// The plug-in's root layout records copied into this binary's writable
// statics (a loaded object's), so that a row can spoil one pointer of the
// graph a library states.
tl::TypeLayout root_copy;
tl::MonoTypeLayout mono_copy;
tl::SharedVars vars_copy;
tl::LayoutFn table_copy[64];
const tl::TypeLayout* copied_root() {
  const auto* root = static_cast<const tl::TypeLayout*>(loaded_plugin().pristine.layout);
  root_copy = *root;
  mono_copy = *root->mono;
  vars_copy = *root->shared_vars;
  EXPECT_LE(vars_copy.type_layouts_len, std::size(table_copy));
  std::copy_n(vars_copy.type_layouts, std::min<std::size_t>(vars_copy.type_layouts_len, std::size(table_copy)),
              table_copy);
  vars_copy.type_layouts = table_copy;
  root_copy.mono = &mono_copy;
  root_copy.shared_vars = &vars_copy;
  return &root_copy;
}

struct WildRow {
  const char* what;
  std::function<void(LibHeader&)> spoil;
  const char* reason;  // empty: the library loads
};

TEST_F(DamagedLibrary, PointersToWhereNoRecordIsAreRefusedNotFollowed) {
  const void* const page = inaccessible_page();
  const void* const heap = heap_bytes();
  const void* const text = string_data();
  ASSERT_NE(page, MAP_FAILED);
  const auto layout_fn = [](const void* p) { return reinterpret_cast<tl::LayoutFn>(const_cast<void*>(p)); };
  const auto constructor_at = [](const void* p) {
    return reinterpret_cast<RootModuleResult (*)()>(const_cast<void*>(p));
  };
  const auto module_at = [](LibHeader& h, const void* p) {
    constructed = p;
    h.constructor = &construct_row_module;
  };
  const char* const no_layout = "its type layout cannot be read: the root type layout: outside the readable segments";
  const char* const no_code = "of the type-layout table: outside the executable segments";
  const WildRow rows[] = {
      {"the copied graph, unspoiled", [](LibHeader& h) { h.layout = copied_root(); }, ""},
      {"layout in an inaccessible page", [&](LibHeader& h) { h.layout = page; }, no_layout},
      {"layout on the heap", [&](LibHeader& h) { h.layout = heap; }, no_layout},
      // (Bytes enough for a layout record: the header, whose magic text reads
      // as wild pointers. A string would be read past its end, which the
      // sanitizer cannot tell from a real overflow.)
      {"layout at the library's header", [&](LibHeader& h) { h.layout = &h; },
       "its type layout cannot be read: type layout #1: its monomorphic layout: outside the readable segments"},
      {"root module in an inaccessible page", [&](LibHeader& h) { module_at(h, page); },
       "has its root module outside the readable segments"},
      {"root module on the heap", [&](LibHeader& h) { module_at(h, heap); },
       "has its root module outside the readable segments"},
      // Its magic text reads as a module with `new`, at the bytes "ry for R".
      {"root module at the library's header", [&](LibHeader& h) { module_at(h, h.magic); },
       "has a root module whose `new` is outside the executable segments"},
      {"version text on the heap", [&](LibHeader& h) { h.version.data = static_cast<const char*>(heap); },
       "its version text is outside the readable segments (10 bytes at 0x"},
      {"type name in an inaccessible page",
       [&](LibHeader& h) {
         h.layout = copied_root();
         mono_copy.name = static_cast<const char*>(page);
       },
       "type layout #1: the name: outside the readable segments"},
      {"type-layout function in an inaccessible page",
       [&](LibHeader& h) {
         h.layout = copied_root();
         table_copy[0] = layout_fn(page);
       },
       no_code},
      {"type-layout function on the heap",
       [&](LibHeader& h) {
         h.layout = copied_root();
         table_copy[0] = layout_fn(heap);
       },
       no_code},
      {"type-layout function at the library's string data",
       [&](LibHeader& h) {
         h.layout = copied_root();
         table_copy[0] = layout_fn(text);
       },
       no_code},
      {"constructor at the library's string data", [&](LibHeader& h) { h.constructor = constructor_at(text); },
       "has its root-module constructor outside the executable segments"},
      {"self-test table on the heap",
       [&](LibHeader& h) { h.c_abi_testing_fns = static_cast<const CAbiTestingFns*>(heap); },
       "has its C-ABI self-test outside the readable segments"},
      {"lock table on the heap", [&](LibHeader& h) { h.lock_vtable.ptr = static_cast<const MutexVTable*>(heap); },
       "has its lock table outside the readable segments"},
  };
  for (const WildRow& r : rows) {
    SCOPED_TRACE(r.what);
    // In a child of its own: a row that is followed dies of a signal there.
    lmfs::testing::Process child = lmfs::testing::Process::fork([&] {
      header().module = nullptr;
      test_module = {{kStorageDriverModMask, nullptr}, {&new_from_row}};
      r.spoil(header());
      auto loaded = load_plugin(LMFS_NULL_PLUGIN_PATH);
      std::fputs(loaded ? "loaded" : loaded.error().message().c_str(), stdout);
      return 0;
    });
    const lmfs::testing::ProcessRun run = child.finish();
    EXPECT_EQ(run.exit_status, 0) << "status " << run.exit_status << " (128 + the signal it died of)\n" << run.err;
    if (run.exit_status != 0) continue;
    if (*r.reason == '\0') {
      EXPECT_EQ(run.out, "loaded");
    } else {
      EXPECT_NE(run.out.find(r.reason), std::string::npos) << run.out;
    }
  }
}

// lmfs-host itself, on a library whose header points its layout at bytes
// that are no layout: refused with status 3 when loading and for --layout.
TEST(DamagedLibraryHost, AWildLayoutPointerEndsWithStatusThreeNotASignal) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{FAKE_WILD_LAYOUT, "--params", "{}", "init"},
                                               std::vector<std::string>{"--layout", FAKE_WILD_LAYOUT}}) {
    SCOPED_TRACE(args[0]);
    std::vector<std::string> argv = {LMFS_HOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = lmfs::testing::run(argv);
    EXPECT_EQ(r.exit_status, 3) << r.err;
    const std::string reason = std::string(FAKE_WILD_LAYOUT) +
                               ": its type layout cannot be read: type layout #1: its monomorphic layout: outside "
                               "the readable segments";
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace lmfs::host
