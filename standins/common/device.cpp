#include "device.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>

#include "loomfs.h"
#include "lmfs_base/try.h"

namespace lmfs::standin {

Result<std::string> canonical_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                      &std::free);
  if (!resolved) {
    return sys_fail("cannot find " + path);
  }
  return std::string(resolved.get());
}

Result<DeviceInfo> inspect_device(const std::string& path) {
  auto canon = LMFS_TRY(canonical_path(path));
  struct stat st {};
  if (::stat(canon.c_str(), &st) != 0) {
    return sys_fail("cannot examine " + canon);
  }
  DeviceInfo info;
  info.path = canon;
  if (S_ISBLK(st.st_mode)) {
    info.block = true;
    info.rdev = st.st_rdev;
  } else if (S_ISREG(st.st_mode)) {
    info.dev = st.st_dev;
    info.ino = st.st_ino;
  } else {
    return fail(path + " is neither a block device nor a regular file");
  }
  return info;
}

Result<std::uint64_t> device_size(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return sys_fail("cannot examine the device");
  }
  if (S_ISREG(st.st_mode)) {
    return static_cast<std::uint64_t>(st.st_size);
  }
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
      return sys_fail("cannot read the device size");
    }
    return bytes;
  }
  return fail("not a block device or regular file", EINVAL);
}

std::string device_key(const DeviceInfo& info) {
  if (info.block) {
    return std::to_string(static_cast<unsigned long long>(info.rdev));
  }
  return std::to_string(static_cast<unsigned long long>(info.dev)) + "-" +
         std::to_string(static_cast<unsigned long long>(info.ino));
}

Result<std::string> cleaner_semaphore_name(const DeviceInfo& info) {
  char name[LOOMFS_SEM_NAME_SIZE];
  if (::loomfs_sem_name(info.path.c_str(), name, sizeof name) != 0) {
    return sys_fail("cannot name the cleaner semaphore of " + info.path);
  }
  return std::string(name);
}

Result<bool> try_lock_device(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return false;
    }
    if (errno != EINTR) {
      return sys_fail("cannot lock the device");
    }
  }
  return true;
}

Result<bool> device_in_use(const std::string& path) {
  auto fd = LMFS_TRY(open_fd(path, O_RDONLY));
  auto locked = LMFS_TRY(try_lock_device(fd.get()));
  // Our own lock goes with the descriptor.
  return !locked;
}

Result<void> wait_until_released(const std::string& path, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto busy = LMFS_TRY(device_in_use(path));
    if (!busy) {
      return {};
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail("the daemon serving " + path + " did not finish in time", ETIMEDOUT);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace lmfs::standin
