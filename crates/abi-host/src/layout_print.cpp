// The two printed forms of a layout graph.
#include "lmfs_abi_host/layout_print.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>

#include "lmfs_abi_host/layout_text.h"
#include "lmfs_text/strcat.h"
#include "lmfs_text/text.h"

namespace lmfs::abi::layout {

using text::cat;
using text::hex;

namespace {

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

std::string field_line(const Graph& g, const Field& f) {
  const Node& type = g.node(f.type);
  std::string line = cat("  - `", f.name, "`: `", type.full_type, "` (", type.size, " B, align ", type.alignment(), ")");
  if (f.is_function) {
    for (const Function& fn : f.functions) line += cat(" fn: `", one_line(function_text(g, fn)), "`");
  }
  return line + "\n";
}

}  // namespace

std::string print_facts(const Graph& g) {
  std::string out;
  for (std::size_t i = 0; i < g.reachable; ++i) {
    const Node& n = g.nodes[i];
    if (i != 0) out += "\n";
    out += cat("## ", i + 1, ". `", n.full_type, "`\n\n");
    out += cat("- name: `", n.name, "`\n");
    out += cat("- package;version: `", n.package, ";", n.version, "`\n");
    out += cat("- mod path: `", n.mod_path, "`\n");
    out += cat("- size: ", n.size, " / alignment: ", n.alignment(), "\n");
    out += cat("- repr attr: `", repr_debug(n.repr, false), "`\n");
    out += cat("- data kind: `", data_kind_text(n.kind), "`\n");
    out += cat("- generics: `", generics_text(g, n), "`\n");
    out += cat("- is_nonzero: ", n.is_nonzero ? "true" : "false", "; extra_checks: ",
               n.extra_checks ? "true" : "false", "; mod_refl_mode: `", refl_debug(n.refl, false), "`; tag: `",
               tag_debug(n.tag, false), "`\n");
    if (!n.phantom_fields.empty()) {
      out += "- phantom fields:\n";
      for (const Field& f : n.phantom_fields) out += field_line(g, f);
    }
    switch (n.kind) {
      case tl::DataKind::Primitive: out += cat("- primitive: `", primitive_text(n.primitive), "`\n"); break;
      case tl::DataKind::Opaque: out += "- opaque\n"; break;
      case tl::DataKind::Struct:
      case tl::DataKind::Union:
        out += "- fields:\n";
        for (const Field& f : n.fields) out += field_line(g, f);
        break;
      case tl::DataKind::Enum: {
        const EnumData& e = n.enum_data;
        out += "- discriminants: `[";
        for (std::size_t d = 0; d < e.discriminants.size(); ++d) {
          if (d != 0) out += ", ";
          out += discriminant_text(e.discriminant_kind, e.discriminants[d]);
        }
        out += cat("]`\n- exhaustive: ", e.exhaustive ? "true" : "false", "\n");
        std::size_t next_field = 0;
        for (std::size_t v = 0; v < e.field_counts.size(); ++v) {
          out += cat("  - variant ", v, " `", variant_name(e, v), "`(");
          for (std::size_t k = 0; k < e.field_counts[v] && next_field < n.fields.size(); ++k, ++next_field) {
            const Field& f = n.fields[next_field];
            if (k != 0) out += ", ";
            out += cat(f.name, ": ", g.node(f.type).full_type);
          }
          out += ")\n";
        }
        break;
      }
      case tl::DataKind::PrefixType:
        out += cat("- first_suffix_field (prefix field count): ", n.prefix.first_suffix_field, "\n");
        out += cat("- conditional_prefix_fields: ", hex(n.prefix.conditional_prefix_fields), "\n");
        out += cat("- field accessibility mask (accessible_fields): ", hex(n.prefix.accessible_fields), "\n");
        out += cat("- fields (", n.fields.size(), "):\n");
        for (const Field& f : n.fields) out += field_line(g, f);
        break;
    }
  }
  return out;
}

// ---- the framework's full form ------------------------------------------------

namespace {

// A pointer as the framework's alternate Debug shows it: all 16 digits.
std::string pointer_text(std::uintptr_t p) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(p));
  return buf;
}

std::string bool_text(bool b) { return b ? "true" : "false"; }

using TypeIdBytes = std::array<std::uint8_t, sizeof(UTypeId)>;
TypeIdBytes id_bytes(const UTypeId& id) {
  TypeIdBytes b{};
  std::memcpy(b.data(), &id, sizeof id);
  return b;
}

