// The framework's texts for the parts of a layout graph.
#include "lmfs_abi_host/layout_text.h"

#include <optional>

#include "lmfs_text/strcat.h"
#include "lmfs_text/text.h"

namespace lmfs::abi::layout {

using text::cat;
namespace {

constexpr std::size_t kMaxFullType = 1 << 14;  // longest full type built

// The names of a type's lifetime parameters, from their stored text
// ("'a,'b", empty names skipped).
std::vector<std::string_view> lifetime_names(const Generics& gen) {
  std::vector<std::string_view> names;
  std::string_view rest = gen.lifetimes;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    if (comma != 0) names.push_back(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
  }
  return names;
}

// ---- full types -------------------------------------------------------------

class FullTypes {
 public:
  explicit FullTypes(const Graph& g) : g_(g), memo_(g.nodes.size()) {}

  // The text, and whether it was cut short by a cycle (such texts depend on
  // where the printing started and are not remembered).
  std::string build(NodeId id, bool& cyclic) {
    const Node& n = g_.node(id);
    if (id == kUnitNode) return n.name;
    for (NodeId s : stack_) {
      if (s == id) {
        cyclic = true;
        return n.name + "<{recursive}>";
      }
    }
    if (const std::optional<std::string>& known = memo_[id]) return *known;
    stack_.push_back(id);
    bool inner_cyclic = false;
    std::string out = render(n, inner_cyclic);
    stack_.pop_back();
    if (out.size() > kMaxFullType) out.resize(kMaxFullType);
    if (inner_cyclic) {
      cyclic = true;
    } else {
      memo_[id] = out;
    }
    return out;
  }

 private:
  std::string render(const Node& n, bool& cyclic) {
    struct Delimiters {
      std::string_view name, start, before_ty, sep, end;
    };
    Delimiters d{n.name, "<", "", ", ", ">"};
    if (n.kind == tl::DataKind::Primitive) {
      switch (n.primitive) {
        case tl::Primitive::SharedRef: d = {"&", "", " ", " ", " "}; break;
        case tl::Primitive::MutRef: d = {"&", "", " mut ", " ", " "}; break;
        case tl::Primitive::ConstPtr: d = {"*const", " ", "", " ", " "}; break;
        case tl::Primitive::MutPtr: d = {"*mut", " ", "", " ", " "}; break;
        case tl::Primitive::Array: d = {"", "[", "", ";", "]"}; break;
        default: break;
      }
    }
    std::string out(d.name);
    const Generics& gen = n.generics;
    if (gen.lifetimes.empty() && gen.types.empty() && gen.consts.empty()) return out;
    out += d.start;
    const std::size_t total = gen.lifetime_count + gen.types.size() + gen.consts.size();
    std::size_t i = 0;
    auto separate = [&] {
      if (i + 1 < total) out += d.sep;
      ++i;
    };
    for (std::string_view lt : lifetime_names(gen)) {
      out += lt;
      separate();
    }
    bool first_type = true;
    for (NodeId t : gen.types) {
      if (first_type) out += d.before_ty;
      first_type = false;
      out += build(t, cyclic);
      separate();
      if (out.size() > kMaxFullType) return out;
    }
    for (const ConstParam& c : gen.consts) {
      out += c.text;
      separate();
    }
    out += d.end;
    return out;
  }

