#include "host_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace lmfs::testing {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const char* plugin_path() { return LMFS_PLUGIN_PATH; }
const char* host_path() { return LMFS_HOST_PATH; }

ProcessRun run_process(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  char out_path[] = "/tmp/lmfs-run-out-XXXXXX";
  char err_path[] = "/tmp/lmfs-run-err-XXXXXX";
  const int out_fd = ::mkstemp(out_path);
  const int err_fd = ::mkstemp(err_path);

  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The inherited environment, with the overridden names taken out.
  auto overridden = [&](std::string_view entry) {
    for (const auto& o : env) {
      const auto name = o.substr(0, o.find('=') + 1);
      if (entry.starts_with(name)) return true;
    }
    return false;
  };
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!overridden(*e)) env_strings.emplace_back(*e);
  }
  env_strings.insert(env_strings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  ::posix_spawn_file_actions_init(&fa);
  ::posix_spawn_file_actions_adddup2(&fa, out_fd, STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&fa, err_fd, STDERR_FILENO);
  ::posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  ProcessRun run;
  const int rc = ::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&fa);
  ::close(out_fd);
  ::close(err_fd);
  if (rc == 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = read_file(out_path);
    run.err = read_file(err_path);
  } else {
    run.err = "cannot start " + args[0] + ": " + std::strerror(rc);
  }
  ::unlink(out_path);
  ::unlink(err_path);
  return run;
}

HostRun run_host_with(const std::string& plugin, const std::vector<std::string>& argv_tail,
                      const std::vector<std::string>& env) {
  std::vector<std::string> args = {host_path(), plugin};
  args.insert(args.end(), argv_tail.begin(), argv_tail.end());
  ProcessRun ran = run_process(args, env);
  HostRun run;
  run.exit_status = ran.exit_status;
  std::istringstream out(ran.out);
  for (std::string line; std::getline(out, line);) run.lines.push_back(line);
  run.err = std::move(ran.err);
  return run;
}

HostRun run_host(const std::string& params, const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
  std::vector<std::string> tail = {"--params", params};
  tail.insert(tail.end(), args.begin(), args.end());
  return run_host_with(plugin_path(), tail, env);
}

}  // namespace lmfs::testing
