// What the control library's tests add to the shared test support: scratch
// trees, superblock images, a private mount namespace and the semaphores in
// it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "lmfs_base/unique.h"
#include "lmfs_testing/files.h"
#include "lmfs_testing/loop_device.h"
#include "loomfs.h"

namespace loomfs_test {

using lmfs::testing::LoopDevice;
using lmfs::testing::open_fds;
using lmfs::testing::TempDir;
using lmfs::testing::write_file;

void MakeDirs(const std::string& path);
void MakeLink(const std::string& target, const std::string& link);

// Changes the working directory for the life of the guard.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string& dir);
  ~CwdGuard();
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  lmfs::base::UniqueFd saved_;
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

// Runs body in a child process with its own mount namespace in which
// /proc/mounts holds `mounts` (the rest of /proc stays reachable) and /dev/shm
// is an empty tmpfs.  Failures inside body are reported by the child.
testing::AssertionResult RunIsolated(const std::string& mounts, const std::function<void()>& body);

// Names of the semaphores in /dev/shm, without the "sem." prefix.
std::set<std::string> Semaphores();

}  // namespace loomfs_test
