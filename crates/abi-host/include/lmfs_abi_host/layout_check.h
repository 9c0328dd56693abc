// The framework's layout-compatibility check, on value models of two type
// layout graphs: the layout this host expects (the interface) and the one a
// library states for itself (the implementation). Every difference the
// framework's checker would refuse comes back as a value, with the path of
// types and fields that leads to it from the root.
//
// The comparison is the framework's, in its order: name, package, non-zero-ness,
// repr attribute, version (same major; for major 0 the same minor), lifetime
// and const-parameter counts, const parameters, phantom fields, size (a prefix
// type may be larger in the library), alignment, data kind, tag, extra checks;
// then per kind the fields (name, lifetime indices, functions, then the field's
// own type), enums (exhaustiveness, variant count, discriminants, variant
// names and field counts, fields) and prefix types (prefix field count,
// conditional fields, fields). Fields of a prefix type not accessible on both
// sides only compare size and alignment. A pair of types already being
// compared counts as compatible, so cycles end.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "lmfs_abi_host/layout_error.h"
#include "lmfs_abi_host/layout_graph.h"
#include "lmfs_abi_host/mapped_memory.h"

namespace lmfs::abi::layout {

// The framework's kinds of instability.
enum class MismatchKind : std::uint8_t {
  CyclicTypeChecking,
  NonZeroness,
  Name,
  Package,
  PackageVersionParseError,
  PackageVersion,
  MismatchedPrefixSize,
  Size,
  Alignment,
  GenericParamCount,
  TLDataDiscriminant,
  MismatchedPrimitive,
  FieldCountMismatch,
  FieldLifetimeMismatch,
  FnLifetimeMismatch,
  FnQualifierMismatch,
  UnexpectedField,
  TooManyVariants,
  MismatchedPrefixConditionality,
  MismatchedExhaustiveness,
  MismatchedConstParam,
  UnexpectedVariant,
  ReprAttr,
  EnumDiscriminant,
  IncompatibleWithNonExhaustive,
  NoneExtraChecks,
  ExtraChecks,
  TagError,
};

[[nodiscard]] std::string_view kind_name(MismatchKind k);      // "FieldCountMismatch"
[[nodiscard]] std::string_view kind_meaning(MismatchKind k);   // "too many fields"

struct LayoutMismatch {
  MismatchKind kind;
  std::string expected;
  std::string found;
  // From the root's full type through the fields, functions and parameters
  // leading to the mismatch, e.g. {"PrefixRef<'a, StorageDriverMod>",
  // "0: StorageDriverMod", "new: fn(params,: RawValueBox)->RResult", ...}.
  std::vector<std::string> path;
  std::string note;  // more detail, when the kind alone does not tell
};

// Compares `found` (the library's graph) against `expected` (this host's),
// starting from both roots. Empty: compatible.
[[nodiscard]] std::vector<LayoutMismatch> check_layout_compatibility(const Graph& expected, const Graph& found);

// A readable multi-line report of the mismatches.
[[nodiscard]] std::string mismatch_report(const std::vector<LayoutMismatch>& mismatches);

// Reads both graphs (within `memory`, or the segments of the objects loaded
// now) and checks the library's against this host's; the error names what
// could not be read or reports every mismatch.
[[nodiscard]] std::expected<void, LayoutError> check_library_layout(const tl::TypeLayout* host_root,
                                                                    const tl::TypeLayout* library_root,
                                                                    const MappedMemory& memory);
[[nodiscard]] std::expected<void, LayoutError> check_library_layout(const tl::TypeLayout* host_root,
                                                                    const tl::TypeLayout* library_root);

}  // namespace lmfs::abi::layout