  const Graph& g_;
  std::vector<std::optional<std::string>> memo_;
  std::vector<NodeId> stack_;
};

std::string lifetime_index_debug(std::uint8_t v, bool alt) {
  switch (v) {
    case 0: return "NONE";
    case 1: return "ANONYMOUS";
    case 2: return "STATIC";
    default: return text::debug_tuple(alt, "Param", {std::to_string(v - 3)});
  }
}

// `[NONE, ANONYMOUS]`, one per line in the alternate form.
std::string pair_debug(std::uint8_t pair, bool alt) {
  return text::debug_list(alt, {lifetime_index_debug(pair & 0xF, alt), lifetime_index_debug(pair >> 4, alt)});
}

std::string pairs_debug(const std::vector<std::uint8_t>& pairs, bool alt) {
  std::vector<std::string> items;
  for (std::uint8_t p : pairs) items.push_back(pair_debug(p, alt));
  return text::debug_list(alt, items);
}

std::string pad_lines(std::string_view text, std::size_t indent) {
  std::string out;
  const std::string pad(indent, ' ');
  bool line_start = true;
  for (char c : text) {
    if (line_start && c != '\n') out += pad;
    out += c;
    line_start = c == '\n';
  }
  return out;
}

bool tag_is_null(const Tag& t) { return t.kind == Tag::Kind::Null; }

}  // namespace

void compute_full_types(Graph& graph) {
  FullTypes builder(graph);
  std::vector<std::string> texts;
  texts.reserve(graph.nodes.size());
  for (NodeId id = 0; id < graph.nodes.size(); ++id) {
    bool cyclic = false;
    texts.push_back(builder.build(id, cyclic));
  }
  for (NodeId id = 0; id < graph.nodes.size(); ++id) graph.nodes[id].full_type = std::move(texts[id]);
}

std::string lifetime_indices_debug(const LifetimeIndices& l, bool alt) {
  if (l.is_range) return text::debug_tuple(alt, "Slice", {pairs_debug(l.pairs, alt)});
  return text::debug_tuple(
      alt, "Array",
      {text::debug_struct(alt, "ArrayLen", {{"len", std::to_string(l.len)}, {"array", pairs_debug(l.pairs, alt)}})});
}

std::vector<std::string> param_names(const Function& f) {
  std::vector<std::string> out;
  std::string_view rest = f.param_names;
  bool pieces_left = true;  // splitting "" still yields one empty piece
  for (std::size_t i = 0; i < f.params.size(); ++i) {
    std::optional<std::string_view> piece;
    if (pieces_left) {
      const std::size_t semi = rest.find(';');
      piece = rest.substr(0, semi);
      if (semi == std::string_view::npos) {
        pieces_left = false;
      } else {
        rest = rest.substr(semi + 1);
      }
    }
    out.push_back(piece && !piece->empty() ? std::string(*piece) : cat("param_", i));
  }
  return out;
}

std::string function_text(const Graph& g, const Function& f) {
  std::string out = f.is_unsafe() ? "unsafe fn(" : "fn(";
  const auto names = param_names(f);
  for (std::size_t i = 0; i < f.params.size(); ++i) {
    out += cat(names[i], ": ", g.node(f.params[i]).full_type);
    if (i + 1 != f.params.size()) out += ", ";
  }
  out += cat(")->", g.node(f.returns).full_type);
  if (f.lifetimes.len != 0) out += cat("\nlifetime indices:", lifetime_indices_debug(f.lifetimes, false), "\n");
  return out;
}

std::string generics_text(const Graph& g, const Node& n) {
  const Generics& gen = n.generics;
  std::string out = "<";
  std::size_t i = 0;
  for (std::string_view lt : lifetime_names(gen)) {
    out += lt;
    if (i + 1 < gen.lifetime_count) out += ", ";
    ++i;
  }
  for (std::size_t t = 0; t < gen.types.size(); ++t) {
    out += g.node(gen.types[t]).full_type;
    if (t + 1 < gen.types.size()) out += ", ";
  }
  for (std::size_t c = 0; c < gen.consts.size(); ++c) {
    out += gen.consts[c].text;
    if (c + 1 < gen.consts.size()) out += ", ";
  }
  return out + ">";
}

std::string_view discriminant_kind_text(tl::DiscriminantKind kind) {
  static constexpr std::string_view names[] = {"U8", "I8", "U16", "I16", "U32", "I32", "U64", "I64", "Usize", "Isize"};
  const auto i = static_cast<std::size_t>(kind);
  return i < std::size(names) ? names[i] : std::string_view("?");
}

std::string discriminant_text(tl::DiscriminantKind kind, std::uint64_t value) {
  if (tl::is_signed(kind)) return std::to_string(static_cast<std::int64_t>(value));
  return std::to_string(value);
}

std::string repr_debug(tl::ReprAttr r, bool alt) {
  static constexpr std::string_view reprs[] = {"U8", "I8", "U16", "I16", "U32", "I32",
                                               "U64", "I64", "U128", "I128", "Usize", "Isize"};
  const std::string payload(r.payload < std::size(reprs) ? reprs[r.payload] : std::string_view("?"));
  switch (r.kind) {
    case tl::ReprKind::OptionNonZero: return "OptionNonZero";
    case tl::ReprKind::Primitive: return "Primitive";
    case tl::ReprKind::C: return "C";
    case tl::ReprKind::CAndInt: return text::debug_tuple(alt, "CAndInt", {payload});
    case tl::ReprKind::Transparent: return "Transparent";
    case tl::ReprKind::Int: return text::debug_tuple(alt, "Int", {payload});
    case tl::ReprKind::Packed:
      return text::debug_struct(alt, "Packed", {{"alignment_power_of_two", std::to_string(r.payload)}});
  }
  return "?";
}

std::string_view data_kind_text(tl::DataKind k) {
  static constexpr std::string_view names[] = {"Primitive", "Opaque", "Struct", "Union", "Enum", "PrefixType"};
  const auto i = static_cast<std::size_t>(k);
  return i < std::size(names) ? names[i] : std::string_view("?");
}

std::string_view primitive_text(tl::Primitive p) {
  static constexpr std::string_view names[] = {"U8",  "I8",   "U16",       "I16",    "U32",      "I32",
                                               "U64", "I64",  "Usize",     "Isize",  "F32",      "F64",
                                               "Bool", "SharedRef", "MutRef", "ConstPtr", "MutPtr", "Array"};
  const auto i = static_cast<std::size_t>(p);
  return i < std::size(names) ? names[i] : std::string_view("?");
}

std::string refl_debug(tl::ModReflMode m, bool alt) {
  switch (m.kind) {
    case tl::ReflKind::Module: return "Module";
    case tl::ReflKind::Opaque: return "Opaque";
    case tl::ReflKind::DelegateDeref:
      return text::debug_struct(alt, "DelegateDeref", {{"layout_index", std::to_string(m.layout_index)}});
  }
  return "?";
}

std::string tag_debug(const Tag& t, bool alt) {
  auto list = [alt](const std::vector<Tag>& items) {
    std::vector<std::string> out;
    for (const Tag& item : items) out.push_back(tag_debug(item, alt));
    return text::debug_list(alt, out);
  };
  auto primitive = [alt](std::string value) { return text::debug_tuple(alt, "Primitive", {std::move(value)}); };
  std::string variant;
  switch (t.kind) {
    case Tag::Kind::Null: variant = primitive("Null"); break;
    case Tag::Kind::Bool: variant = primitive(text::debug_tuple(alt, "Bool", {t.boolean ? "true" : "false"})); break;
    case Tag::Kind::Int: variant = primitive(text::debug_tuple(alt, "Int", {std::to_string(t.int_value)})); break;
    case Tag::Kind::UInt: variant = primitive(text::debug_tuple(alt, "UInt", {std::to_string(t.uint_value)})); break;
    case Tag::Kind::String: variant = primitive(text::debug_tuple(alt, "String_", {text::debug_str(t.string)})); break;
    case Tag::Kind::Ignored:
      variant = text::debug_tuple(alt, "Ignored", {t.items.empty() ? std::string() : tag_debug(t.items[0], alt)});
      break;
    case Tag::Kind::Array: variant = text::debug_tuple(alt, "Array", {list(t.items)}); break;
    case Tag::Kind::Set: variant = text::debug_tuple(alt, "Set", {list(t.items)}); break;
    case Tag::Kind::Map: {
      std::vector<std::string> entries;
      for (std::size_t i = 0; i + 1 < t.items.size(); i += 2) {
        entries.push_back(text::debug_struct(
            alt, "KeyValue", {{"key", tag_debug(t.items[i], alt)}, {"value", tag_debug(t.items[i + 1], alt)}}));
      }
      variant = text::debug_tuple(alt, "Map", {text::debug_list(alt, entries)});
      break;
    }
  }
  return text::debug_struct(alt, "Tag", {{"variant", variant}});
}

std::string tag_text(const Tag& t) {
  switch (t.kind) {
    case Tag::Kind::Null: return "null";
    case Tag::Kind::Bool: return t.boolean ? "true" : "false";
    case Tag::Kind::Int: return std::to_string(t.int_value);
    case Tag::Kind::UInt: return std::to_string(t.uint_value);
    case Tag::Kind::String: return cat("'", t.string, "'");
    case Tag::Kind::Ignored: return t.items.empty() ? std::string() : tag_text(t.items[0]);
    case Tag::Kind::Array:
    case Tag::Kind::Set: {
      std::string out = t.kind == Tag::Kind::Array ? "[\n" : "{\n";
      for (const Tag& item : t.items) {
        if (!tag_is_null(item)) out += pad_lines(tag_text(item), 4) + ",\n";
      }
      return out + (t.kind == Tag::Kind::Array ? "]" : "}");
    }
    case Tag::Kind::Map: {
      std::string out = "{\n";
      for (std::size_t i = 0; i + 1 < t.items.size(); i += 2) {
        if (tag_is_null(t.items[i])) continue;
        std::string entry = tag_text(t.items[i]);
        if (!tag_is_null(t.items[i + 1])) entry += "=>" + tag_text(t.items[i + 1]);
        out += pad_lines(entry, 4) + ",\n";
      }
      return out + "}";
    }
  }
  return "?";
}

std::string variant_name(const EnumData& e, std::size_t i) {
  std::string_view rest = e.variant_names;
  for (std::size_t k = 0;; ++k) {
    const std::size_t semi = rest.find(';');
    const std::string_view piece = rest.substr(0, semi);
    if (k == i) return piece.empty() ? cat("Variant", i) : std::string(piece);
    if (semi == std::string_view::npos) return cat("Variant", i);
    rest = rest.substr(semi + 1);
  }
}

}  // namespace lmfs::abi::layout
