// Stand-in for a file-system tool in the manager's tests. Copies of this
// program are placed under a tool's name; each run of a copy at PATH
//   - writes its arguments, argument zero first, each ended by a NUL byte, to
//     PATH.log, and the numbers of its open descriptors to PATH.fds;
//   - then follows PATH.act line by line: "stderr TEXT" writes TEXT and a
//     newline to standard error, "sleep MS" sleeps, "exit N" exits with N,
//     "signal N" dies of signal N (no core file).
// Without an action file it exits with 0. PATH comes from /proc/self/exe, so
// the copy finds its files however it was started.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  // First, before this program opens anything of its own.
  std::string fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
      if (!fds.empty()) fds.push_back(' ');
      fds.append(e->d_name);
    }
    ::closedir(dir);
  }

  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 125;
  const std::string self(exe, static_cast<std::size_t>(n));

  {
    std::ofstream log(self + ".log", std::ios::binary | std::ios::trunc);
    for (int i = 0; i < argc; ++i) log << argv[i] << '\0';
    std::ofstream(self + ".fds", std::ios::trunc) << fds;
  }

  std::ifstream act(self + ".act");
  std::string line;
  while (std::getline(act, line)) {
    const std::string word = line.substr(0, line.find(' '));
    const std::string arg = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
    if (word == "stderr") {
      const std::string text = arg + "\n";
      (void)!::write(2, text.data(), text.size());
    } else if (word == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(arg.c_str())));
    } else if (word == "exit") {
      return std::atoi(arg.c_str());
    } else if (word == "signal") {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      const int sig = std::atoi(arg.c_str());
      ::signal(sig, SIG_DFL);
      ::kill(::getpid(), sig);
      return 126;
    }
  }
  return 0;
}
