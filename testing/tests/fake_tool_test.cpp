// The fake tool's two files: what a run records and what its actions do.
#include "lmfs_testing/fake_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "lmfs_testing/process.h"

namespace lmfs::testing {
namespace {

TEST(FakeTool, RecordsEachRunWithItsArgumentsAsGiven) {
  TempDir dir;
  FakeTool tool(dir, "mkfs.loomfs");
  EXPECT_FALSE(tool.ran());
  const std::string odd = "line\nbreak \\n \xff";
  EXPECT_EQ(run({tool.path(), "-q", odd, ""}).exit_status, 0);
  EXPECT_EQ(run({tool.path(), "again"}).exit_status, 0);
  const auto runs = tool.runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].argv, (std::vector<std::string>{tool.path(), "-q", odd, ""}));
  EXPECT_EQ(runs[0].fds, "0 1 2");
  EXPECT_EQ(runs[0].siblings, "");
  EXPECT_EQ(tool.argv(), (std::vector<std::string>{tool.path(), "again"}));
  tool.forget();
  EXPECT_FALSE(tool.ran());
}

TEST(FakeTool, SeesThePassedDescriptorsAndItsParent) {
  TempDir dir;
  FakeTool tool(dir, "tool");
  const int inherited = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inherited, 3);
  EXPECT_EQ(run({tool.path()}, {.inherit_fds = true}).exit_status, 0);
  ::close(inherited);
  ASSERT_EQ(tool.runs().size(), 1u);
  const ToolRun r = tool.runs()[0];
  EXPECT_NE((" " + r.fds + " ").find(" " + std::to_string(inherited) + " "), std::string::npos) << r.fds;
  EXPECT_NE((" " + r.parent_fds + " ").find(" " + std::to_string(inherited) + " "), std::string::npos);
  EXPECT_EQ(r.parent, std::string(program_invocation_short_name).substr(0, 15));
}

TEST(FakeTool, FollowsItsActionsUntilOneEndsTheRun) {
  TempDir dir;
  FakeTool tool(dir, "tool", {"stdout to out", "stderr to err", "sleep 50", "exit 7", "stdout never"});
  const auto start = std::chrono::steady_clock::now();
  const ProcessRun r = run({tool.path()});
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  EXPECT_EQ(r.exit_status, 7);
  EXPECT_EQ(r.out, "to out\n");
  EXPECT_EQ(r.err, "to err\n");
  const std::pair<std::string, int> endings[] = {{"signal 9", 128 + SIGKILL}, {"signal 11", 128 + SIGSEGV},
                                                 {"signal 40", 128 + 40}, {"unknown 1", 0}};
  for (const auto& [action, status] : endings) {
    SCOPED_TRACE(action);
    tool.act({action});
    EXPECT_EQ(run({tool.path()}).exit_status, status);
  }
  tool.act({});
  EXPECT_EQ(run({tool.path()}).exit_status, 0);
}

}  // namespace
}  // namespace lmfs::testing
