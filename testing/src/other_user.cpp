#include "lmfs_testing/other_user.h"

namespace lmfs::testing {

std::vector<std::string> as_other_user(const std::vector<std::string>& argv) {
  const std::string id = std::to_string(kOtherUser);
  std::vector<std::string> out = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

ProcessRun run_as_other_user(const std::string& script, const Options& options) {
  return run(as_other_user({"/bin/sh", "-c", script}), options);
}

}  // namespace lmfs::testing
