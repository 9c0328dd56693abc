// The device a stand-in loomfs lives on: its canonical name and kind, its
// size, the name of its cleaner semaphore, and the advisory lock by which a
// daemon marks the device as served.
//
// The lock is an exclusive flock(2) on the device node (or image file) held by
// loomfsd from start to exit. mkfs.loomfs and mount.loomfs refuse a device
// whose lock is taken, and umount.loomfs waits for the lock to come free to
// know that the daemon has written everything out and gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "fd.h"
#include "result.h"

namespace lmfs::standin {

struct DeviceInfo {
  std::string path;  // canonical absolute name
  bool block = false;  // a block device; otherwise a regular file
  dev_t rdev = 0;    // block device: its number
  dev_t dev = 0;     // regular file: the device holding it
  ino_t ino = 0;     // regular file: its inode
};

// `path` made absolute with links, "." and ".." resolved (realpath(3)).
[[nodiscard]] Result<std::string> canonical_path(const std::string& path);

// Resolves and examines `path`; anything but a block device or a regular file
// is refused.
[[nodiscard]] Result<DeviceInfo> inspect_device(const std::string& path);

// Size in bytes of the open device or image file.
[[nodiscard]] Result<std::uint64_t> device_size(int fd);

// "/loomfs-cleaner-<rdev>" for a block device, "/loomfs-cleaner-<dev>-<ino>"
// for an image file: the name every user of the file system derives, as the
// control library gives it (loomfs_sem_name).
[[nodiscard]] Result<std::string> cleaner_semaphore_name(const DeviceInfo& info);

// The part of the semaphore name after "/loomfs-cleaner-"; names per-device
// files such as the daemon's log.
[[nodiscard]] std::string device_key(const DeviceInfo& info);

// Takes the served-device lock on `fd` without waiting; false when another
// descriptor holds it.
[[nodiscard]] Result<bool> try_lock_device(int fd);

// True when a daemon (or a running mkfs) holds the lock of `path`.
[[nodiscard]] Result<bool> device_in_use(const std::string& path);

// Waits until nobody holds the lock of `path`, for at most `limit`.
[[nodiscard]] Result<void> wait_until_released(const std::string& path,
                                               std::chrono::milliseconds limit);

}  // namespace lmfs::standin
