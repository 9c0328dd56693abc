// The snapshot record the driver reports, built from a checkpoint number.
#pragma once

#include <cstdint>

#include "lmfs_storage_driver/abi.h"
#include "lmfs_storage_driver/error.h"

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

// id = n in decimal, timestamp 0, no metadata.
[[nodiscard]] RSnapshot snapshot_from_checkpoint(std::uint64_t checkpoint);

void release(RSnapshot& s);

}  // namespace lmfs::abi
