#include "cleaner_lock.h"

#include <dirent.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <fstream>
#include <sstream>
#include <vector>

#include "loomfs.h"
#include "lmfs_abi/strcat.h"

namespace lmfs::host {
namespace {

using abi::cat;

// A JSON string literal; the device name is shown as the bytes it is, only
// quotes, backslashes and control characters are escaped.
std::string json(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      out += cat("\\u00", "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 0xF]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

struct Failure {
  int err;
  std::string what;
};

std::string errno_name(int err) {
  const char* name = ::strerrorname_np(err);
  return name != nullptr ? name : std::to_string(err);
}

// The name loomfs_open_sem derives for `device`, for showing it and finding
// its file under /dev/shm.
std::expected<std::string, Failure> semaphore_name(const std::string& device) {
  struct stat st{};
  if (::stat(device.c_str(), &st) != 0) return std::unexpected(Failure{errno, "cannot examine " + device});
  if (S_ISBLK(st.st_mode)) return cat("/loomfs-cleaner-", static_cast<unsigned long long>(st.st_rdev));
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    return cat("/loomfs-cleaner-", static_cast<unsigned long long>(st.st_dev), "-",
               static_cast<unsigned long long>(st.st_ino));
  }
  return std::unexpected(Failure{EINVAL, device + " is neither a block device nor a regular file"});
}

// The cleaner semaphore of one device, opened through the control library on
// a handle that holds nothing but the device name.
class CleanerSemaphore {
 public:
  static std::expected<CleanerSemaphore, Failure> open(const std::string& device) {
    CleanerSemaphore s;
    s.fs_.n_dev_fd = -1;
    s.fs_.n_dir_fd = -1;
    s.fs_.n_devpath = ::strdup(device.c_str());
    if (s.fs_.n_devpath == nullptr) return std::unexpected(Failure{ENOMEM, "out of memory"});
    if (::loomfs_open_sem(&s.fs_) != 0) {
      return std::unexpected(Failure{errno, "cannot open the cleaner semaphore of " + device});
    }
    return s;
  }
  CleanerSemaphore(CleanerSemaphore&& other) noexcept : fs_(other.fs_) {
    other.fs_.n_devpath = nullptr;
    other.fs_.n_cleaner = nullptr;
  }
  CleanerSemaphore& operator=(CleanerSemaphore&&) = delete;
  ~CleanerSemaphore() {
    if (fs_.n_cleaner != nullptr) ::sem_close(fs_.n_cleaner);
    std::free(fs_.n_devpath);
  }

  [[nodiscard]] std::expected<int, Failure> value() const {
    int v = 0;
    if (::sem_getvalue(fs_.n_cleaner, &v) != 0) return std::unexpected(Failure{errno, "cannot read the semaphore"});
    return v;
  }
  [[nodiscard]] std::expected<void, Failure> post() const {
    if (::sem_post(fs_.n_cleaner) != 0) return std::unexpected(Failure{errno, "cannot post the semaphore"});
    return {};
  }

 private:
  CleanerSemaphore() = default;
  struct loomfs fs_{};
};

// A process that has the semaphore mapped: it is inside a snapshot (or
// waiting to enter one), or it is the file system's own daemon.
struct User {
  long pid;
  std::string comm;
  // A thread of it sleeps in a futex wait, as one blocked in sem_wait does.
  // For a single-threaded host that means it waits for the lock; a
  // multi-threaded one may merely have idle threads.
  bool futex_wait;
};

std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool maps_file(long pid, const struct stat& file) {
  std::ifstream in(cat("/proc/", pid, "/maps"));
  for (std::string line; std::getline(in, line);) {
    unsigned dev_major = 0, dev_minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line.c_str(), "%*x-%*x %*s %*x %x:%x %llu", &dev_major, &dev_minor, &inode) == 3 &&
        inode == file.st_ino && dev_major == major(file.st_dev) && dev_minor == minor(file.st_dev)) {
      return true;
    }
  }
  return false;
}

bool waits_on_futex(long pid) {
  const std::string tasks = cat("/proc/", pid, "/task");
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return false;
  bool waiting = false;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    if (first_line(tasks + "/" + e->d_name + "/wchan").starts_with("futex")) waiting = true;
  }
  ::closedir(dir);
  return waiting;
}

