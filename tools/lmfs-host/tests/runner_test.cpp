// The children that --resources counts: one still running counts as well as
// one that ended unreaped, and counting reaps the ended ones.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runner.h"

namespace lmfs::host {
namespace {

TEST(ChildrenLeft, CountsRunningAndEndedChildrenAndReapsTheEnded) {
  ASSERT_EQ(children_left(), 0);
  const pid_t running = ::fork();
  if (running == 0) {
    ::pause();
    ::_exit(0);
  }
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  siginfo_t info{};
  EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT), 0);  // ended, not reaped

  EXPECT_EQ(children_left(), 2);
  EXPECT_EQ(children_left(), 1) << "the ended child was reaped";
  ::kill(running, SIGKILL);
  EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(running), &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(children_left(), 1);
  EXPECT_EQ(children_left(), 0);
}

}  // namespace
}  // namespace lmfs::host
