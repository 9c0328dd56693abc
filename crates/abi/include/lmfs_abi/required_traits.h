// RequiredTraits, the framework's extra check of trait objects: which auto
// traits and which other traits an object must implement. A plug-in stores
// one with the layout of each trait object it exports
// (`required_traits_checks`); a host reads it back and renders it with the
// texts below.
#pragma once

#include <string>

#include "lmfs_abi/type_layout.h"

namespace lmfs::abi::tl {

// The extra check's table: type_layout, check_compatibility (the other side's
// check must have the same auto traits and at least our other traits),
// nested_type_layouts (none), combine (nothing to combine), and the
// object-level table with its Debug and Display.
extern const ExtraChecksVTable kRequiredTraitsVTable;

// The stored extra check of a trait object requiring `traits`.
[[nodiscard]] constexpr StoredExtraChecks required_traits_checks(const RequiredTraits* traits) {
  return StoredExtraChecks{&kRequiredTraitsVTable, traits};
}

// "RequiredTraits\nAuto traits:<no_traits>\nImpld traits: Debug\n": what the
// check's Display writes.
[[nodiscard]] std::string required_traits_display(const RequiredTraits& traits);

// `RequiredTraits { auto_traits_bits: 0, auto_traits: {}, regular_traits_bits:
// 16, regular_traits: {"Debug"} }`, plain or alternate: what its Debug writes.
[[nodiscard]] std::string required_traits_debug(const RequiredTraits& traits, bool alternate);

}  // namespace lmfs::abi::tl
