// lmfs-host in a process of its own, driving the built plug-in, for the
// end-to-end suites: to its end, its standard output cut into its JSON lines,
// or in the background as a Process. Everything in Options applies.
#pragma once

#include <string>
#include <vector>

#include "lmfs_testing/process.h"

namespace lmfs::testing {

struct HostRun {
  int exit_status = -1;            // exit code, or 128 + signal
  std::vector<std::string> lines;  // standard output, one JSON line each
  std::string err;                 // standard error
};

[[nodiscard]] std::string plugin_path();  // the built plug-in
[[nodiscard]] std::string host_path();    // the built lmfs-host

// lmfs-host ARGS..., to its end.
HostRun run_host_args(const std::vector<std::string>& args, const Options& options = {});
// lmfs-host PLUGIN --params PARAMS OPS..., with the built plug-in.
HostRun run_host(const std::string& params, const std::vector<std::string>& ops, const Options& options = {});
// lmfs-host ARGS..., left running.
[[nodiscard]] Process start_host(const std::vector<std::string>& args, const Options& options = {});

}  // namespace lmfs::testing
