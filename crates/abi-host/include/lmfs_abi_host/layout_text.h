// The framework's texts for the parts of a layout graph: full type names,
// function signatures, and the Debug forms (plain or alternate) of lifetime
// indices, repr attributes, reflection modes and tags, as its printers and
// its checker's reports show them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lmfs_abi_host/layout_graph.h"

namespace lmfs::abi::layout {

// Fills every node's `full_type` from its name, primitive kind and generics,
// the framework's way (`&'a  RPath<'a> `, `*const u8 `, `[u8;16]`, a type
// inside its own parameters shows as `Name<{recursive}>`). read_graph calls
// this; graphs built by hand call it themselves.
void compute_full_types(Graph& graph);

// `Array(ArrayLen { len: 1, array: [[ANONYMOUS, NONE], ...] })` / `Slice([...])`
[[nodiscard]] std::string lifetime_indices_debug(const LifetimeIndices& l, bool alternate);
[[nodiscard]] std::vector<std::string> param_names(const Function& f);  // as the checker names parameters
// `unsafe fn(_self,: RMut<'a>)->RResult` followed by "\nlifetime indices:...\n"
// when the function references lifetimes.
[[nodiscard]] std::string function_text(const Graph& g, const Function& f);
[[nodiscard]] std::string generics_text(const Graph& g, const Node& n);  // `<'aStorageDriverMod>`
[[nodiscard]] std::string repr_debug(tl::ReprAttr r, bool alternate);   // `Int(U8)`
[[nodiscard]] std::string_view data_kind_text(tl::DataKind k);
[[nodiscard]] std::string_view primitive_text(tl::Primitive p);
[[nodiscard]] std::string refl_debug(tl::ModReflMode m, bool alternate);  // `DelegateDeref { layout_index: 0 }`
[[nodiscard]] std::string tag_debug(const Tag& t, bool alternate);       // `Tag { variant: Primitive(Null) }`
[[nodiscard]] std::string tag_text(const Tag& t);  // the tag's Display: `null`, `'text'`, `[ ... ]`
[[nodiscard]] std::string_view discriminant_kind_text(tl::DiscriminantKind kind);  // `U8` ... `Isize`
[[nodiscard]] std::string discriminant_text(tl::DiscriminantKind kind, std::uint64_t value);
// Variant i's name, `Variant{i}` when the stored list has none for it.
[[nodiscard]] std::string variant_name(const EnumData& e, std::size_t i);

}  // namespace lmfs::abi::layout
