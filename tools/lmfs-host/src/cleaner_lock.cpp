#include "cleaner_lock.h"

#include <dirent.h>
#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <expected>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "lmfs_base/try.h"
#include "lmfs_base/unique.h"
#include "lmfs_text/errno_text.h"
#include "lmfs_text/number.h"
#include "lmfs_text/text.h"
#include "loomfs.h"
#include "loomfs_api/cleaner_semaphore.h"
#include "lmfs_text/strcat.h"

namespace lmfs::host {
namespace {

using text::whole_number;

using text::cat;

// A JSON string literal; the device name is shown as the bytes it is, only
// quotes, backslashes and control characters are escaped.
std::string json(std::string_view s) { return text::json_string(s); }

struct Failure {
  int err;
  std::string what;
};

// The errno's name, or its number where it has none.
std::string errno_name(int err) {
  const std::string_view name = text::errno_name(err);
  return name.empty() ? std::to_string(err) : std::string(name);
}

// The name the control library derives for `device` (loomfs_sem_name).
std::expected<std::string, Failure> semaphore_name(const std::string& device) {
  char name[LOOMFS_SEM_NAME_SIZE];
  if (::loomfs_sem_name(device.c_str(), name, sizeof name) == 0) return std::string(name);
  const int err = errno;
  if (err == EINVAL) return std::unexpected(Failure{err, device + " is neither a block device nor a regular file"});
  return std::unexpected(Failure{err, "cannot examine " + device});
}

// One line of /proc/PID/maps: the address range and the file mapped there,
// by its device and inode (0 for an anonymous mapping).
struct Mapping {
  unsigned long long start = 0, end = 0;
  unsigned dev_major = 0, dev_minor = 0;
  unsigned long long inode = 0;

  [[nodiscard]] bool same_file(const Mapping& other) const {
    return inode == other.inode && dev_major == other.dev_major && dev_minor == other.dev_minor;
  }
};

// "start-end perms offset major:minor inode [path]", the numbers in hex but
// the inode.
std::optional<Mapping> parse_mapping(const std::string& line) {
  std::istringstream in(line);
  std::string range, perms, offset, dev, inode;
  if (!(in >> range >> perms >> offset >> dev >> inode)) return std::nullopt;
  const std::string_view r(range), d(dev);
  const std::size_t dash = r.find('-');
  const std::size_t colon = d.find(':');
  if (dash == std::string_view::npos || colon == std::string_view::npos) return std::nullopt;
  const auto start = whole_number<unsigned long long>(r.substr(0, dash), 16);
  const auto end = whole_number<unsigned long long>(r.substr(dash + 1), 16);
  const auto major = whole_number<unsigned>(d.substr(0, colon), 16);
  const auto minor = whole_number<unsigned>(d.substr(colon + 1), 16);
  const auto node = whole_number<unsigned long long>(inode, 10);
  if (!start || !end || !major || !minor || !node) return std::nullopt;
  return Mapping{*start, *end, *major, *minor, *node};
}

// The mapping of this process that holds `address`.
std::optional<Mapping> own_mapping_of(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream in("/proc/self/maps");
  for (std::string line; std::getline(in, line);) {
    if (auto m = parse_mapping(line); m && m->start <= at && at < m->end) return m;
  }
  return std::nullopt;
}

// The cleaner semaphore of one device, opened by its name through the
// control library. Nothing is created: the lock of a file system that no
// snapshot has used yet does not exist. A file the library refuses to trust
// (another user's, a link, a FIFO, a damaged one) is never mapped.
class CleanerSemaphore {
 public:
  // nullopt when the semaphore does not exist.
  static std::expected<std::optional<CleanerSemaphore>, Failure> open(const std::string& device,
                                                                      const std::string& name) {
    loomfs::UniqueCleanerSem sem(::loomfs_open_sem_existing(name.c_str()));
    if (sem) return CleanerSemaphore(std::move(sem));
    const int err = errno;
    if (err == ENOENT) return std::nullopt;
    if (err == EPERM) {
      if (auto refused = loomfs::cleaner_semaphore_refusal(name.c_str())) return std::unexpected(Failure{err, *refused});
    }
    return std::unexpected(Failure{err, "cannot open the cleaner semaphore of " + device});
  }

  [[nodiscard]] std::expected<int, Failure> value() const {
    int v = 0;
    if (::sem_getvalue(sem_.get(), &v) != 0) return std::unexpected(Failure{errno, "cannot read the semaphore"});
    return v;
  }
  [[nodiscard]] std::expected<void, Failure> post() const {
    if (::sem_post(sem_.get()) != 0) return std::unexpected(Failure{errno, "cannot post the semaphore"});
    return {};
  }

