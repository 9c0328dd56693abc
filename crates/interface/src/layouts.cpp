// What the interface's prefix tables point at, and the root of its graph.
#include "lmfs_interface/layouts.h"

namespace lmfs::abi {

namespace tl {
const PTStructLayout driver_object_vtable_layout = pt_layout_of<DriverObjectVtable>;
const PTStructLayout driver_vtable_layout = pt_layout_of<VTableFields>;
const PTStructLayout root_module_table_layout = pt_layout_of<StorageDriverModFields>;
}  // namespace tl

namespace layouts {

const tl::TypeLayout* root_module_layout() { return tl::layout_of<tl::RootModuleRef>(); }

}  // namespace layouts
}  // namespace lmfs::abi