class FullPrinter {
 public:
  explicit FullPrinter(const Graph& g) : g_(g) {
    if (!g.nodes.empty()) number(0);
  }

  std::string root() const { return layout(0, true); }

 private:
  // The framework numbers the types of the printed map by walking each
  // type's shared table depth first (then the layouts its extra checks nest),
  // telling types apart by their identity.
  void number(NodeId id) {
    const Node& n = g_.nodes[id];
    if (!keys_.emplace(id_bytes(n.type_id), order_.size()).second) return;
    order_.push_back(id);
    for (NodeId child : n.table) number(child);
    if (n.extra_checks) {
      for (NodeId child : n.extra_checks->nested) number(child);
    }
  }

  std::string layout(NodeId id, bool with_map) const {
    const Node& n = g_.nodes[id];
    std::vector<std::pair<std::string, std::string>> nested;
    if (with_map) {
      for (std::size_t key = 0; key < order_.size(); ++key) nested.emplace_back(std::to_string(key), layout(order_[key], false));
    }
    const std::string pv = n.package + ";" + n.version;
    return text::debug_struct(
        true, "TypeLayout",
        {{"name", text::debug_str(n.name)},
         {"full_type", n.full_type},
         {"is_nonzero", bool_text(n.is_nonzero)},
         {"alignment", std::to_string(n.alignment())},
         {"size", std::to_string(n.size)},
         {"data", data(id)},
         {"extra_checks", n.extra_checks ? text::debug_tuple(true, "Some", {n.extra_checks->debug}) : "None"},
         {"type_id", type_id(n.type_id)},
         {"item_info", text::debug_struct(true, "ItemInfo",
                                          {{"package_and_version", text::debug_str(pv)},
                                           {"line", std::to_string(n.line)},
                                           {"mod_path", text::debug_tuple(true, "ModPath", {text::debug_str(n.mod_path)})}})},
         {"phantom_fields", fields(id, n.phantom_fields)},
         {"tag", tag_debug(n.tag, true)},
         {"repr_attr", repr_debug(n.repr, true)},
         {"mod_refl_mode", refl_debug(n.refl, true)},
         {"nested_type_layouts", text::debug_map(true, nested)}});
  }

  static std::string type_id(const UTypeId& id) {
    std::vector<std::string> bytes;
    for (std::uint8_t b : id.type_id_array) bytes.push_back(std::to_string(b));
    return text::debug_struct(
        true, "UTypeId",
        {{"executable_identity", pointer_text(reinterpret_cast<std::uintptr_t>(id.executable_identity))},
         {"type_id_array", text::debug_list(true, bytes)}});
  }

  std::string pointer(NodeId id) const {
    const Node& n = g_.node(id);
    std::string key = "None";
    if (id != kUnitNode) {
      if (auto it = keys_.find(id_bytes(n.type_id)); it != keys_.end()) {
        key = text::debug_tuple(true, "Some", {std::to_string(it->second)});
      }
    }
    return text::debug_struct(true, "TypeLayoutPointer", {{"key_in_map", key}, {"type_", n.full_type}});
  }

  static std::string accessor(const Field& f) {
    switch (f.accessor) {
      case tl::Accessor::Direct: return "Direct";
      case tl::Accessor::Method: return "Method";
      case tl::Accessor::MethodNamed:
        return text::debug_struct(true, "MethodNamed", {{"name", text::debug_str(f.accessor_name)}});
      case tl::Accessor::MethodOption: return "MethodOption";
      case tl::Accessor::Opaque: return "Opaque";
    }
    return "Opaque";
  }

  std::string fields(NodeId owner, const std::vector<Field>& list) const {
    std::vector<std::string> items;
    for (const Field& f : list) {
      std::vector<std::string> fns;
      for (const Function& fn : f.functions) fns.push_back(function(owner, fn));
      items.push_back(text::debug_struct(true, "TLField",
                                         {{"name", text::debug_str(f.name)},
                                          {"lifetime_indices", lifetime_indices_debug(f.lifetimes, true)},
                                          {"layout", pointer(f.type)},
                                          {"function_range", text::debug_list(true, fns)},
                                          {"is_function", bool_text(f.is_function)},
                                          {"field_accessor", accessor(f)}}));
    }
    return text::debug_list(true, items);
  }

