#include "lmfs_testing/lmfs_env.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace lmfs::testing {

std::string standin_dir() { return LMFS_STANDIN_BIN_DIR; }

std::string standin(const std::string& tool) { return standin_dir() + "/" + tool; }

bool in_lmfs_env() { return std::getenv("LMFS_ENV_DIR") != nullptr; }

std::string env_dir() {
  const char* dir = std::getenv("LMFS_ENV_DIR");
  return dir != nullptr ? dir : "/tmp";
}

int reenter_under_lmfs_env(int argc, char** argv) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::perror("readlink /proc/self/exe");
    return 125;
  }
  self[n] = '\0';
  std::string env = standin("lmfs-env");
  std::string separator = "--";
  std::vector<char*> args = {env.data(), separator.data(), self};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execv(env.c_str(), args.data());
  std::perror(("cannot run " + env).c_str());
  return 125;
}

}  // namespace lmfs::testing
