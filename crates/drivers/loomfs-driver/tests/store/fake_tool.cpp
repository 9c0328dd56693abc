// Plays mkfs.loomfs, mount.loomfs and umount.loomfs in the store tests. The
// tests copy this program into a directory of their own under each tool's
// name and hand that directory to the driver as its bin_dir. A copy at PATH
// (found through /proc/self/exe, however it was started)
//
//   - appends a record of the run to PATH.log:
//       run
//       arg BYTES           one line per argument, argument zero first
//       fds N N ...         its own open descriptors, taken before it opens any
//       parent COMM         the name of the process that started it
//       parent-fds N N ...  that process's open descriptors
//       siblings PID:STATE  the other children of that process
//   - then follows PATH.do line by line: "stdout TEXT" and "stderr TEXT" write
//     TEXT and a newline to that stream, "exit N" exits with N, "kill N" dies
//     of signal N. At the end of the file (or without one) it exits with 0.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The numbers of the open descriptors listed in DIR, without the one used to
// read it.
std::string descriptors(const std::string& dir) {
  std::vector<int> fds;
  if (DIR* d = ::opendir(dir.c_str())) {
    const int own = ::dirfd(d);
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const int fd = std::atoi(e->d_name);
      if (dir == "/proc/self/fd" && fd == own) continue;
      fds.push_back(fd);
    }
    ::closedir(d);
  }
  std::sort(fds.begin(), fds.end());
  std::string out;
  for (int fd : fds) out += (out.empty() ? "" : " ") + std::to_string(fd);
  return out;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// "PID:STATE" of every process whose parent is `parent`, but this one.
std::string siblings(pid_t parent) {
  std::string out;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return "?";
  while (const dirent* e = ::readdir(d)) {
    const pid_t pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == ::getpid()) continue;
    // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
    const std::string stat = read_all("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = '?';
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) out += (out.empty() ? "" : " ") + std::to_string(pid) + ":" + state;
  }
  ::closedir(d);
  return out;
}

[[noreturn]] void die_of(int sig) {
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::kill(::getpid(), sig);
  ::pause();
  std::_Exit(125);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string own_fds = descriptors("/proc/self/fd");

  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 125;
  const std::string self(exe, static_cast<std::size_t>(n));

  const pid_t parent = ::getppid();
  std::string comm = read_all("/proc/" + std::to_string(parent) + "/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();

  {
    std::ofstream log(self + ".log", std::ios::binary | std::ios::app);
    log << "run\n";
    for (int i = 0; i < argc; ++i) log << "arg " << argv[i] << '\n';
    log << "fds " << own_fds << '\n'
        << "parent " << comm << '\n'
        << "parent-fds " << descriptors("/proc/" + std::to_string(parent) + "/fd") << '\n'
        << "siblings " << siblings(parent) << '\n';
  }

  std::ifstream actions(self + ".do");
  for (std::string line; std::getline(actions, line);) {
    const auto blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    const std::string arg = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (word == "stdout" || word == "stderr") {
      const std::string text = arg + "\n";
      (void)!::write(word == "stdout" ? 1 : 2, text.data(), text.size());
    } else if (word == "exit") {
      return std::atoi(arg.c_str());
    } else if (word == "kill") {
      die_of(std::atoi(arg.c_str()));
    }
  }
  return 0;
}
