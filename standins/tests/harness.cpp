#include "harness.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace lmfs::standin::testing {

namespace {

constexpr unsigned kIocChangeMode = 0x40106E80;
constexpr unsigned kIocGetStatus = 0x80186E83;
constexpr unsigned kIocSync = 0x80086E8A;

struct ModeChange {
  std::uint64_t number;
  std::uint32_t mode;
  std::uint32_t reserved;
};

// The mount directory opened as the plug-in opens it.
template <class F>
auto on_dir(const std::string& dir, F&& f) -> decltype(f(0)) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  auto r = f(fd);
  ::close(fd);
  return r;
}

}  // namespace

std::string tool(const std::string& name) { return kBinDir + "/" + name; }

std::string env_dir() {
  const char* dir = std::getenv("LMFS_ENV_DIR");
  return dir == nullptr ? std::string() : std::string(dir);
}

int Outcome::exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

Outcome run(const std::vector<std::string>& argv) {
  Outcome result;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
    return result;
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  while (::waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
  }
  return result;
}

Image::Image(const std::string& name, std::uint64_t size) : path_(env_dir() + "/" + name) {
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    ADD_FAILURE() << "cannot make image " << path_ << ": " << std::strerror(errno);
  }
  if (fd >= 0) ::close(fd);
}

Image::~Image() { ::unlink(path_.c_str()); }

LoopDevice::LoopDevice(const std::string& image) {
  const int ctl = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  const int backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (ctl < 0 || backing < 0) {
    ADD_FAILURE() << "cannot open loop control or " << image << ": " << std::strerror(errno);
  }
  // Another process may take the free device first; then ask again.
  for (int attempt = 0; ctl >= 0 && backing >= 0 && attempt < 100 && fd_ < 0; ++attempt) {
    const int n = ::ioctl(ctl, LOOP_CTL_GET_FREE);
    if (n < 0) break;
    const std::string path = "/dev/loop" + std::to_string(n);
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(),
                 LO_NAME_SIZE - 1);
    if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
      fd_ = fd;
      path_ = path;
    } else {
      ::close(fd);
    }
  }
  if (fd_ < 0) ADD_FAILURE() << "cannot attach a loop device to " << image;
  if (backing >= 0) ::close(backing);
  if (ctl >= 0) ::close(ctl);
}

LoopDevice::~LoopDevice() {
  if (fd_ >= 0) {
    ::ioctl(fd_, LOOP_CLR_FD, 0);  // may be busy still; autoclear then finishes it
    ::close(fd_);
  }
}

std::string make_dir(const std::string& name) {
  const std::string path = env_dir() + "/" + name;
  if (::mkdir(path.c_str(), 0755) != 0) {
    ADD_FAILURE() << "cannot make " << path << ": " << std::strerror(errno);
  }
  return path;
}

Mount::Mount(const std::string& device, const std::string& dir) : device_(device) {
  mounted_ = run({tool("mount.loomfs"), "-o", kMountOptions, device, dir});
  live_ = mounted_.exit_code() == 0;
}

Mount::~Mount() {
  if (live_) unmount();
}

Outcome Mount::unmount() {
  live_ = false;
  return run({tool("umount.loomfs"), device_});
}

std::expected<std::uint64_t, int> sync_fs(const std::string& dir) {
  return on_dir(dir, [](int fd) -> std::expected<std::uint64_t, int> {
    std::uint64_t n = 0;
    if (::ioctl(fd, kIocSync, &n) != 0) return std::unexpected(errno);
    return n;
  });
}

std::expected<Status, int> get_status(const std::string& dir) {
  return on_dir(dir, [](int fd) -> std::expected<Status, int> {
    std::uint64_t words[3] = {};
    if (::ioctl(fd, kIocGetStatus, words) != 0) return std::unexpected(errno);
    return Status{words[0], words[1], words[2]};
  });
}

std::expected<void, int> change_mode(const std::string& dir, std::uint64_t number,
                                     std::uint32_t mode, std::uint32_t reserved) {
  return on_dir(dir, [&](int fd) -> std::expected<void, int> {
    ModeChange change{number, mode, reserved};
    if (::ioctl(fd, kIocChangeMode, &change) != 0) return std::unexpected(errno);
    return {};
  });
}

std::vector<std::string> shown_lines_for(const std::string& dir) {
  std::vector<std::string> found;
  std::istringstream in(read_file("/proc/mounts"));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string source, where;
    fields >> source >> where;
    if (where == dir) found.push_back(line);
  }
  return found;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace lmfs::standin::testing

// Replaces gtest_main's main (an archive member, so ours wins): runs the tests
// inside a fresh lmfs-env namespace unless already in one. Listing the tests
// (as CTest does to register them) needs no namespace.
int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing && std::getenv("LMFS_ENV_DIR") == nullptr) {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
      std::perror("readlink /proc/self/exe");
      return 1;
    }
    self[n] = '\0';
    const std::string env = lmfs::standin::testing::tool("lmfs-env");
    std::vector<char*> args{const_cast<char*>(env.c_str()), const_cast<char*>("--"), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(env.c_str(), args.data());
    std::perror(env.c_str());
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
