// The built plug-in driven by lmfs-host in a separate process: loading,
// `new`, the operations that answer from the driver's own state, and the
// exported symbol table.
#include <gtest/gtest.h>

#include "lmfs_testing/files.h"
#include "lmfs_testing/host.h"

namespace lmfs::testing {
namespace {

const std::string kParams =
    R"({"bin_dir":"/sbin","media":{"inner":[{"Block":{"inner":"/dev/sdb"}}]},"root":"/mnt/s"})";

TEST(PluginLoad, ExportsExactlyTheHeaderSymbol) {
  const ProcessRun nm = run({"nm", "-D", "--defined-only", plugin_path()});
  ASSERT_EQ(nm.exit_status, 0) << nm.err;
  const std::vector<std::string> symbols = split_lines(nm.out);
  ASSERT_EQ(symbols.size(), 1u) << ::testing::PrintToString(symbols);
  EXPECT_NE(symbols[0].find(" D _1as_0lib_1header_0root_bmodule_bloader"), std::string::npos) << symbols[0];
}

TEST(PluginNew, GoodParametersGiveADriverWithTheDecodedOptions) {
  auto run = run_host(kParams, {"debug", "debug_alt"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0], R"({"op":"new","result":"Ok"})");
  EXPECT_EQ(run.lines[1],
            R"({"op":"debug","result":"Ok","text":"LoomFsDriver { opts: LoomFsDriverOptions { flags: None, bin_dir: \"/sbin\", )"
            R"(media: StorageMedia { inner: [Block(ROsString { inner: \"/dev/sdb\" })] }, root: \"/mnt/s\" }, root: \"\", )"
            R"(mgr: LoomFsManager { opts: LoomFsDriverOptions { flags: None, bin_dir: \"/sbin\", )"
            R"(media: StorageMedia { inner: [Block(ROsString { inner: \"/dev/sdb\" })] }, root: \"/mnt/s\" }, store: None } }"})");
  EXPECT_NE(run.lines[2].find(R"(LoomFsDriver {\n    opts: LoomFsDriverOptions {\n        flags: None,\n)"),
            std::string::npos)
      << run.lines[2];
  EXPECT_EQ(run.err, "");
}

TEST(PluginNew, BadParametersGiveOtherWithTheDecoderMessage) {
  struct Row {
    std::string params, text;
  };
  const Row rows[] = {
      {"", "serde error: EOF while parsing a value at line 1 column 0"},
      {R"({"root":"/r"})", "serde error: missing field `bin_dir` at line 1 column 13"},
      {R"({bin_dir:"/b"})", "serde error: key must be a string at line 1 column 2"},
      {R"({"flags":5})", "serde error: invalid type: integer `5`, expected a string at line 1 column 10"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.params);
    auto run = run_host(r.params, {"init"});
    EXPECT_EQ(run.exit_status, 1);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], R"({"op":"new","result":"Err","error":{"variant":"Other","text":")" + r.text + "\"}}");
  }
}

TEST(PluginOps, AnswersFromItsOwnState) {
  auto run = run_host(kParams, {"init", "done", "root", "at_root", "a/b", "at_root", "/etc", "at_root", "a/../b",
                                "stores", "take_snapshot", "next_snapshot", "last_snapshot", "edge_snapshot",
                                "full_snapshot", "snapshot", "/x", "true"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::vector<std::string> expected = {
      R"({"op":"new","result":"Ok"})",
      R"({"op":"init","result":"Ok"})",
      R"({"op":"done","result":"Ok"})",
      R"({"op":"root","result":"Some","path":""})",
      R"({"op":"at_root","result":"Ok","path":"a/b"})",
      R"({"op":"at_root","result":"Ok","path":"/etc"})",
      R"({"op":"at_root","result":"Err","error":{"variant":"SecurityError","security":"UnsafePath","text":"a/../b"}})",
      R"({"op":"stores","result":"Err","error":{"variant":"InvalidMediaType","cow":"Borrowed","text":"<none>"}})",
      R"({"op":"take_snapshot","result":"Err","error":{"variant":"Other","text":"Invalid Block Device: <none>"}})",
      R"({"op":"next_snapshot","result":"Err","error":{"variant":"Other","text":"Invalid Block Device: <none>"}})",
      R"({"op":"last_snapshot","result":"Err","error":{"variant":"Other","text":"Invalid Block Device: <none>"}})",
      R"({"op":"edge_snapshot","result":"Err","error":{"variant":"Unimplemented","text":"Edge Snapshot"}})",
      R"({"op":"full_snapshot","result":"Err","error":{"variant":"Unimplemented","text":"Full Snapshot"}})",
      R"({"op":"snapshot","result":"Err","error":{"variant":"Unimplemented","text":"Snapshot"}})",
  };
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.err, "") << "no snapshot line and no debug line without a store";
}

TEST(PluginOps, DetachOfAnotherRootIsRefusedWithoutRunningATool) {
  auto run = run_host(kParams, {"detach_stores", "/mnt/s"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ASSERT_EQ(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[1],
            R"({"op":"detach_stores","result":"Err","error":{"variant":"InvalidParameterValue","name":"mount-point","value":"/mnt/s"}})");
}

TEST(PluginOps, InvalidUtf8InPathsIsShownWithReplacementCharacter) {
  auto run = run_host(kParams, {"at_root", "x/%FF/../y"});
  ASSERT_EQ(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[1],
            "{\"op\":\"at_root\",\"result\":\"Err\",\"error\":{\"variant\":\"SecurityError\",\"security\":"
            "\"UnsafePath\",\"text\":\"x/\xEF\xBF\xBD/../y\"}}");
}

TEST(HostLoader, RefusesWhatIsNoPlugin) {
  {
    auto run = run_host_args({"/nonexistent/libnothing.so", "--params", kParams});
    EXPECT_EQ(run.exit_status, 3);
    EXPECT_NE(run.err.find("lmfs-host: cannot load /nonexistent/libnothing.so"), std::string::npos) << run.err;
  }
  {
    auto run = run_host_args({"libm.so.6", "--params", kParams});
    EXPECT_EQ(run.exit_status, 3);
    EXPECT_NE(run.err.find("is not a storage-driver plug-in: it has no library header"), std::string::npos) << run.err;
  }
  {
    auto run = run_host_args({plugin_path(), "--params"});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.err.find("usage:"), std::string::npos);
  }
  // A thread count is a whole number in range, nothing read in part.
  for (const char* bad : {"0", "-1", " 2", "2x", "", "99999999999999999999"}) {
    SCOPED_TRACE(bad);
    auto run = run_host_args({plugin_path(), "--params", kParams, "--threads", bad});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.err.find("--threads takes a number from 1 to "), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace lmfs::testing
