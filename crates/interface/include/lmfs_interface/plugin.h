// The root module StorageDriverMod a host builds from the plug-in's library
// header (see lmfs_abi/library.h): a prefix table of one field, `new`.
#pragma once

#include "lmfs_abi/library.h"
#include "lmfs_interface/driver.h"

namespace lmfs::abi {

// Root module: a prefix table of one field, `new`.
struct StorageDriverModFields {
  NewResult (*new_)(RawValueBox params);
};
using StorageDriverMod = WithMetadata<StorageDriverModFields>;
namespace tl {
extern const PTStructLayout root_module_table_layout;
}  // namespace tl
inline constexpr std::uint64_t kStorageDriverModMask = 0x1;
static_assert(offsetof(StorageDriverMod, fields.new_) == 16);

}  // namespace lmfs::abi
