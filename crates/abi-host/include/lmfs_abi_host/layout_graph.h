// A value model of a type-layout graph: every type layout reachable from a
// root, read out of the framework's binary records into plain values
// (layout_reader.h), with the framework's texts for them (layout_text.h),
// its printers (layout_print.h) and its compatibility check
// (layout_check.h).
//
// Nodes are told apart by the address of their record; node 0 is the root.
// Reading is breadth-first; a node's children, in order: its generic type
// parameters, its phantom fields, then for each field the field's type
// followed by the parameters and return type of the field's functions. The
// layouts only reached through extra checks and const parameters follow the
// reachable ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lmfs_abi/type_layout.h"

namespace lmfs::abi::layout {

using NodeId = std::uint32_t;
// The unit type `()`, which a function without a stated return type returns.
inline constexpr NodeId kUnitNode = 0xFFFF'FFFEU;

// The most nodes a graph may have; a bigger one is refused as malformed.
inline constexpr std::size_t kMaxNodes = 1024;

// Lifetime indices as the framework compares them: either an inline array of
// up to three index pairs (all three kept for printing, `len` of them count)
// or a range of pairs from the type's shared table.
struct LifetimeIndices {
  bool is_range = false;
  std::uint16_t len = 0;
  std::vector<std::uint8_t> pairs;  // tl::lifetime_pair(first, second)

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
  // Where the parameters' layouts stand in the owner's type-layout table: the
  // five inline slots (slots past the count are padding) and the rest.
  std::array<std::uint16_t, 5> param_slots{};
  std::vector<std::uint16_t> more_param_slots;

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

struct ExtraChecks {
  NodeId layout = 0;                                  // the type of the stored check
  std::optional<tl::RequiredTraits> required_traits;  // when it is the framework's RequiredTraits
  std::string debug;                                  // what its alternate Debug writes
  std::vector<NodeId> nested;                         // its nested type layouts
};

struct EnumData {
  std::vector<std::uint8_t> field_counts;  // fields per variant
  std::string variant_names;               // "A;B;C;"
  bool exhaustive = true;
  std::size_t nonexhaustive_size = 0;  // storage the enum was declared with
  std::uint8_t nonexhaustive_align_power = 0;
  tl::DiscriminantKind discriminant_kind = tl::DiscriminantKind::U8;
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
  UTypeId type_id{};  // the identity the type states (compared, printed; never dereferenced)
  Generics generics;
  std::vector<Field> phantom_fields;
  std::vector<Field> fields;  // struct, union, enum (all variants) and prefix fields
  EnumData enum_data;
  PrefixData prefix;
  // The type's shared table of type layouts, in order, and the addresses of
  // the functions it holds (the framework prints them).
  std::vector<NodeId> table;
  std::vector<std::uintptr_t> table_fns;

  [[nodiscard]] std::size_t alignment() const { return std::size_t{1} << alignment_power; }
};

struct Graph {
  std::vector<Node> nodes;
  std::size_t reachable = 0;  // nodes[0, reachable) are reachable from the root

  [[nodiscard]] const Node& node(NodeId id) const;
};

// The `()` node functions without a return type return.
[[nodiscard]] const Node& unit_node();

}  // namespace lmfs::abi::layout