  // The file behind the semaphore, as the mapping that holds it shows it.
  [[nodiscard]] std::optional<Mapping> file() const { return own_mapping_of(sem_.get()); }

 private:
  explicit CleanerSemaphore(loomfs::UniqueCleanerSem sem) : sem_(std::move(sem)) {}
  loomfs::UniqueCleanerSem sem_;
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

bool maps_file(long pid, const Mapping& file) {
  std::ifstream in(cat("/proc/", pid, "/maps"));
  for (std::string line; std::getline(in, line);) {
    if (auto m = parse_mapping(line); m && m->same_file(file)) return true;
  }
  return false;
}

bool waits_on_futex(long pid) {
  const std::string tasks = cat("/proc/", pid, "/task");
  const base::UniqueDir dir(::opendir(tasks.c_str()));
  if (!dir) return false;
  bool waiting = false;
  while (const dirent* e = ::readdir(dir.get())) {
    if (e->d_name[0] == '.') continue;
    if (first_line(tasks + "/" + e->d_name + "/wchan").starts_with("futex")) waiting = true;
  }
  return waiting;
}

// Every other process of this PID namespace that maps the semaphore's file.
std::vector<User> users_of(const CleanerSemaphore& sem) {
  std::vector<User> users;
  const std::optional<Mapping> file = sem.file();
  if (!file) return users;
  const base::UniqueDir proc(::opendir("/proc"));
  if (!proc) return users;
  const long self = ::getpid();
  while (const dirent* e = ::readdir(proc.get())) {
    const auto pid = whole_number<long>(e->d_name, 10);
    if (!pid || *pid == self) continue;
    if (maps_file(*pid, *file)) users.push_back({*pid, first_line(cat("/proc/", *pid, "/comm")), waits_on_futex(*pid)});
  }
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
  const std::string message = f.what + ": " + text::libc_error_text(f.err);
  std::printf("%s\n", cat("{\"op\":", json(op), ",\"result\":\"Err\",\"device\":", json(device),
                          ",\"error\":{\"errno\":", json(errno_name(f.err)), ",\"text\":", json(message), "}}")
                          .c_str());
  std::fprintf(stderr, "lmfs-host: %s\n", message.c_str());
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

// The device's cleaner lock, with its name; when it exists, the semaphore
// opened and its value now.
struct OpenLock {
  std::string name;
  std::optional<CleanerSemaphore> sem;
  int value = 1;
};

std::expected<OpenLock, Failure> open_lock(const std::string& device) {
  std::string name = LMFS_TRY(semaphore_name(device));
  std::optional<CleanerSemaphore> sem = LMFS_TRY(CleanerSemaphore::open(device, name));
  if (!sem.has_value()) return OpenLock{std::move(name), std::nullopt};
  const int value = LMFS_TRY(sem->value());
  return OpenLock{std::move(name), std::move(sem), value};
}

// The lock of a file system no snapshot has used yet: the first one creates
// it, free.
constexpr std::string_view kAbsent = R"(,"lock":"absent","value":null)";

}  // namespace

int lock_status(const std::string& device) {
  constexpr std::string_view op = "lock_status";
  auto opened = open_lock(device);
  if (!opened) return fail(op, device, opened.error());
  const OpenLock& lock = *opened;
  if (!lock.sem.has_value()) {
    std::printf("%s\n", cat(head(op, device, lock.name), kAbsent, R"(,"users":[]})").c_str());
    return 0;
  }
  std::printf("%s\n", cat(head(op, device, lock.name), ",\"lock\":\"", lock_word(lock.value),
                          "\",\"value\":", lock.value, ",\"users\":", users_json(users_of(*lock.sem)), "}")
                          .c_str());
  warn_overposted(device, lock.value);
  return 0;
}

int release_lock(const std::string& device) {
  constexpr std::string_view op = "release_lock";
  auto opened = open_lock(device);
  if (!opened) return fail(op, device, opened.error());
  OpenLock& lock = *opened;
  const std::string& name = lock.name;
  if (!lock.sem.has_value()) {
    std::fprintf(stderr, "lmfs-host: the cleaner lock of %s does not exist yet; nothing released\n", device.c_str());
    std::printf("%s\n", cat(head(op, device, name), R"(,"released":false)", kAbsent, "}").c_str());
    return 0;
  }
  CleanerSemaphore& sem = *lock.sem;
  bool released = false;
  if (lock.value == 0) {
    std::fprintf(stderr,
                 "lmfs-host: warning: releasing the cleaner lock of %s (%s) by force. This is only safe when no "
                 "process is in the middle of a snapshot on this file system: a live holder would release it a "
                 "second time later, and from then on two snapshots could change checkpoints at once.\n",
                 device.c_str(), name.c_str());
    for (const User& u : users_of(sem)) {
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
