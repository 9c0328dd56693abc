// A snapshot as a driver reports it (namespace lmfs) and as its record
// crosses the boundary (namespace lmfs::abi).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lmfs_abi/records.h"
#include "lmfs_interface/error.h"

namespace lmfs {

struct Snapshot {
  std::string id;
  std::uint64_t timestamp = 0;
  std::optional<std::string> metadata;  // bytes

  // id = n in decimal, timestamp 0, no metadata.
  [[nodiscard]] static Snapshot from_checkpoint(std::uint64_t checkpoint);
};

}  // namespace lmfs

namespace lmfs::abi {

struct RSnapshot {
  RString id;                              // the checkpoint number in decimal
  std::uint64_t timestamp;                 // always 0 from this driver
  ROption<RVec<std::uint8_t>> metadata;    // always RNone from this driver
};
static_assert(sizeof(RSnapshot) == 80);
static_assert(offsetof(RSnapshot, timestamp) == 32);
static_assert(offsetof(RSnapshot, metadata) == 40);
static_assert(sizeof(ROption<RVec<std::uint8_t>>) == 40);

using SnapshotResult = RResult<RSnapshot, StorageDriverError>;
static_assert(sizeof(SnapshotResult) == 88 && offsetof(SnapshotResult, payload) == 8);

[[nodiscard]] RSnapshot to_record(const lmfs::Snapshot& s);

void release(RSnapshot& s);

}  // namespace lmfs::abi