// Every other process of this PID namespace that maps the semaphore's file.
std::vector<User> users_of(const std::string& name) {
  std::vector<User> users;
  struct stat file{};
  if (::stat(("/dev/shm/sem." + name.substr(1)).c_str(), &file) != 0) return users;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return users;
  const long self = ::getpid();
  while (const dirent* e = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid == self) continue;
    if (maps_file(pid, file)) users.push_back({pid, first_line(cat("/proc/", pid, "/comm")), waits_on_futex(pid)});
  }
  ::closedir(proc);
  return users;
}

std::string users_json(const std::vector<User>& users) {
  std::string out = "[";
  for (const User& u : users) {
    if (out.size() > 1) out += ",";
    out += cat("{\"pid\":", u.pid, ",\"comm\":", json(u.comm), ",\"futex_wait\":", u.futex_wait ? "true" : "false", "}");
  }
  return out + "]";
}

int fail(std::string_view op, const std::string& device, const Failure& f) {
  const std::string text = f.what + ": " + std::strerror(f.err);
  std::printf("%s\n", cat("{\"op\":", json(op), ",\"result\":\"Err\",\"device\":", json(device),
                          ",\"error\":{\"errno\":", json(errno_name(f.err)), ",\"text\":", json(text), "}}")
                          .c_str());
  std::fprintf(stderr, "lmfs-host: %s\n", text.c_str());
  return kExitLock;
}

const char* lock_word(int value) { return value == 0 ? "held" : "free"; }

void warn_overposted(const std::string& device, int value) {
  if (value <= 1) return;
  std::fprintf(stderr,
               "lmfs-host: warning: the cleaner lock of %s has the value %d: it was released more often than "
               "it was taken, so several snapshots may change checkpoints at once\n",
               device.c_str(), value);
}

// What every answer starts with.
std::string head(std::string_view op, const std::string& device, const std::string& name) {
  return cat("{\"op\":", json(op), ",\"result\":\"Ok\",\"device\":", json(device), ",\"semaphore\":", json(name));
}

// The device's cleaner lock, opened, with its name and its value now.
struct OpenLock {
  std::string name;
  CleanerSemaphore sem;
  int value;
};

std::expected<OpenLock, Failure> open_lock(const std::string& device) {
  auto name = semaphore_name(device);
  if (!name) return std::unexpected(name.error());
  auto sem = CleanerSemaphore::open(device);
  if (!sem) return std::unexpected(sem.error());
  auto value = sem->value();
  if (!value) return std::unexpected(value.error());
  return OpenLock{std::move(*name), std::move(*sem), *value};
}

}  // namespace

int lock_status(const std::string& device) {
  constexpr std::string_view op = "lock_status";
  auto lock = open_lock(device);
  if (!lock) return fail(op, device, lock.error());
  std::printf("%s\n", cat(head(op, device, lock->name), ",\"lock\":\"", lock_word(lock->value),
                          "\",\"value\":", lock->value, ",\"users\":", users_json(users_of(lock->name)), "}")
                          .c_str());
  warn_overposted(device, lock->value);
  return 0;
}

int release_lock(const std::string& device) {
  constexpr std::string_view op = "release_lock";
  auto lock = open_lock(device);
  if (!lock) return fail(op, device, lock.error());
  const std::string& name = lock->name;
  CleanerSemaphore& sem = lock->sem;
  bool released = false;
  if (lock->value == 0) {
    std::fprintf(stderr,
                 "lmfs-host: warning: releasing the cleaner lock of %s (%s) by force. This is only safe when no "
                 "process is in the middle of a snapshot on this file system: a live holder would release it a "
                 "second time later, and from then on two snapshots could change checkpoints at once.\n",
                 device.c_str(), name.c_str());
    for (const User& u : users_of(name)) {
      if (!u.futex_wait) {
        std::fprintf(stderr, "lmfs-host: warning: process %ld (%s) has the lock open and is not waiting on it\n",
                     u.pid, u.comm.c_str());
      }
    }
    if (auto posted = sem.post(); !posted) return fail(op, device, posted.error());
    released = true;
  } else {
    std::fprintf(stderr, "lmfs-host: the cleaner lock of %s is free; nothing released\n", device.c_str());
  }
  auto after = sem.value();
  if (!after) return fail(op, device, after.error());
  std::printf("%s\n", cat(head(op, device, name), ",\"released\":", released ? "true" : "false", ",\"lock\":\"",
                          lock_word(*after), "\",\"value\":", *after, "}")
                          .c_str());
  warn_overposted(device, *after);
  return 0;
}

}  // namespace lmfs::host
