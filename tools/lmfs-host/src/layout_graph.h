// A value model of a type-layout graph: every type layout reachable from a
// root, read out of the framework's binary records into plain values, with
// the texts the framework prints for them (full type names, function
// signatures, lifetime indices, tags) and a printer of the whole graph.
//
// Reading follows the graph breadth-first from the root. A node's children,
// in order: its generic type parameters, its phantom fields, then for each
// field the field's type followed by the parameters and return type of the
// field's functions. Nodes are told apart by the address of their record;
// node 0 is the root. The layouts only reached through extra checks and const
// parameters follow the reachable ones and are not printed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lmfs_storage_driver/type_layout.h"

namespace lmfs::host::layout {

using NodeId = std::uint32_t;
// The unit type `()`, which a function without a stated return type returns.
inline constexpr NodeId kUnitNode = 0xFFFF'FFFEU;

// The most nodes a graph may have; a bigger one is refused as malformed.
inline constexpr std::size_t kMaxNodes = 1024;

namespace tl = lmfs::abi::tl;

// Lifetime indices as the framework compares them: either an inline array of
// up to three index pairs (all three kept for printing, `len` of them count)
// or a range of pairs from the type's shared table.
struct LifetimeIndices {
  bool is_range = false;
  std::uint16_t len = 0;
  std::vector<std::uint8_t> pairs;  // first | second << 4

  friend bool operator==(const LifetimeIndices& a, const LifetimeIndices& b);
};

struct Function {
  std::string name;
  std::string bound_lifetimes;
  std::string param_names;  // raw text, e.g. "_self,param_0,"
  std::vector<NodeId> params;
  NodeId returns = kUnitNode;
  LifetimeIndices lifetimes;  // of the parameters and the return type
  std::uint16_t qualifiers = 0;

  [[nodiscard]] bool is_unsafe() const { return (qualifiers & 1U) != 0; }
};

struct Field {
  std::string name;
  LifetimeIndices lifetimes;
  NodeId type = 0;
  bool is_function = false;
  tl::Accessor accessor = tl::Accessor::Direct;
  std::string accessor_name;  // MethodNamed only
  std::vector<Function> functions;
};

// A const generic parameter: its type and its value's bytes, shown as the
// framework shows integers and booleans.
struct ConstParam {
  NodeId layout = 0;
  std::vector<std::uint8_t> bytes;
  std::string text;
};

struct Generics {
  std::string lifetimes;  // comma separated, as stored
  std::uint8_t lifetime_count = 0;
  std::vector<NodeId> types;
  std::vector<ConstParam> consts;
};

// The JSON-like tag of a type.
struct Tag {
  enum class Kind : std::uint8_t { Null, Bool, Int, UInt, String, Ignored, Array, Set, Map };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::int64_t int_value = 0;
  std::uint64_t uint_value = 0;
  std::string string;
  std::vector<Tag> items;  // Ignored: the one tag; Map: key, value, key, value...

  friend bool operator==(const Tag&, const Tag&) = default;
};

// The framework's RequiredTraits: the traits a trait object demands.
struct RequiredTraits {
  std::uint16_t auto_traits = 0;
  std::uint64_t regular_traits = 0;
};

struct ExtraChecks {
  NodeId layout = 0;  // the type of the stored check
  std::optional<RequiredTraits> required_traits;
};

struct EnumData {
  std::vector<std::uint8_t> field_counts;  // fields per variant
  std::string variant_names;               // "A;B;C;"
  bool exhaustive = true;
  std::size_t nonexhaustive_size = 0;  // storage the enum was declared with
  std::uint8_t nonexhaustive_align_power = 0;
  std::uint8_t discriminant_kind = 0;  // U8, I8, U16, I16, U32, I32, U64, I64, Usize, Isize
  std::vector<std::uint64_t> discriminants;  // signed kinds sign-extended
};

struct PrefixData {
  std::uint8_t first_suffix_field = 0;
  std::uint64_t conditional_prefix_fields = 0;
  std::uint64_t accessible_fields = 0;
};

struct Node {
  std::string name;
  std::string full_type;
  std::string package;
  std::string version;
  std::string mod_path;
  std::uint32_t line = 0;
  std::size_t size = 0;
  std::uint8_t alignment_power = 0;
  bool is_nonzero = false;
  tl::ReprAttr repr{tl::ReprKind::C, 0};
  tl::DataKind kind = tl::DataKind::Struct;
  tl::Primitive primitive = tl::Primitive::U8;  // Primitive kind only
  tl::ModReflMode refl{tl::ReflKind::Module, 0};
  Tag tag;
  std::optional<ExtraChecks> extra_checks;
  std::array<std::uint8_t, 24> type_id{};
  Generics generics;
  std::vector<Field> phantom_fields;
  std::vector<Field> fields;  // struct, union, enum (all variants) and prefix fields
  EnumData enum_data;
  PrefixData prefix;

