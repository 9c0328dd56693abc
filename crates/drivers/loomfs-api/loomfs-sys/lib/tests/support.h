// Helpers shared by the control library's tests: scratch trees, superblock
// images, loop devices, descriptor snapshots and a private mount namespace.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "loomfs.h"

namespace loomfs_test {

// A scratch directory (canonical name) removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void MakeDirs(const std::string& path);
void MakeFile(const std::string& path, const std::string& data = {});
void MakeLink(const std::string& target, const std::string& link);

// Changes the working directory for the life of the guard.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string& dir);
  ~CwdGuard();

 private:
  int saved_;
};

// The superblock fields the library reads, and a tag byte (offset 100) that
// tells which copy came back.
struct Sb {
  uint16_t magic = LOOMFS_SB_MAGIC;
  uint16_t limited = 0;   // offset 8
  uint32_t shift = 0;     // offset 20
  uint64_t a = 0;         // offset 24
  uint32_t b = 0;         // offset 48
  uint64_t features = 0;  // offset 272
  uint8_t tag = 0;        // offset 100
};

std::string EncodeSb(const Sb& sb);
uint64_t SecondaryOffset(uint64_t device_size);
// A sparse image of `size` bytes with the given copies at 1024 and at the
// secondary offset (the latter only where the image has one).
void WriteImage(const std::string& path, uint64_t size, const std::optional<Sb>& primary,
                const std::optional<Sb>& secondary);

// A loop device on an image, detached again on destruction.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& path() const { return path_; }
  // makedev() of the numbers the kernel lists for the device in sysfs.
  unsigned long long sysfs_devno() const;

 private:
  std::string path_;
};

// The descriptors open in this process.
std::set<std::string> OpenFds();

// Runs body in a child process with its own mount namespace in which
// /proc/mounts holds `mounts` (the rest of /proc stays reachable) and /dev/shm
// is an empty tmpfs.  Failures inside body are reported by the child.
testing::AssertionResult RunIsolated(const std::string& mounts, const std::function<void()>& body);

// Names of the semaphores in /dev/shm, without the "sem." prefix.
std::set<std::string> Semaphores();

}  // namespace loomfs_test
