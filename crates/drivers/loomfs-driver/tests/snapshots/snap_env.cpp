#include "snap_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace lmfs::snaptest {
namespace {

std::string unique_name(const std::string& stem) {
  static std::atomic<int> counter{0};
  return env_dir() + "/" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

std::string device_number(const std::string& device) {
  struct stat st{};
  if (::stat(device.c_str(), &st) != 0) return "?";
  return std::to_string(static_cast<unsigned long long>(st.st_rdev));
}

}  // namespace

Store::Store()
    : image_(unique_name("store") + ".img"), mount_dir_(unique_name("mnt")), loop_(image_, 16 << 20) {
  if (!loop_.attached()) {
    ADD_FAILURE() << loop_.error();
    return;
  }
  if (::mkdir(mount_dir_.c_str(), 0755) != 0) {
    ADD_FAILURE() << "cannot make " << mount_dir_ << ": " << std::strerror(errno);
  }
}

Store::~Store() {
  if (ready() && mounted()) unmount();
}

std::string Store::params() const {
  return R"({"bin_dir":")" + standin_dir() + R"(","media":{"inner":[{"Block":{"inner":")" +
         device() + R"("}}]},"root":")" + mount_dir_ + R"("})";
}

std::vector<std::string> Store::host_args(const std::vector<std::string>& ops) const {
  std::vector<std::string> args = {plugin_path(), "--params", params()};
  args.insert(args.end(), ops.begin(), ops.end());
  return args;
}

std::string Store::attach() const { return "block:" + device(); }

bool Store::mount(const std::string& dir) {
  const auto r = run({standin("mount.loomfs"), "-o", kMountOptions, device(), dir});
  if (r.exit_status != 0) ADD_FAILURE() << "mount.loomfs failed: " << r.err;
  return r.exit_status == 0;
}

bool Store::mounted() const {
  for (const std::string& line : split_lines(read_file("/proc/mounts"))) {
    std::istringstream fields(line);
    std::string source, dir, type;
    fields >> source >> dir >> type;
    if (source == device() && type == "loomfs") return true;
  }
  return false;
}

void Store::unmount() {
  const auto r = run({standin("umount.loomfs"), device()});
  if (r.exit_status != 0) ADD_FAILURE() << "umount.loomfs failed: " << r.err;
}

std::string Store::semaphore() const { return "/loomfs-cleaner-" + device_number(device()); }

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
  for (const auto& line : split_lines(read_file("/dev/shm/loomfs-standins/loomfsd-" + device_number(device()) + ".log"))) {
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

::testing::AssertionResult Store::format_and_mount() const {
  auto setup = run_host_args(host_args({"initialize_stores", attach(), "attach_stores", mount_dir_, attach()}));
  if (setup.lines.size() == 3 && setup.lines[2] == R"({"op":"attach_stores","result":"Ok"})") {
    return ::testing::AssertionSuccess();
  }
  std::string lines;
  for (const auto& l : setup.lines) lines += "\n  " + l;
  return ::testing::AssertionFailure() << "format and mount failed:" << lines << "\n" << setup.err;
}

}  // namespace lmfs::snaptest
