#include "snap_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace lmfs::snaptest {
namespace {

// The stand-in's status request and its record.
struct StatusWords {
  std::uint64_t number, snapshots, violations;
};
constexpr unsigned long kGetStatus = _IOR(0x6E, 0x83, StatusWords);
static_assert(kGetStatus == 0x80186E83);

std::string unique_name(const std::string& stem) {
  static std::atomic<int> counter{0};
  return env_dir() + "/" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

// The inherited environment with `extra` entries replacing those of the same name.
std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;
  auto put = [&](const std::string& entry) { vars[entry.substr(0, entry.find('='))] = entry; };
  for (char** e = environ; *e != nullptr; ++e) put(*e);
  for (const auto& e : extra) put(e);
  std::vector<std::string> out;
  for (auto& [name, entry] : vars) out.push_back(entry);
  return out;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& out_path, const std::string& err_path) {
  std::vector<std::string> argv_s = {program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s = environment_with(env);
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  ::posix_spawn_file_actions_init(&fa);
  ::posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Nothing else of ours (or of whoever started us) leaks into the child.
  ::posix_spawn_file_actions_addclosefrom_np(&fa, STDERR_FILENO + 1);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    return -1;
  }
  return pid;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// A program other than lmfs-host (losetup, the stand-ins' tools), to its end.
ToolRun run_tool(const std::vector<std::string>& argv) {
  const std::string out = unique_name("tool-out"), err = unique_name("tool-err");
  ToolRun run;
  const pid_t pid = spawn(argv[0], {argv.begin() + 1, argv.end()}, {}, out, err);
  if (pid > 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  run.out = read_file(out);
  run.err = read_file(err);
  ::unlink(out.c_str());
  ::unlink(err.c_str());
  return run;
}

std::string device_number(const std::string& device) {
  struct stat st{};
  if (::stat(device.c_str(), &st) != 0) return "?";
  return std::to_string(static_cast<unsigned long long>(st.st_rdev));
}

}  // namespace

bool in_env() { return std::getenv("LMFS_ENV_DIR") != nullptr; }

std::string env_dir() {
  const char* d = std::getenv("LMFS_ENV_DIR");
  return d != nullptr ? d : "/tmp";
}

std::string standin(const std::string& tool) { return std::string(LMFS_STANDIN_BIN_DIR) + "/" + tool; }

// ---- lmfs-host processes ------------------------------------------------

HostProcess::HostProcess(const std::vector<std::string>& args, const std::vector<std::string>& env)
    : out_path_(unique_name("host-out")), err_path_(unique_name("host-err")) {
  pid_ = spawn(LMFS_HOST_PATH, args, env, out_path_, err_path_);
}

HostProcess::~HostProcess() {
  kill();
  ::unlink(out_path_.c_str());
  ::unlink(err_path_.c_str());
}

bool HostProcess::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  status_ = r < 0 ? 255 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

bool HostProcess::wait_for(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

void HostProcess::kill() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = 128 + SIGKILL;
}

std::vector<std::string> HostProcess::lines() const { return split_lines(read_file(out_path_)); }
std::string HostProcess::err() const { return read_file(err_path_); }

HostRun run_host(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 std::chrono::milliseconds limit) {
  HostProcess p(args, env);
  if (!p.wait_for(limit)) {
    ADD_FAILURE() << "lmfs-host still running after " << limit.count() << " ms; killed. Its error output:\n"
                  << p.err();
    p.kill();
  }
  return HostRun{p.exit_status(), p.lines(), p.err()};
}

std::vector<std::string> preload(const std::string& library, const std::string& fault) {
  // The sanitizers' runtime wants to come first among the loaded libraries;
  // a preloaded one comes before it, which is harmless here.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> env = {
      "LD_PRELOAD=" + library,
      std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") + "verify_asan_link_order=0",
  };
  if (!fault.empty()) env.push_back("LMFS_FAULT=" + fault);
  return env;
}

std::optional<FsStatus> fs_status(const std::string& mount_dir) {
  const int fd = ::open(mount_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  StatusWords w{};
  const int rc = ::ioctl(fd, kGetStatus, &w);
  ::close(fd);
  if (rc != 0) return std::nullopt;
  return FsStatus{w.number, w.snapshots, w.violations};
}

// ---- the store ----------------------------------------------------------

Store::Store() : image_(unique_name("store") + ".img"), mount_dir_(unique_name("mnt")) {
  const int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::ftruncate(fd, 16 << 20) != 0) {
    ADD_FAILURE() << "cannot make " << image_ << ": " << std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return;
  }
  ::close(fd);
  if (::mkdir(mount_dir_.c_str(), 0755) != 0) {
    ADD_FAILURE() << "cannot make " << mount_dir_ << ": " << std::strerror(errno);
    return;
  }
  const ToolRun losetup = run_tool({"losetup", "-f", "--show", image_});
  if (losetup.status != 0) {
    ADD_FAILURE() << "losetup failed: " << losetup.err;
    return;
  }
  device_ = losetup.out.substr(0, losetup.out.find('\n'));
}

Store::~Store() {
  if (device_.empty()) return;
  if (mounted()) unmount();
  run_tool({"losetup", "-d", device_});
}

std::string Store::params() const {
  return R"({"bin_dir":")" + std::string(LMFS_STANDIN_BIN_DIR) + R"(","media":{"inner":[{"Block":{"inner":")" +
         device_ + R"("}}]},"root":")" + mount_dir_ + R"("})";
}

