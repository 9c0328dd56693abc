// The layout step of loading: a library without its layout loads after a
// warning, one with another layout is refused with the report, and
// `lmfs-host --layout` prints what a header states.
#include <gtest/gtest.h>

#include <algorithm>

#include "lmfs_abi_host/layout_print.h"
#include "lmfs_abi_host/layout_reader.h"
#include "lmfs_testing/process.h"
#include "loader.h"

namespace lmfs::host {
namespace {

struct HostRun {
  int status;
  std::string output;  // stdout and stderr
};

HostRun run_host(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {LMFS_HOST_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto r = lmfs::testing::run(argv, {.output = lmfs::testing::Output::merge});
  return {r.exit_status, r.out};
}

TEST(LayoutLoading, ALibraryWithoutItsLayoutLoadsAfterAWarning) {
  ::testing::internal::CaptureStderr();
  auto loaded = load_plugin(FAKE_LAYOUT_ABSENT);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_NE(loaded->root_module, nullptr);
  EXPECT_EQ(err, std::string("lmfs-host: warning: ") + FAKE_LAYOUT_ABSENT +
                     " does not include its type layout; the layout check was skipped\n");
}

TEST(LayoutLoading, TheRealPluginPassesTheCheckSilently) {
  ::testing::internal::CaptureStderr();
  auto loaded = load_plugin(LMFS_PLUGIN_PATH);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(err, "");
}

TEST(LayoutLoading, AForeignLayoutIsRefusedBeforeTheRootModuleIsBuilt) {
  auto loaded = load_plugin(FAKE_FOREIGN_LAYOUT);
  ASSERT_FALSE(loaded);
  const std::string e = loaded.error().message();
  EXPECT_NE(e.find("its type layout is incompatible with this host's"), std::string::npos) << e;
  EXPECT_NE(e.find("mismatched type [Name]"), std::string::npos) << e;
  EXPECT_NE(e.find("expected: PrefixRef<'a, StorageDriverMod>\n"), std::string::npos) << e;
  EXPECT_TRUE(e.ends_with("found:    Foreign")) << e;
}

TEST(LayoutLoading, LayoutCommandPrintsTheStatedGraph) {
  auto opened = open_header(LMFS_PLUGIN_PATH);
  ASSERT_TRUE(opened) << opened.error().message();
  auto graph = abi::layout::read_graph(static_cast<const abi::tl::TypeLayout*>(opened->header->layout));
  ASSERT_TRUE(graph) << graph.error().message();
  const HostRun printed = run_host({"--layout", LMFS_PLUGIN_PATH});
  EXPECT_EQ(printed.status, 0);
  EXPECT_EQ(printed.output, abi::layout::print_facts(*graph));

  const HostRun full = run_host({"--layout", "--full", LMFS_PLUGIN_PATH});
  EXPECT_EQ(full.status, 0);
  // The same printout but for the addresses, which are another process's.
  const std::string here = abi::layout::print_full(*graph);
  EXPECT_EQ(std::count(full.output.begin(), full.output.end(), '\n'), std::count(here.begin(), here.end(), '\n'));
  EXPECT_TRUE(full.output.starts_with("TypeLayout {\n    name: \"PrefixRef\",\n")) << full.output.substr(0, 200);

  const HostRun absent = run_host({"--layout", FAKE_LAYOUT_ABSENT});
  EXPECT_EQ(absent.status, 3);
  EXPECT_EQ(absent.output, std::string("lmfs-host: ") + FAKE_LAYOUT_ABSENT + " does not include its type layout\n");
}

// The interface's do-nothing driver loads with its layout checked and
// answers every operation as a test double should.
TEST(NullPlugin, LoadsCheckedAndAnswersEveryOperation) {
  const HostRun r = run_host({LMFS_NULL_PLUGIN_PATH, "--params", "{}", "init", "done", "root", "at_root", "a",
                              "stores", "initialize_stores", "-", "attach_stores", "/m", "-", "detach_stores", "/m",
                              "take_snapshot", "next_snapshot", "last_snapshot", "edge_snapshot", "full_snapshot",
                              "snapshot", "/x", "true", "debug", "debug_alt"});
  EXPECT_EQ(r.status, 0);
  std::string expected =
      "{\"op\":\"new\",\"result\":\"Ok\"}\n"
      "NullStorageDriver::init() called\n{\"op\":\"init\",\"result\":\"Ok\"}\n"
      "NullStorageDriver::done() called\n{\"op\":\"done\",\"result\":\"Ok\"}\n"
      "NullStorageDriver::root() called\n{\"op\":\"root\",\"result\":\"None\"}\n";
  for (const char* op : {"at_root", "stores", "initialize_stores", "attach_stores", "detach_stores", "take_snapshot",
                         "next_snapshot", "last_snapshot", "edge_snapshot", "full_snapshot", "snapshot"}) {
    expected += std::string("{\"op\":\"") + op +
                "\",\"result\":\"Err\",\"error\":{\"variant\":\"NotSupported\",\"text\":\"NullStorageDriver does not support " +
                op + "\"}}\n";
  }
  expected += "{\"op\":\"debug\",\"result\":\"Ok\",\"text\":\"NullStorageDriver\"}\n"
              "{\"op\":\"debug_alt\",\"result\":\"Ok\",\"text\":\"NullStorageDriver\"}\n";
  EXPECT_EQ(r.output, expected);
}

}  // namespace
}  // namespace lmfs::host
