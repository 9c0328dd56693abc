// The control requests loomfsd serves on its root directory, and the watch it
// keeps on the cleaner lock.
//
// A change-mode request is meant to arrive while its sender holds the cleaner
// semaphore (value 0) and while no other change-mode is being served. The
// watch counts every request that arrives otherwise as a lock violation; the
// count is the third word of the status record and each violation also leaves
// a line in the daemon's log.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <linux/ioctl.h>
#include <memory>
#include <semaphore.h>
#include <utility>

#include "device.h"
#include "lmfs_base/unique.h"
#include "loomfs_api/cleaner_semaphore.h"
#include "result.h"

namespace lmfs::standin {

struct ModeChange {
  std::uint64_t number;    // checkpoint number, never 0
  std::uint32_t mode;      // 1: make it a snapshot
  std::uint32_t reserved;  // 0
};
static_assert(sizeof(ModeChange) == 16 && offsetof(ModeChange, mode) == 8 &&
              offsetof(ModeChange, reserved) == 12);

struct StatusRecord {
  std::uint64_t number;      // the current checkpoint
  std::uint64_t snapshots;   // how many checkpoints are snapshots
  std::uint64_t violations;  // lock violations seen since the mount
};
static_assert(sizeof(StatusRecord) == 24 && offsetof(StatusRecord, snapshots) == 8 &&
              offsetof(StatusRecord, violations) == 16);

inline constexpr unsigned kIocChangeMode = 0x40106E80;
inline constexpr unsigned kIocGetStatus = 0x80186E83;
inline constexpr unsigned kIocSync = 0x80086E8A;
static_assert(kIocChangeMode == _IOW(0x6E, 0x80, ModeChange));
static_assert(kIocGetStatus == _IOR(0x6E, 0x83, StatusRecord));
static_assert(kIocSync == _IOR(0x6E, 0x8A, std::uint64_t));

// How long a change-mode request stays "in progress" before it is served, so
// that a request overlapping it without the lock is seen.
inline constexpr std::chrono::milliseconds kChangeModeHold{2};

class CleanerWatch {
 public:
  // Opens (creating if absent, value 1) the cleaner semaphore of `device`.
  // One the control library refuses to trust is not watched (a warning says
  // so): the snapshots that meet it are refused, not this mount.
  [[nodiscard]] static Result<std::unique_ptr<CleanerWatch>> open(const DeviceInfo& device);

  // One change-mode request from arrival to reply: checked against the lock
  // on arrival, then held for kChangeModeHold before it is served.
  class Request {
   public:
    Request(CleanerWatch& watch, std::uint64_t number, int sender);
    ~Request() { watch_.in_progress_.fetch_sub(1); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

   private:
    CleanerWatch& watch_;
  };

  [[nodiscard]] std::uint64_t violations() const { return violations_.load(); }

 private:
  explicit CleanerWatch(loomfs::UniqueCleanerSem sem) : sem_(std::move(sem)) {}
  loomfs::UniqueCleanerSem sem_;  // none: a semaphore the control library refused
  std::atomic<int> in_progress_{0};
  std::atomic<std::uint64_t> violations_{0};
};

}  // namespace lmfs::standin