  std::string table_fn(NodeId owner, std::uint16_t slot) const {
    const std::vector<std::uintptr_t>& fns = g_.nodes[owner].table_fns;
    return pointer_text(slot < fns.size() ? fns[slot] : 0);
  }

  std::string function(NodeId owner, const Function& f) const {
    std::vector<std::string> first, rest;
    for (std::uint16_t slot : f.param_slots) first.push_back(table_fn(owner, slot));
    for (std::uint16_t slot : f.more_param_slots) rest.push_back(table_fn(owner, slot));
    const std::string count = std::to_string(std::min<std::size_t>(f.params.size(), f.param_slots.size()));
    const std::string params = text::debug_struct(
        true, "MultipleTypeLayouts",
        {{"first", text::debug_struct(true, "ArrayLen", {{"len", count}, {"array", text::debug_list(true, first)}})},
         {"remaining", text::debug_list(true, rest)}});
    const std::string returns =
        f.returns == kUnitNode ? "None" : text::debug_tuple(true, "Some", {pointer(f.returns)});
    return text::debug_struct(true, "TLFunction",
                              {{"shared_vars", "SharedVars"},
                               {"name", text::debug_str(f.name)},
                               {"bound_lifetimes", text::debug_str(f.bound_lifetimes)},
                               {"param_names", text::debug_str(f.param_names)},
                               {"param_type_layouts", params},
                               {"paramret_lifetime_indices", lifetime_indices_debug(f.lifetimes, true)},
                               {"return_type_layout", returns},
                               {"fn_qualifs", text::debug_tuple(true, "TLFunctionQualifiers",
                                                                {std::to_string(f.qualifiers)})}});
  }

  // The 64 bits of a field mask, one `Yes` or `No` each.
  static std::string bits(std::uint64_t mask) {
    std::vector<std::string> items;
    for (unsigned i = 0; i < 64; ++i) items.push_back(((mask >> i) & 1U) != 0 ? "Yes" : "No");
    return text::debug_list(true, items);
  }

  std::string data(NodeId id) const {
    const Node& n = g_.nodes[id];
    switch (n.kind) {
      case tl::DataKind::Primitive: return text::debug_tuple(true, "Primitive", {std::string(primitive_text(n.primitive))});
      case tl::DataKind::Opaque: return "Opaque";
      case tl::DataKind::Struct: return text::debug_struct(true, "Struct", {{"fields", fields(id, n.fields)}});
      case tl::DataKind::Union: return text::debug_struct(true, "Union", {{"fields", fields(id, n.fields)}});
      case tl::DataKind::Enum: {
        const EnumData& e = n.enum_data;
        std::vector<std::string> counts, discriminants;
        for (std::uint8_t c : e.field_counts) counts.push_back(std::to_string(c));
        for (std::uint64_t d : e.discriminants) discriminants.push_back(discriminant_text(e.discriminant_kind, d));
        const std::string storage =
            e.exhaustive ? "None"
                         : text::debug_tuple(
                               true, "Some",
                               {text::debug_struct(true, "TLNonExhaustive",
                                                   {{"original_size", std::to_string(e.nonexhaustive_size)},
                                                    {"original_alignment_pow2",
                                                     std::to_string(e.nonexhaustive_align_power)}})});
        return text::debug_tuple(
            true, "Enum",
            {text::debug_struct(true, "TLEnum",
                                {{"field_count", text::debug_list(true, counts)},
                                 {"variant_names", text::debug_str(e.variant_names)},
                                 {"fields", fields(id, n.fields)},
                                 {"exhaustiveness", text::debug_struct(true, "IsExhaustive", {{"value", storage}})},
                                 {"discriminants", text::debug_list(true, discriminants)}})});
      }
      case tl::DataKind::PrefixType:
        return text::debug_tuple(
            true, "PrefixType",
            {text::debug_struct(true, "TLPrefixType",
                                {{"first_suffix_field", std::to_string(n.prefix.first_suffix_field)},
                                 {"conditional_prefix_fields", bits(n.prefix.conditional_prefix_fields)},
                                 {"fields", fields(id, n.fields)},
                                 {"accessible_fields", bits(n.prefix.accessible_fields)}})});
    }
    return "Opaque";
  }

  const Graph& g_;
  std::map<TypeIdBytes, std::size_t> keys_;
  std::vector<NodeId> order_;
};

}  // namespace

std::string print_full(const Graph& g) {
  if (g.nodes.empty()) return {};
  return FullPrinter(g).root() + "\n";
}

}  // namespace lmfs::abi::layout
