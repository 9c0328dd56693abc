// The loader's checks, each against a library that fails exactly one of them.
#include "loader.h"

#include <gtest/gtest.h>

namespace lmfs::host {
namespace {

TEST(Loader, RefusesEachMismatchWithAReadableReason) {
  using enum LoadError::Kind;
  struct Row {
    const char* library;
    LoadError::Kind kind;
    const char* reason;
  };
  const Row rows[] = {
      {"/nonexistent/lmfs-plugin.so", NotLoadable, "cannot load /nonexistent/lmfs-plugin.so: "},
      {FAKE_BAD_MAGIC, Damaged, "has a library header with the wrong magic text"},
      {FAKE_BAD_ABI, Incompatible, "was built for plug-in ABI 0.12; this host loads ABI 0.11"},
      {FAKE_BAD_CABI, Damaged, "the library's C calling convention differs: take_pair_b"},
      {FAKE_BAD_VERSION, Incompatible, "implements interface version 1.0.0, incompatible with 0.0.0-next"},
      {FAKE_FAILING_CTOR, Damaged, ": the library's root-module constructor failed"},
      {FAKE_FOREIGN_LAYOUT, Incompatible, ": its type layout is incompatible with this host's"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.library);
    auto loaded = load_plugin(r.library);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind(), r.kind);
    EXPECT_EQ(loaded.error().path(), r.library);
    EXPECT_NE(loaded.error().message().find(r.reason), std::string::npos) << loaded.error().message();
  }
}

TEST(Loader, LoadsTheRealPluginAndBuildsItsRootModuleOnce) {
  auto first = load_plugin(LMFS_PLUGIN_PATH);
  ASSERT_TRUE(first) << first.error().message();
  ASSERT_NE(first->root_module, nullptr);
  EXPECT_EQ(first->header->module, first->root_module);
  auto second = load_plugin(LMFS_PLUGIN_PATH);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->root_module, first->root_module);
  EXPECT_EQ(first->header->lock_state.word, 0u) << "the header's lock is free again";
}

// The framework's own RBox drop calls the box's destructor with
// (CallReferentDrop::Yes, Deallocate::Yes); the driver object must then be
// dropped and freed (a leak here shows under the sanitizer and valgrind runs).
TEST(Loader, DriverBoxIsFreedWhenDroppedTheFrameworksWay) {
  auto plugin = load_plugin(LMFS_PLUGIN_PATH);
  ASSERT_TRUE(plugin) << plugin.error().message();
  const std::string params = R"({"bin_dir":"/b","media":{"inner":[]},"root":"/r"})";
  abi::NewResult r = plugin->root_module->fields.new_(abi::RawValueBox{abi::own_string(params)});
  ASSERT_TRUE(r.is_ok());
  abi::RBox& box = r.payload.ok.obj.ptr;
  box.vtable.get().destructor(box.data, abi::CallReferentDrop::Yes, abi::Deallocate::Yes);
}

}  // namespace
}  // namespace lmfs::host
