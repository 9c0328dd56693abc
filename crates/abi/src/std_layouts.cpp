// What the framework's own prefix tables point at, and the comparison table
// of const parameters.
#include "lmfs_abi/std_layouts.h"

#include <string>

namespace lmfs::abi::tl {

namespace internal {

bool usize_eq(const void* a, const void* b) {
  return *static_cast<const std::size_t*>(a) == *static_cast<const std::size_t*>(b);
}

RResult<Unit, Unit> usize_debug(const void* value, std::uint8_t /*mode*/, RString* out) {
  append(*out, std::to_string(*static_cast<const std::size_t*>(value)));
  RResult<Unit, Unit> r{};
  r.tag = kROk;
  return r;
}

const PTStructLayout const_generic_vtable_layout = pt_layout_of<ConstGenericVTableFields>;

}  // namespace internal

const PTStructLayout vec_vtable_layout = pt_layout_of<VecVTableFields>;
const PTStructLayout box_vtable_layout = pt_layout_of<BoxVTableFields>;
const PTStructLayout mutex_vtable_layout = pt_layout_of<MutexVTableFields>;

}  // namespace lmfs::abi::tl
