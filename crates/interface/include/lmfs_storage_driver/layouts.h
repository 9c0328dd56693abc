// The type layouts of the interface: generated at compile time from the
// descriptions in layout_descriptions.h, one static record set per type.
#pragma once

#include "lmfs_storage_driver/type_layout.h"

namespace lmfs::abi::layouts {

// Layout of the root module reference (PrefixRef<'a, StorageDriverMod>), the
// graph a host compares with its own before it calls anything.
[[nodiscard]] const tl::TypeLayout* root_module_layout();

}  // namespace lmfs::abi::layouts