std::vector<std::string> Store::host_args(const std::vector<std::string>& ops) const {
  std::vector<std::string> args = {LMFS_PLUGIN_PATH, "--params", params()};
  args.insert(args.end(), ops.begin(), ops.end());
  return args;
}

std::string Store::attach() const { return "block:" + device_; }

bool Store::mount(const std::string& dir) {
  const ToolRun r = run_tool({standin("mount.loomfs"), "-o", "order=relaxed,nogc,barrier,discard", device_, dir});
  if (r.status != 0) ADD_FAILURE() << "mount.loomfs failed: " << r.err;
  return r.status == 0;
}

bool Store::mounted() const {
  std::istringstream table(read_file("/proc/mounts"));
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string source, dir, type;
    fields >> source >> dir >> type;
    if (source == device_ && type == "loomfs") return true;
  }
  return false;
}

void Store::unmount() {
  const ToolRun r = run_tool({standin("umount.loomfs"), device_});
  if (r.status != 0) ADD_FAILURE() << "umount.loomfs failed: " << r.err;
}

std::string Store::semaphore() const { return "/loomfs-cleaner-" + device_number(device_); }

std::optional<int> Store::lock_value() const {
  sem_t* sem = ::sem_open(semaphore().c_str(), 0);
  if (sem == SEM_FAILED) return std::nullopt;
  int value = -1;
  ::sem_getvalue(sem, &value);
  ::sem_close(sem);
  return value;
}

std::vector<std::string> Store::violation_log() const {
  std::vector<std::string> out;
  for (const auto& line : split_lines(read_file("/dev/shm/loomfs-standins/loomfsd-" + device_number(device_) + ".log"))) {
    if (line.find("lock violation") != std::string::npos) out.push_back(line);
  }
  return out;
}

// ---- what lmfs-host prints ----------------------------------------------

std::string snapshot_ok(const std::string& op, std::uint64_t id) {
  return R"({"op":")" + op + R"(","result":"Ok","snapshot":{"id":")" + std::to_string(id) +
         R"(","timestamp":0,"metadata":null}})";
}

std::string other_err(const std::string& op, const std::string& text) {
  return R"({"op":")" + op + R"(","result":"Err","error":{"variant":"Other","text":")" + text + R"("}})";
}

std::vector<std::string> report_lines(const std::string& err) {
  std::vector<std::string> out;
  for (auto& line : split_lines(err)) {
    if (line.starts_with("Snap shot #")) out.push_back(line);
  }
  return out;
}

std::string report(std::uint64_t n) { return "Snap shot #" + std::to_string(n); }

}  // namespace lmfs::snaptest

// Replaces gtest_main's main: the tests run inside a fresh lmfs-env namespace
// (as root), unless they already are in one. Listing the tests, as CTest does
// at build time, needs no namespace.
int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing = listing || std::string_view(argv[i]).starts_with("--gtest_list_tests");
  if (!listing && !lmfs::snaptest::in_env() && ::geteuid() == 0) {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
      std::perror("readlink /proc/self/exe");
      return 125;
    }
    self[n] = '\0';
    std::string env = lmfs::snaptest::standin("lmfs-env");
    std::vector<char*> args = {env.data(), const_cast<char*>("--"), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(env.c_str(), args.data());
    std::perror(("cannot run " + env).c_str());
    return 125;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
