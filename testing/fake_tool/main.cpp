// The fake tool (see lmfs_testing/fake_tool.h). A copy at PATH, found
// through /proc/self/exe however it was started,
//   - appends a record of the run to PATH.log:
//       run
//       arg BYTES           one line per argument, argument zero first, with
//                           "\\" and "\n" for a backslash and a newline
//       fds N N ...         its own open descriptors, taken before it opens any
//       parent COMM         the name of the process that started it
//       parent-fds N N ...  that process's open descriptors
//       siblings PID:STATE  the other children of that process
//       sigign HEX          the signals it started with ignored, and
//       sigblk HEX          blocked (masks as /proc/PID/status shows them)
//   - then follows PATH.do line by line (the actions in fake_tool.h). At the
//     end of the file, or without one, it exits with 0.
// Built without sanitizers, so that it dies of the signals it is told to.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "lmfs_base/unique.h"
#include "lmfs_testing/files.h"
#include "lmfs_text/number.h"

namespace {

using lmfs::testing::open_fds;
using lmfs::testing::read_file;

std::string numbers(const std::set<int>& fds) {
  std::string out;
  for (int fd : fds) out += (out.empty() ? "" : " ") + std::to_string(fd);
  return out;
}

std::string escaped(const char* arg) {
  std::string out;
  for (const char* c = arg; *c != '\0'; ++c) {
    if (*c == '\\') out += "\\\\";
    else if (*c == '\n') out += "\\n";
    else out.push_back(*c);
  }
  return out;
}

// "PID:STATE" of every process whose parent is `parent`, but this one.
std::string siblings(pid_t parent) {
  std::string out;
  const lmfs::base::UniqueDir d(::opendir("/proc"));
  if (!d) return "?";
  while (const dirent* e = ::readdir(d.get())) {
    const auto listed = lmfs::text::whole_number<pid_t>(e->d_name);
    if (!listed || *listed == ::getpid()) continue;
    const pid_t pid = *listed;
    // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = '?';
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) out += (out.empty() ? "" : " ") + std::to_string(pid) + ":" + state;
  }
  return out;
}

// The value of field `name` ("SigIgn") of /proc/self/status.
std::string status_field(const std::string& name) {
  for (const std::string& line : lmfs::testing::split_lines(read_file("/proc/self/status"))) {
    if (line.starts_with(name + ":")) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  }
  return "?";
}

[[noreturn]] void die_of(int sig) {
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);  // NOLINT(concurrency-mt-unsafe): the tool has one thread
  ::kill(::getpid(), sig);
  ::pause();
  std::_Exit(125);
}

// A number of the test's script; a word that is none is a broken script.
int number(const std::string& word) {
  const auto n = lmfs::text::whole_number<int>(word);
  if (!n) {
    std::fprintf(stderr, "fake tool: \"%s\" is not a number\n", word.c_str());
    std::_Exit(125);
  }
  return *n;
}

void say(int fd, const std::string& text) {
  const std::string line = text + "\n";
  static_cast<void>(!::write(fd, line.data(), line.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string own_fds = numbers(open_fds());
  const std::string ignored = status_field("SigIgn"), blocked = status_field("SigBlk");

  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 125;
  const std::string self(exe, static_cast<std::size_t>(n));

  const pid_t parent = ::getppid();
  std::string comm = read_file("/proc/" + std::to_string(parent) + "/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();

  std::string record = "run\n";
  for (int i = 0; i < argc; ++i) record += "arg " + escaped(argv[i]) + "\n";
  record += "fds " + own_fds + "\nparent " + comm + "\nparent-fds " + numbers(open_fds(parent)) +
            "\nsiblings " + siblings(parent) + "\nsigign " + ignored + "\nsigblk " + blocked + "\n";
  {
    const lmfs::base::UniqueFd log(::open((self + ".log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!log || ::write(log.get(), record.data(), record.size()) != static_cast<ssize_t>(record.size())) return 125;
  }

  for (const std::string& line : lmfs::testing::split_lines(read_file(self + ".do"))) {
    const auto blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    const std::string arg = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (word == "stdout" || word == "stderr") {
      say(word == "stdout" ? STDOUT_FILENO : STDERR_FILENO, arg);
    } else if (word == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(number(arg)));
    } else if (word == "exit") {
      return number(arg);
    } else if (word == "signal") {
      die_of(number(arg));
    }
  }
  return 0;
}
