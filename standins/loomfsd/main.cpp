// loomfsd [--ready-fd=N] DEVICE DIR
//
// Serves the stand-in loomfs on DEVICE at DIR through FUSE until the mount
// goes away (umount, or SIGTERM/SIGINT/SIGHUP), then writes the file system
// out and exits. With --ready-fd (as mount.loomfs starts it) it writes
// "ready\n" to that descriptor once the mount is live and moves its standard
// streams away: stderr to /dev/shm/loomfs-standins/loomfsd-KEY.log, KEY being
// the device part of the cleaner semaphore's name. Without it, it stays in the
// foreground with its streams as given.
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "device.h"
#include "fuse_ops.h"
#include "lmfs_text/errno_text.h"
#include "mount_table.h"
#include "lmfs_base/try.h"

namespace lmfs::standin {
namespace {

constexpr const char* kUsage = "usage: loomfsd [--ready-fd=N] DEVICE DIR\n";
constexpr const char* kLogDir = "/dev/shm/loomfs-standins";

// Owner of the FUSE session and of its mount.
class Session {
 public:
  explicit Session(fuse_session* se) : se_(se) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (mounted_) fuse_session_unmount(se_);
    if (signals_) fuse_remove_signal_handlers(se_);
    fuse_session_destroy(se_);
  }
  [[nodiscard]] Result<void> mount(const std::string& dir) {
    if (fuse_set_signal_handlers(se_) != 0) return fail("cannot set signal handlers");
    signals_ = true;
    if (fuse_session_mount(se_, dir.c_str()) != 0) return fail("cannot mount on " + dir);
    mounted_ = true;
    return {};
  }
  [[nodiscard]] int loop() {
    fuse_loop_config* config = fuse_loop_cfg_create();
    const int rc = fuse_session_loop_mt(se_, config);
    fuse_loop_cfg_destroy(config);
    return rc;
  }

 private:
  fuse_session* se_;
  bool signals_ = false;
  bool mounted_ = false;
};

// Commas and backslashes in an option value are escaped for FUSE's parser.
std::string option_value(std::string_view v) {
  std::string out;
  for (char c : v) {
    if (c == ',' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

Result<UniqueFd> open_log(const DeviceInfo& device) {
  if (::mkdir(kLogDir, 0700) != 0 && errno != EEXIST) {
    return sys_fail(std::string("cannot create ") + kLogDir);
  }
  return open_fd(std::string(kLogDir) + "/loomfsd-" + device_key(device) + ".log",
                 O_WRONLY | O_CREAT | O_APPEND, 0600);
}

// Standard streams away from whoever started us; stderr goes to the log.
Result<void> detach(const UniqueFd& log) {
  auto null = LMFS_TRY(open_fd("/dev/null", O_RDWR));
  if (::dup2(null.get(), STDIN_FILENO) < 0 || ::dup2(null.get(), STDOUT_FILENO) < 0 ||
      ::dup2(log.get(), STDERR_FILENO) < 0) {
    return sys_fail("cannot redirect the standard streams");
  }
  if (::chdir("/") != 0) return sys_fail("cannot change to /");
  return {};
}

// `ready`, when given, hears "ready" once the file system is served.
Result<int> serve(const std::string& device_name, const std::string& dir_name, UniqueFd ready) {
  auto device = LMFS_TRY(inspect_device(device_name));
  auto dir = LMFS_TRY(canonical_path(dir_name));
  auto fd = LMFS_TRY(open_fd(device.path, O_RDWR));
  auto locked = LMFS_TRY(try_lock_device(fd.get()));
  if (!locked) return fail(device.path + " is already mounted");
  // The lock must outlive everything the process does, leak checks at exit
  // included: umount.loomfs takes its release as the sign that we are gone.
  // So a second descriptor of it is left for the kernel to close.
  if (::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3) < 0) return sys_fail("cannot keep the device lock");
  auto size = LMFS_TRY(device_size(fd.get()));
  auto sb = read_superblock(fd.get(), size);
  if (!sb) return fail(device.path + ": " + sb.error().what);
  auto stored = read_newest_image(fd.get(), *sb);
  if (!stored) return fail(device.path + ": " + stored.error().what);
  auto fs = FileSystem::load(std::move(fd), *sb, std::move(*stored));
  if (!fs) return fail(device.path + ": " + fs.error().what);
  auto watch = LMFS_TRY(CleanerWatch::open(device));
  UniqueFd log;
  if (ready) {
    auto opened = LMFS_TRY(open_log(device));
    log = std::move(opened);
  }

  Served served{**fs, *watch, {}};
  const std::string options =
      "fsname=" + option_value(device.path) + ",subtype=loomfs,allow_other,default_permissions";
  const char* argv[] = {"loomfsd", "-o", options.c_str()};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fuse_session* se =
      fuse_session_new(&args, &loomfs_operations(), sizeof(fuse_lowlevel_ops), &served);
  fuse_opt_free_args(&args);
  if (se == nullptr) return fail("cannot create the FUSE session");
  int rc = 0;
  {
    Session session(se);
    LMFS_TRY(session.mount(dir));
    (void)refresh_shown_mounts();
    if (ready) {
      LMFS_TRY(detach(log));
      std::fprintf(stderr, "loomfsd[%d]: serving %s on %s\n", static_cast<int>(::getpid()),
                   device.path.c_str(), dir.c_str());
      LMFS_TRY(write_all(ready.get(), "ready\n"));
      ready.reset();
    }
    rc = session.loop();
  }
  int status = rc == 0 ? kExitOk : kExitFailure;
  if (auto p = (*fs)->persist(); !p) {
    std::fprintf(stderr, "loomfsd: cannot write %s out: %s\n", device.path.c_str(),
                 lmfs::text::libc_error_text(p.error()).c_str());
    status = kExitFailure;
  }
  (void)refresh_shown_mounts();
  std::fprintf(stderr, "loomfsd[%d]: done with %s\n", static_cast<int>(::getpid()),
               device.path.c_str());
  return status;
}

}  // namespace
}  // namespace lmfs::standin

int main(int argc, char** argv) {
  using namespace lmfs::standin;
  int ready_fd = -1;
  int first = 1;
  if (argc == 4) {
    const std::string_view flag(argv[1]);
    constexpr std::string_view kReady = "--ready-fd=";
    const char* end = flag.data() + flag.size();
    if (!flag.starts_with(kReady) ||
        std::from_chars(flag.data() + kReady.size(), end, ready_fd).ptr != end || ready_fd < 3) {
      std::fputs(kUsage, stderr);
      return kExitUsage;
    }
    first = 2;
  } else if (argc != 3) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  auto r = serve(argv[first], argv[first + 1], UniqueFd(ready_fd));
  if (!r) {
    std::fprintf(stderr, "loomfsd: %s\n", r.error().message().c_str());
    return kExitFailure;
  }
  return *r;
}
