// Damaged libraries: each field of the library header, the root module and
// the driver object's tables that the loader reads is spoiled in turn on a
// real plug-in (the null driver, loaded into this process), and each is
// refused with its reason instead of being followed.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>

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
    EXPECT_NE(loaded.error().find(r.reason), std::string::npos) << loaded.error();
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
    ASSERT_TRUE(loaded) << loaded.error();
    auto created = Driver::create(*loaded, "{}");
    ASSERT_FALSE(created);
    EXPECT_NE(created.error().find(r.reason), std::string::npos) << created.error();
  }
}

}  // namespace
}  // namespace lmfs::host