  [[nodiscard]] std::size_t alignment() const { return std::size_t{1} << alignment_power; }
};

struct Graph {
  std::vector<Node> nodes;
  std::size_t reachable = 0;  // nodes[0, reachable) are reachable from the root

  [[nodiscard]] const Node& node(NodeId id) const;
};

// The `()` node functions without a return type return.
[[nodiscard]] const Node& unit_node();

// Reads the graph reachable from `root`. Malformed records (null pointers,
// ranges outside their tables, out-of-range enumerations, too many nodes) are
// reported as an error naming the type being read.
[[nodiscard]] std::expected<Graph, std::string> read_graph(const tl::TypeLayout* root);

// Fills every node's `full_type` from its name, primitive kind and generics,
// the framework's way (`&'a  RPath<'a> `, `*const u8 `, `[u8;16]`, a type
// inside its own parameters shows as `Name<{recursive}>`). read_graph calls
// this; graphs built by hand call it themselves.
void compute_full_types(Graph& graph);

// ---- the framework's texts --------------------------------------------------

[[nodiscard]] std::string lifetime_indices_text(const LifetimeIndices& l);  // Array(ArrayLen { ... }) / Slice([...])
[[nodiscard]] std::vector<std::string> param_names(const Function& f);     // as the checker names parameters
// `unsafe fn(_self,: RMut<'a>)->RResult` followed by "\nlifetime indices:...\n"
// when the function references lifetimes.
[[nodiscard]] std::string function_text(const Graph& g, const Function& f);
[[nodiscard]] std::string generics_text(const Graph& g, const Node& n);  // `<'aStorageDriverMod>`
[[nodiscard]] std::string repr_text(tl::ReprAttr r);                    // `Int(U8)`
[[nodiscard]] std::string_view data_kind_text(tl::DataKind k);
[[nodiscard]] std::string_view primitive_text(tl::Primitive p);
[[nodiscard]] std::string refl_text(tl::ModReflMode m);  // `DelegateDeref { layout_index: 0 }`
[[nodiscard]] std::string tag_debug_text(const Tag& t);  // `Tag { variant: Primitive(Null) }`
[[nodiscard]] std::string tag_text(const Tag& t);        // the tag's Display: `null`, `'text'`, `[ ... ]`
[[nodiscard]] std::string required_traits_text(const RequiredTraits& r);
[[nodiscard]] std::string_view discriminant_kind_text(std::uint8_t kind);  // `U8` ... `Isize`
[[nodiscard]] bool discriminant_kind_is_signed(std::uint8_t kind);
[[nodiscard]] std::string discriminant_text(std::uint8_t kind, std::uint64_t value);
// Variant i's name, `Variant{i}` when the stored list has none for it.
[[nodiscard]] std::string variant_name(const EnumData& e, std::size_t i);

// The graph's reachable nodes, one `## N. `full type`` section each, in the
// format of the shared layout facts.
[[nodiscard]] std::string print_graph(const Graph& g);

}  // namespace lmfs::host::layout
