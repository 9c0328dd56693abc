#include "lmfs_testing/host.h"

#include "lmfs_testing/files.h"

namespace lmfs::testing {

std::string plugin_path() { return LMFS_PLUGIN_PATH; }
std::string host_path() { return LMFS_HOST_PATH; }

Process start_host(const std::vector<std::string>& args, const Options& options) {
  std::vector<std::string> argv = {host_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Process(argv, options);
}

HostRun run_host_args(const std::vector<std::string>& args, const Options& options) {
  const ProcessRun ran = start_host(args, options).finish();
  return HostRun{ran.exit_status, split_lines(ran.out), ran.err};
}

HostRun run_host(const std::string& params, const std::vector<std::string>& ops, const Options& options) {
  std::vector<std::string> args = {plugin_path(), "--params", params};
  args.insert(args.end(), ops.begin(), ops.end());
  return run_host_args(args, options);
}

}  // namespace lmfs::testing
