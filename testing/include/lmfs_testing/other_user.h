// Another local user, the attacker of the tests of what a root process
// trusts: a user id of its own with no name, no groups and no rights beyond
// any user's. What it does runs as that user through setpriv(1), so the
// files it makes are its own.
//
//   ASSERT_EQ(run_as_other_user("mkfifo /dev/shm/sem.x").exit_status, 0);
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "lmfs_testing/process.h"

namespace lmfs::testing {

inline constexpr uid_t kOtherUser = 61234;

// `argv` run as kOtherUser (and its group), with no supplementary groups.
[[nodiscard]] std::vector<std::string> as_other_user(const std::vector<std::string>& argv);

// A shell script run as kOtherUser, to its end.
ProcessRun run_as_other_user(const std::string& script, const Options& options = {});

}  // namespace lmfs::testing
