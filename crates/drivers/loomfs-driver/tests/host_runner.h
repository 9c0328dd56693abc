// Runs lmfs-host as a separate process against the built plug-in and
// collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace lmfs::testing {

// A finished program: its exit code (128 + signal when killed), standard
// output and standard error.
struct ProcessRun {
  int exit_status = -1;
  std::string out;
  std::string err;
};

// Starts argv[0] (looked up through PATH when it holds no "/") with standard
// input on /dev/null and the inherited environment, `env` ("NAME=value")
// overriding it, and waits for it.
ProcessRun run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// The whole content of a file (empty when it cannot be read).
std::string read_file(const std::string& path);

struct HostRun {
  int exit_status = -1;              // exit code, or 128 + signal
  std::vector<std::string> lines;    // standard output, one JSON line each
  std::string err;                   // standard error
};

// lmfs-host PLUGIN --params PARAMS ARGS..., with an optional environment
// override ("NAME=value" entries added to the inherited environment).
HostRun run_host(const std::string& params, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});

// Same with an explicit plug-in path.
HostRun run_host_with(const std::string& plugin, const std::vector<std::string>& argv_tail,
                      const std::vector<std::string>& env = {});

const char* plugin_path();
const char* host_path();

}  // namespace lmfs::testing
