// Children as the suites use them: what they get, what comes back, and that
// none outlives its limit or its owner.
#include "lmfs_testing/process.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>

namespace lmfs::testing {
namespace {

TEST(Run, ReturnsStatusAndEachStreamWithStdinEmptyAndTheEnvironmentOverridden) {
  const ProcessRun r = run({"sh", "-c", "echo out; echo err >&2; cat; echo \"$A ${HOME-unset}\"; exit 3"},
                           {.env = {"A=1", "A=2", "HOME"}});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "out\n2 unset\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_FALSE(r.timed_out);
}

TEST(Run, SignalsAreCountedFrom128) {
  EXPECT_EQ(run({"sh", "-c", "kill -TERM $$"}).exit_status, 128 + SIGTERM);
}

TEST(Run, MergedOutputKeepsTheOrderWritten) {
  const ProcessRun r = run({"sh", "-c", "echo 1; echo 2 >&2; echo 3"}, {.output = Output::merge});
  EXPECT_EQ(r.out, "1\n2\n3\n");
  EXPECT_EQ(r.err, "");
}

TEST(Run, PreloadSetsTheLoaderAndKeepsTheSanitizerOptions) {
  const ProcessRun r = run({"sh", "-c", "echo \"$LD_PRELOAD\"; echo \"$ASAN_OPTIONS\""},
                           {.env = {"ASAN_OPTIONS=detect_leaks=1"}, .preload = "/nonexistent/shim.so"});
  EXPECT_EQ(r.out, "/nonexistent/shim.so\ndetect_leaks=1:verify_asan_link_order=0\n");
}

TEST(Run, AProgramThatCannotStartFailsTheTest) {
  ProcessRun r;
  EXPECT_NONFATAL_FAILURE(r = run({"/nonexistent/program"}), "cannot start /nonexistent/program");
  EXPECT_EQ(r.exit_status, -1);
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

TEST(Process, AChildPastItsLimitIsKilledAndFailsTheTest) {
  Process p({"sh", "-c", "echo waiting >&2; exec sleep 30"}, {.limit = 200ms});
  EXPECT_NONFATAL_FAILURE(p.wait(), "still ran after 200 ms and was killed. Its standard error:\nwaiting");
  EXPECT_TRUE(p.timed_out());
  EXPECT_EQ(p.exit_status(), 128 + SIGKILL);
  EXPECT_FALSE(p.running());
}

TEST(Process, RunsInTheBackgroundWithItsOutputReadableSoFar) {
  Process p({"sh", "-c", "echo started; exec sleep 30"});
  for (int i = 0; i < 500 && p.out().empty(); ++i) EXPECT_FALSE(p.wait_for(10ms));
  EXPECT_EQ(p.lines(), std::vector<std::string>{"started"});
  EXPECT_TRUE(p.running());
  EXPECT_EQ(p.exit_status(), -1);
  p.kill();
  EXPECT_EQ(p.exit_status(), 128 + SIGKILL);
  EXPECT_EQ(p.out(), "started\n") << "the output outlives the child";
}

TEST(Process, DestroyingItKillsAndReapsTheChild) {
  pid_t pid = -1;
  {
    Process p({"sleep", "30"});
    pid = p.pid();
    ASSERT_GT(pid, 0);
    Process moved = std::move(p);  // one owner, one kill
    EXPECT_FALSE(p.running());
    EXPECT_TRUE(moved.running());
  }
  EXPECT_EQ(::kill(pid, 0), -1) << "left running or unreaped";
  EXPECT_EQ(errno, ESRCH);
}

TEST(Process, ForkedBodiesExitWithWhatTheyReturn) {
  Process p = Process::fork([] {
    std::printf("from the child\n");
    return 4;
  });
  EXPECT_EQ(p.wait(), 4);
  EXPECT_EQ(p.out(), "from the child\n");
  Process thrower = Process::fork([]() -> int { throw std::runtime_error("no"); });
  EXPECT_EQ(thrower.wait(), 125);
  EXPECT_NE(thrower.err().find("uncaught exception: no"), std::string::npos) << thrower.err();
}

}  // namespace
}  // namespace lmfs::testing
