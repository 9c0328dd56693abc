// The StorageDriver interface as a table of operations, and the interface
// object StorageDriver_TO the host holds: a pointer to the table plus an RBox
// of the erased driver object.
#pragma once

#include "lmfs_abi/records.h"
#include "lmfs_interface/error.h"
#include "lmfs_interface/media.h"
#include "lmfs_interface/snapshot.h"

namespace lmfs::abi {

using PathBufOption = ROption<RPathBuf>;
using PathBufResult = RResult<RPathBuf, StorageDriverError>;
using MediaResult = RResult<StorageMedia, StorageDriverError>;
using StringOption = ROption<RString>;
static_assert(sizeof(PathBufOption) == 40);
static_assert(sizeof(PathBufResult) == 80);
static_assert(sizeof(MediaResult) == 80);
static_assert(sizeof(StringOption) == 40);

namespace tl {
extern const PTStructLayout driver_object_vtable_layout;  // the object-level table
extern const PTStructLayout driver_vtable_layout;
}  // namespace tl

// The operation table, fields in slot order after the object-level table.
struct VTableFields {
  PrefixRef<RObjectVtableFields> _sabi_vtable;
  UnitResult (*init)(ErasedMut self);
  UnitResult (*done)(ErasedMut self);
  PathBufOption (*root)(ErasedRef self);
  PathBufResult (*at_root)(ErasedRef self, const RPath* param_0);
  MediaResult (*stores)(ErasedRef self);
  UnitResult (*initialize_stores)(ErasedMut self, const StorageMedia* param_0, StringOption param_1);
  UnitResult (*attach_stores)(ErasedMut self, const RPath* param_0, const StorageMedia* param_1, StringOption param_2);
  UnitResult (*detach_stores)(ErasedMut self, const RPath* param_0);
  SnapshotResult (*take_snapshot)(ErasedRef self);
  SnapshotResult (*next_snapshot)(ErasedRef self);
  SnapshotResult (*last_snapshot)(ErasedRef self);
  SnapshotResult (*edge_snapshot)(ErasedRef self);
  SnapshotResult (*full_snapshot)(ErasedRef self);
  SnapshotResult (*snapshot)(ErasedRef self, const RPath* param_0, bool param_1);
};
using VTable = WithMetadata<VTableFields>;
inline constexpr std::uint64_t kVTableMask = 0xFFFF;
static_assert(sizeof(VTableFields) == 15 * 8);
static_assert(offsetof(VTable, fields) == 16);
static_assert(offsetof(VTableFields, init) == 8);
static_assert(offsetof(VTableFields, snapshot) == 14 * 8);

struct StorageDriver_TO {
  RObject<VTableFields> obj;
};
static_assert(sizeof(StorageDriver_TO) == 24);

using NewResult = RResult<StorageDriver_TO, StorageDriverError>;
static_assert(sizeof(NewResult) == 80 && offsetof(NewResult, payload) == 8);

}  // namespace lmfs::abi
