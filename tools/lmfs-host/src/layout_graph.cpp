#include "layout_graph.h"

#include <cstring>
#include <unordered_map>

#include "strcat.h"

namespace lmfs::host::layout {
namespace {

namespace abi = lmfs::abi;

constexpr std::size_t kMaxText = 1 << 16;     // longest counted text read
constexpr std::size_t kMaxNulText = 4096;     // longest NUL-terminated text read
constexpr std::size_t kMaxTagDepth = 32;      // nesting of a tag
constexpr std::size_t kMaxTagItems = 4096;    // values in one tag
constexpr std::size_t kMaxConstBytes = 64;    // bytes of a const parameter kept
constexpr std::size_t kMaxFullType = 1 << 14;  // longest full type built

// ---- the framework's tag records (not among the checked records) ----------

struct RawTag;
struct RawSlice {
  const void* ptr;
  std::size_t len;
};
struct RawTagPrimitive {
  std::uint8_t kind;  // Null, Bool, Int, UInt, String_
  std::uint8_t boolean;
  union Value {
    std::int64_t i;
    std::uint64_t u;
    abi::RStr s;
  } v;
};
static_assert(sizeof(RawTagPrimitive) == 24 && offsetof(RawTagPrimitive, v) == 8);
struct RawTag {
  std::uint8_t variant;  // Primitive, Ignored, Array, Set, Map
  union Payload {
    RawTagPrimitive primitive;
    const RawTag* ignored;
    RawSlice slice;  // of RawTag, or of RawKeyValue for maps
  } u;
};
static_assert(sizeof(RawTag) == 32 && offsetof(RawTag, u) == 8);
struct RawKeyValue {
  RawTag key;
  RawTag value;
};
static_assert(sizeof(RawKeyValue) == 64);

// The prefix table behind stored extra checks (a const trait object).
struct ExtraChecksVTable {
  abi::PrefixMetadata metadata;
  const void* sabi_vtable;
  const tl::TypeLayout* (*type_layout)(const void* self);
  const void* check_compatibility;
  const void* nested_type_layouts;
  const void* combine;
};

// A nonexhaustive enum's declared storage.
struct RawNonExhaustive {
  std::size_t original_size;
  std::uint8_t original_alignment_pow2;
};

using Error = std::unexpected<std::string>;

std::expected<std::string, std::string> counted_text(const char* p, std::size_t n, std::string_view what) {
  if (n == 0) return std::string{};
  if (p == nullptr) return Error(cat(what, " is a null pointer with length ", n));
  if (n > kMaxText) return Error(cat(what, " is ", n, " bytes long"));
  return std::string(p, n);
}

std::expected<std::string, std::string> nul_text(const char* p, std::string_view what) {
  if (p == nullptr) return Error(cat(what, " is a null pointer"));
  const std::size_t n = ::strnlen(p, kMaxNulText);
  if (n == kMaxNulText) return Error(cat(what, " has no end within ", kMaxNulText, " bytes"));
  return std::string(p, n);
}

// The tables a type's ranges and indices point into.
struct Tables {
  std::string_view strings;
  const std::uint8_t* lifetimes = nullptr;
  std::size_t lifetimes_len = 0;
  const tl::LayoutFn* layouts = nullptr;
  std::size_t layouts_len = 0;
  const tl::ConstGeneric* consts = nullptr;
  std::size_t consts_len = 0;
};

std::expected<std::string, std::string> string_range(const Tables& t, std::size_t start, std::size_t len,
                                                     std::string_view what) {
  if (start + len > t.strings.size()) {
    return Error(cat(what, " (", start, "..", start + len, ") lies outside the string table of ", t.strings.size(),
                     " bytes"));
  }
  return std::string(t.strings.substr(start, len));
}

std::expected<LifetimeIndices, std::string> decode_lifetimes(const Tables& t, std::uint32_t bits) {
  bits &= 0x1F'FFFF;
  LifetimeIndices l;
  if ((bits & tl::kLifetimeRangeIsRange) != 0) {
    const std::size_t start = bits & 0x1FFF;
    const std::size_t count = (bits >> 13) & 0x7F;
    if (start + count > t.lifetimes_len) {
      return Error(cat("lifetime range ", start, "..", start + count, " lies outside the table of ", t.lifetimes_len,
                       " pairs"));
    }
    l.is_range = true;
    l.len = static_cast<std::uint16_t>(count);
    l.pairs.assign(t.lifetimes + start, t.lifetimes + start + count);
  } else {
    l.len = static_cast<std::uint16_t>((tl::lifetime_range_len(bits) + 1) / 2);
    l.pairs = {static_cast<std::uint8_t>(bits & 0xFF), static_cast<std::uint8_t>((bits >> 8) & 0xFF),
               static_cast<std::uint8_t>((bits >> 16) & 0xF)};
  }
  return l;
}

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

std::size_t discriminant_width(std::uint8_t kind) {
  static constexpr std::size_t widths[] = {1, 1, 2, 2, 4, 4, 8, 8, 8, 8};
  return widths[kind];
}

// A little-endian integer of `width` bytes, sign-extended for signed kinds.
std::uint64_t load_integer(const void* p, std::size_t width, bool is_signed) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, width);
  if (is_signed && width < 8 && ((v >> (8 * width - 1)) & 1) != 0) v |= ~std::uint64_t{0} << (8 * width);
  return v;
}

class Reader {
 public:
  std::expected<Graph, std::string> run(const tl::TypeLayout* root);

 private:
  struct PendingExtra {
    NodeId owner;
    const tl::TypeLayout* layout;
    const void* value;
  };
  struct PendingConst {
    NodeId owner;
    std::size_t index;
    const tl::TypeLayout* layout;
    const void* value;
  };

  std::expected<NodeId, std::string> intern(const tl::TypeLayout* t);
  std::expected<NodeId, std::string> intern_fn(const Tables& t, std::size_t index, std::string_view what);
  std::expected<void, std::string> read(NodeId id);
  std::expected<void, std::string> read_body(NodeId id, Node& n);
  std::expected<std::vector<Field>, std::string> read_fields(const Tables& t, const tl::CompTLFields& f);
  std::expected<Field, std::string> read_field(const Tables& t, std::uint64_t word, std::size_t index,
                                               const tl::TLFunctions* fns);
  std::expected<Function, std::string> read_function(const Tables& t, const tl::CompTLFunction& f);
  std::expected<Tag, std::string> read_tag(const RawTag* raw, std::size_t depth);
  std::expected<void, std::string> read_pending();
  void finish_extra_checks(const PendingExtra& p);
  void finish_const(const PendingConst& p);

  Graph g_;
  std::vector<const tl::TypeLayout*> records_;
  std::unordered_map<const tl::TypeLayout*, NodeId> ids_;
  std::vector<PendingExtra> extras_;
  std::vector<PendingConst> consts_;
  std::size_t tag_items_ = 0;
};

std::expected<NodeId, std::string> Reader::intern(const tl::TypeLayout* t) {
  if (t == nullptr) return Error(std::string("a type-layout function returned a null pointer"));
  if (auto it = ids_.find(t); it != ids_.end()) return it->second;
  if (g_.nodes.size() >= kMaxNodes) return Error(cat("the graph has more than ", kMaxNodes, " type layouts"));
  const auto id = static_cast<NodeId>(g_.nodes.size());
  g_.nodes.emplace_back();
  records_.push_back(t);
  ids_.emplace(t, id);
  return id;
}

std::expected<NodeId, std::string> Reader::intern_fn(const Tables& t, std::size_t index, std::string_view what) {
  if (index >= t.layouts_len) {
    return Error(cat(what, " names type layout ", index, " of a table of ", t.layouts_len));
  }
  const tl::LayoutFn fn = t.layouts[index];
  if (fn == nullptr) return Error(cat(what, ": entry ", index, " of the type-layout table is null"));
  return intern(fn());
}

std::expected<Graph, std::string> Reader::run(const tl::TypeLayout* root) {
  if (root == nullptr) return Error(std::string("the root type layout is a null pointer"));
  if (auto r = intern(root); !r) return Error(r.error());
  for (NodeId next = 0; next < g_.nodes.size(); ++next) {
    if (auto r = read(next); !r) return Error(r.error());
  }
  g_.reachable = g_.nodes.size();
  if (auto r = read_pending(); !r) return Error(r.error());
  compute_full_types(g_);
  return std::move(g_);
}

// The layouts only extra checks and const parameters reach, read after the
// reachable ones (their own checks and parameters may add more).
std::expected<void, std::string> Reader::read_pending() {
  std::size_t extras_done = 0;
  std::size_t consts_done = 0;
  NodeId next = static_cast<NodeId>(g_.nodes.size());
  while (extras_done < extras_.size() || consts_done < consts_.size()) {
    for (; extras_done < extras_.size(); ++extras_done) {
      auto id = intern(extras_[extras_done].layout);
      if (!id) return Error(id.error());
      g_.nodes[extras_[extras_done].owner].extra_checks->layout = *id;
    }
    for (; consts_done < consts_.size(); ++consts_done) {
      auto id = intern(consts_[consts_done].layout);
      if (!id) return Error(id.error());
      g_.nodes[consts_[consts_done].owner].generics.consts[consts_[consts_done].index].layout = *id;
    }
    for (; next < g_.nodes.size(); ++next) {
      if (auto r = read(next); !r) return Error(r.error());
    }
  }
  for (const auto& p : extras_) finish_extra_checks(p);
  for (const auto& p : consts_) finish_const(p);
  return {};
}

// The value of the framework's own extra check, RequiredTraits; any other
// stored check is kept without a value.
void Reader::finish_extra_checks(const PendingExtra& p) {
  Node& owner = g_.nodes[p.owner];
  const Node& type = g_.nodes[owner.extra_checks->layout];
  if (type.name != "RequiredTraits" || type.size != 16 || type.alignment() != 8) return;
  RequiredTraits r;
  std::memcpy(&r.auto_traits, p.value, 2);
  std::memcpy(&r.regular_traits, static_cast<const std::uint8_t*>(p.value) + 8, 8);
  owner.extra_checks->required_traits = r;
}

void Reader::finish_const(const PendingConst& p) {
  ConstParam& c = g_.nodes[p.owner].generics.consts[p.index];
  const Node& type = g_.nodes[c.layout];
  const auto* bytes = static_cast<const std::uint8_t*>(p.value);
  c.bytes.assign(bytes, bytes + std::min(type.size, kMaxConstBytes));
  c.text = "<const>";
  if (type.kind != tl::DataKind::Primitive) return;
  const auto prim = static_cast<std::uint8_t>(type.primitive);
  if (prim <= static_cast<std::uint8_t>(tl::Primitive::Isize)) {
    const std::size_t width = discriminant_width(prim);
    if (type.size == width) c.text = discriminant_text(prim, load_integer(bytes, width, discriminant_kind_is_signed(prim)));
  } else if (type.primitive == tl::Primitive::Bool && type.size == 1) {
    c.text = bytes[0] != 0 ? "true" : "false";
  }
}

std::expected<void, std::string> Reader::read(NodeId id) {
  Node n;
  auto r = read_body(id, n);
  if (!r) {
    return Error(cat("type layout #", id + 1, n.name.empty() ? std::string() : cat(" (", n.name, ")"), ": ",
                     r.error()));
  }
  g_.nodes[id] = std::move(n);
  return {};
}

std::expected<void, std::string> Reader::read_body(NodeId id, Node& n) {
  const tl::TypeLayout& t = *records_[id];
  if (t.mono == nullptr) return Error(std::string("its monomorphic layout is a null pointer"));
  if (t.shared_vars == nullptr) return Error(std::string("its shared variables are a null pointer"));
  const tl::MonoTypeLayout& m = *t.mono;
  const tl::SharedVars& sv = *t.shared_vars;
  if (sv.mono == nullptr) return Error(std::string("its shared strings are a null pointer"));

  auto name = counted_text(m.name, m.name_len, "the name");
  if (!name) return Error(name.error());
  n.name = *name;

  Tables tab;
  auto strings_ok = counted_text(sv.mono->strings, sv.mono->strings_len, "the string table");
  if (!strings_ok) return Error(strings_ok.error());
  tab.strings = std::string_view(sv.mono->strings == nullptr ? "" : sv.mono->strings, sv.mono->strings_len);
  if (sv.mono->lifetime_indices_len != 0 && sv.mono->lifetime_indices == nullptr) {
    return Error(std::string("the lifetime table is a null pointer"));
  }
  tab.lifetimes = sv.mono->lifetime_indices;
  tab.lifetimes_len = sv.mono->lifetime_indices_len;
  if (sv.type_layouts_len != 0 && sv.type_layouts == nullptr) {
    return Error(std::string("the type-layout table is a null pointer"));
  }
  tab.layouts = sv.type_layouts;
  tab.layouts_len = sv.type_layouts_len;
  if (sv.constants_len != 0 && sv.constants == nullptr) {
    return Error(std::string("the const-parameter table is a null pointer"));
  }
  tab.consts = sv.constants;
  tab.consts_len = sv.constants_len;

  // Item info.
  auto pav = counted_text(m.item_info.package_and_version.data, m.item_info.package_and_version.len,
                          "the package and version");
  if (!pav) return Error(pav.error());
  if (const auto semi = pav->find(';'); semi == std::string::npos) {
    n.package = *pav;
  } else {
    n.package = pav->substr(0, semi);
    n.version = pav->substr(semi + 1);
  }
  n.line = m.item_info.line;
  auto mod_path = nul_text(m.item_info.mod_path, "the module path");
  if (!mod_path) return Error(mod_path.error());
  n.mod_path = *mod_path;

  // Scalars.
  n.size = t.size;
  if (t.alignment_power_of_two > 63) return Error(cat("its alignment is 2^", t.alignment_power_of_two));
  n.alignment_power = t.alignment_power_of_two;
  // Read as a byte: a library's record may hold any value there.
  std::uint8_t nonzero = 0;
  std::memcpy(&nonzero, &t.is_nonzero, 1);
  n.is_nonzero = nonzero != 0;
  if (static_cast<std::uint8_t>(m.repr_attr.kind) > static_cast<std::uint8_t>(tl::ReprKind::Packed)) {
    return Error(cat("its repr attribute ", static_cast<unsigned>(m.repr_attr.kind), " is unknown"));
  }
  if ((m.repr_attr.kind == tl::ReprKind::Int || m.repr_attr.kind == tl::ReprKind::CAndInt) &&
      m.repr_attr.payload > static_cast<std::uint8_t>(tl::DiscriminantRepr::Isize)) {
    return Error(cat("its discriminant representation ", static_cast<unsigned>(m.repr_attr.payload), " is unknown"));
  }
  n.repr = m.repr_attr;
  if (static_cast<std::uint8_t>(m.mod_refl_mode.kind) > static_cast<std::uint8_t>(tl::ReflKind::DelegateDeref)) {
    return Error(cat("its module reflection mode ", static_cast<unsigned>(m.mod_refl_mode.kind), " is unknown"));
  }
  n.refl = m.mod_refl_mode;
  if (t.type_id == nullptr) return Error(std::string("its type-id function is a null pointer"));
  const abi::UTypeId tid = t.type_id();
  std::memcpy(n.type_id.data(), &tid, sizeof tid);

  // Data kind: both halves must agree.
  const auto mono_kind = static_cast<std::uint8_t>(m.data.tag);
  if (mono_kind > static_cast<std::uint8_t>(tl::DataKind::PrefixType) || t.data.tag != mono_kind) {
    return Error(cat("its data kinds disagree (", static_cast<unsigned>(mono_kind), " and ", t.data.tag, ")"));
  }
  n.kind = m.data.tag;

  if (t.tag != nullptr) {
    tag_items_ = 0;
    auto tag = read_tag(static_cast<const RawTag*>(t.tag), 0);
    if (!tag) return Error(cat("its tag: ", tag.error()));
    n.tag = std::move(*tag);
  }

  // Generics: lifetimes, type parameters (children), const parameters.
  auto lifetimes = nul_text(m.generics.lifetime, "the lifetime parameters");
  if (!lifetimes) return Error(lifetimes.error());
  n.generics.lifetimes = *lifetimes;
  n.generics.lifetime_count = m.generics.lifetime_count;
  {
    const std::size_t start = tl::sl_start(m.generics.types);
    const std::size_t len = tl::sl_len(m.generics.types);
    for (std::size_t i = start; i < start + len; ++i) {
      auto child = intern_fn(tab, i, "a type parameter");
      if (!child) return Error(child.error());
      n.generics.types.push_back(*child);
    }
  }
  {
    const std::size_t start = tl::sl_start(m.generics.consts);
    const std::size_t len = tl::sl_len(m.generics.consts);
    if (start + len > tab.consts_len) {
      return Error(cat("its const parameters ", start, "..", start + len, " lie outside the table of ",
                       tab.consts_len));
    }
    for (std::size_t i = start; i < start + len; ++i) {
      const tl::ConstGeneric& c = tab.consts[i];
      if (c.vtable == nullptr || c.vtable->fields.layout == nullptr || c.ptr == nullptr) {
        return Error(cat("const parameter ", i - start, " has a null pointer"));
      }
      consts_.push_back({id, n.generics.consts.size(), c.vtable->fields.layout, c.ptr});
      n.generics.consts.emplace_back();
    }
  }

  // Phantom fields: never with functions.
  if (m.phantom_fields_len != 0 && m.phantom_fields == nullptr) {
    return Error(std::string("its phantom fields are a null pointer"));
  }
  for (std::size_t i = 0; i < m.phantom_fields_len; ++i) {
    auto f = read_field(tab, m.phantom_fields[i], i, nullptr);
    if (!f) return Error(cat("phantom field ", i, ": ", f.error()));
    n.phantom_fields.push_back(std::move(*f));
  }

  switch (n.kind) {
    case tl::DataKind::Primitive:
      if (static_cast<std::uint8_t>(m.data.primitive) > static_cast<std::uint8_t>(tl::Primitive::Array)) {
        return Error(cat("its primitive kind ", static_cast<unsigned>(m.data.primitive), " is unknown"));
      }
      n.primitive = m.data.primitive;
      break;
    case tl::DataKind::Opaque:
      break;
    case tl::DataKind::Struct:
    case tl::DataKind::Union: {
      auto fields = read_fields(tab, m.data.u.fields);
      if (!fields) return Error(fields.error());
      n.fields = std::move(*fields);
      break;
    }
    case tl::DataKind::Enum: {
      const tl::MonoTLEnum& e = m.data.u.enum_;
      const tl::GenericTLEnum& ge = t.data.u.enum_;
      if (e.field_count_len != 0 && e.field_count == nullptr) {
        return Error(std::string("its variants' field counts are a null pointer"));
      }
      n.enum_data.field_counts.assign(e.field_count, e.field_count + e.field_count_len);
      auto names = string_range(tab, tl::sl_start(e.variant_names), tl::sl_len(e.variant_names), "the variant names");
      if (!names) return Error(names.error());
      n.enum_data.variant_names = *names;
      if (ge.nonexhaustive != nullptr) {
        const auto* ne = static_cast<const RawNonExhaustive*>(ge.nonexhaustive);
        n.enum_data.exhaustive = false;
        n.enum_data.nonexhaustive_size = ne->original_size;
        n.enum_data.nonexhaustive_align_power = ne->original_alignment_pow2;
        if (ne->original_alignment_pow2 > 63) return Error(std::string("its declared storage alignment is too big"));
      }
      const tl::TLDiscriminants& d = ge.discriminants;
      if (d.kind > 9) return Error(cat("its discriminant kind ", static_cast<unsigned>(d.kind), " is unknown"));
      if (d.len != 0 && d.discriminants == nullptr) return Error(std::string("its discriminants are a null pointer"));
      n.enum_data.discriminant_kind = d.kind;
      const std::size_t width = discriminant_width(d.kind);
      for (std::size_t i = 0; i < d.len; ++i) {
        n.enum_data.discriminants.push_back(load_integer(static_cast<const std::uint8_t*>(d.discriminants) + i * width,
                                                         width, discriminant_kind_is_signed(d.kind)));
      }
      auto fields = read_fields(tab, e.fields);
      if (!fields) return Error(fields.error());
      n.fields = std::move(*fields);
      break;
    }
    case tl::DataKind::PrefixType: {
      const tl::MonoTLPrefixType& p = m.data.u.prefix;
      n.prefix.first_suffix_field = p.first_suffix_field;
      n.prefix.conditional_prefix_fields = p.conditional_prefix_fields;
      n.prefix.accessible_fields = t.data.u.accessible_fields;
      auto fields = read_fields(tab, p.fields);
      if (!fields) return Error(fields.error());
      n.fields = std::move(*fields);
      break;
    }
  }

  if (t.extra_checks != nullptr) {
    const tl::StoredExtraChecks& s = *t.extra_checks;
    const auto* vt = static_cast<const ExtraChecksVTable*>(s.vtable);
    if (vt == nullptr || s.ptr == nullptr || vt->type_layout == nullptr) {
      return Error(std::string("its extra checks have a null pointer"));
    }
    const tl::TypeLayout* layout = vt->type_layout(s.ptr);
    if (layout == nullptr) return Error(std::string("its extra checks have no type layout"));
    n.extra_checks = ExtraChecks{};
    extras_.push_back({id, layout, s.ptr});
  }
  return {};
}

std::expected<std::vector<Field>, std::string> Reader::read_fields(const Tables& t, const tl::CompTLFields& f) {
  if (f.comp_fields_len != 0 && f.comp_fields == nullptr) return Error(std::string("its fields are a null pointer"));
  if (f.functions != nullptr) {
    const tl::TLFunctions& fns = *f.functions;
    if ((fns.functions_len != 0 && fns.functions == nullptr) ||
        (fns.field_fn_ranges_len != 0 && fns.field_fn_ranges == nullptr)) {
      return Error(std::string("its function table is a null pointer"));
    }
  }
  std::vector<Field> out;
  out.reserve(f.comp_fields_len);
  for (std::size_t i = 0; i < f.comp_fields_len; ++i) {
    auto field = read_field(t, f.comp_fields[i], i, f.functions);
    if (!field) return Error(cat("field ", i, ": ", field.error()));
    out.push_back(std::move(*field));
  }
  return out;
}

std::expected<Field, std::string> Reader::read_field(const Tables& t, std::uint64_t word, std::size_t index,
                                                     const tl::TLFunctions* fns) {
  const tl::FieldBits b = tl::decode_field(word);
  Field f;
  auto name = string_range(t, b.name_start, b.name_len, "the name");
  if (!name) return Error(name.error());
  f.name = *name;
  auto lifetimes = decode_lifetimes(t, b.lifetimes);
  if (!lifetimes) return Error(lifetimes.error());
  f.lifetimes = std::move(*lifetimes);
  f.is_function = b.is_function;
  // Unknown accessors read as Opaque, as the framework reads them.
  f.accessor = static_cast<std::uint8_t>(b.accessor) > static_cast<std::uint8_t>(tl::Accessor::Opaque)
                   ? tl::Accessor::Opaque
                   : b.accessor;
  if (f.accessor == tl::Accessor::MethodNamed) {
    const std::string_view rest = t.strings.substr(b.name_start + b.name_len);
    f.accessor_name = std::string(rest.substr(0, rest.find(';')));
  }
  auto type = intern_fn(t, b.layout_index, "the field's type");
  if (!type) return Error(type.error());
  f.type = *type;

  if (fns != nullptr && index < fns->field_fn_ranges_len) {
    const std::uint32_t range = fns->field_fn_ranges[index];
    const std::size_t start = tl::sl_start(range);
    const std::size_t len = tl::sl_len(range);
    if (start + len > fns->functions_len) {
      return Error(cat("its functions ", start, "..", start + len, " lie outside the table of ", fns->functions_len));
    }
    for (std::size_t i = start; i < start + len; ++i) {
      auto fn = read_function(t, fns->functions[i]);
      if (!fn) return Error(cat("function ", i, ": ", fn.error()));
      f.functions.push_back(std::move(*fn));
    }
  }
  return f;
}

std::expected<Function, std::string> Reader::read_function(const Tables& t, const tl::CompTLFunction& c) {
  Function f;
  auto name = string_range(t, tl::sl_start(c.name), tl::sl_len(c.name), "the name");
  if (!name) return Error(name.error());
  f.name = *name;
  auto bound = string_range(t, c.contiguous_strings_offset, c.bound_lifetimes_len, "the bound lifetimes");
  if (!bound) return Error(bound.error());
  f.bound_lifetimes = *bound;
  auto params = string_range(t, std::size_t{c.contiguous_strings_offset} + c.bound_lifetimes_len, c.param_names_len,
                             "the parameter names");
  if (!params) return Error(params.error());
  f.param_names = *params;
  const std::size_t count = tl::tlr_len(c.param_type_layouts);
  for (std::size_t i = 0; i < count; ++i) {
    auto p = intern_fn(t, tl::tlr_index(c.param_type_layouts, i), cat("parameter ", i));
    if (!p) return Error(p.error());
    f.params.push_back(*p);
  }
  if (c.return_type_layout < t.layouts_len) {
    auto r = intern_fn(t, c.return_type_layout, "the return type");
    if (!r) return Error(r.error());
    f.returns = *r;
  }
  auto lifetimes = decode_lifetimes(t, c.paramret_lifetime_range);
  if (!lifetimes) return Error(lifetimes.error());
  f.lifetimes = std::move(*lifetimes);
  f.qualifiers = c.fn_qualifs;
  return f;
}

std::expected<Tag, std::string> Reader::read_tag(const RawTag* raw, std::size_t depth) {
  if (raw == nullptr) return Error(std::string("a null pointer"));
  if (depth > kMaxTagDepth) return Error(cat("nested more than ", kMaxTagDepth, " deep"));
  if (++tag_items_ > kMaxTagItems) return Error(cat("more than ", kMaxTagItems, " values"));
  Tag tag;
  switch (raw->variant) {
    case 0: {
      const RawTagPrimitive& p = raw->u.primitive;
      switch (p.kind) {
        case 0: tag.kind = Tag::Kind::Null; break;
        case 1:
          if (p.boolean > 1) return Error(cat("a boolean of value ", static_cast<unsigned>(p.boolean)));
          tag.kind = Tag::Kind::Bool;
          tag.boolean = p.boolean != 0;
          break;
        case 2: tag.kind = Tag::Kind::Int; tag.int_value = p.v.i; break;
        case 3: tag.kind = Tag::Kind::UInt; tag.uint_value = p.v.u; break;
        case 4: {
          auto s = counted_text(p.v.s.data, p.v.s.len, "a string");
          if (!s) return Error(s.error());
          tag.kind = Tag::Kind::String;
          tag.string = std::move(*s);
          break;
        }
        default: return Error(cat("an unknown primitive kind ", static_cast<unsigned>(p.kind)));
      }
      break;
    }
    case 1: {
      tag.kind = Tag::Kind::Ignored;
      auto inner = read_tag(raw->u.ignored, depth + 1);
      if (!inner) return Error(inner.error());
      tag.items.push_back(std::move(*inner));
      break;
    }
    case 2:
    case 3:
    case 4: {
      tag.kind = raw->variant == 2 ? Tag::Kind::Array : raw->variant == 3 ? Tag::Kind::Set : Tag::Kind::Map;
      const RawSlice& s = raw->u.slice;
      if (s.len > kMaxTagItems) return Error(cat("a list of ", s.len, " values"));
      if (s.len != 0 && s.ptr == nullptr) return Error(std::string("a list at a null pointer"));
      for (std::size_t i = 0; i < s.len; ++i) {
        if (tag.kind == Tag::Kind::Map) {
          const RawKeyValue& kv = static_cast<const RawKeyValue*>(s.ptr)[i];
          for (const RawTag* side : {&kv.key, &kv.value}) {
            auto item = read_tag(side, depth + 1);
            if (!item) return Error(item.error());
            tag.items.push_back(std::move(*item));
          }
        } else {
          auto item = read_tag(static_cast<const RawTag*>(s.ptr) + i, depth + 1);
          if (!item) return Error(item.error());
          tag.items.push_back(std::move(*item));
        }
      }
      break;
    }
    default: return Error(cat("an unknown variant ", static_cast<unsigned>(raw->variant)));
  }
  return tag;
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
    if (memo_[id]) return *memo_[id];
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

std::string lifetime_index_text(std::uint8_t v) {
  switch (v) {
    case 0: return "NONE";
    case 1: return "ANONYMOUS";
    case 2: return "STATIC";
    default: return cat("Param(", v - 3, ")");
  }
}

std::string pair_text(std::uint8_t pair) {
  return cat("[", lifetime_index_text(pair & 0xF), ", ", lifetime_index_text(pair >> 4), "]");
}

std::string pairs_text(const std::vector<std::uint8_t>& pairs) {
  std::string out = "[";
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i != 0) out += ", ";
    out += pair_text(pairs[i]);
  }
  return out + "]";
}

// Rust's Debug of a string: quoted, with escapes.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          out += cat("\\u{", hex(static_cast<unsigned char>(c)).substr(2), "}");
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
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

// ---- public -----------------------------------------------------------------

bool operator==(const LifetimeIndices& a, const LifetimeIndices& b) {
  if (a.is_range != b.is_range || a.len != b.len) return false;
  const std::size_t n = std::min<std::size_t>(a.len, std::min(a.pairs.size(), b.pairs.size()));
  if (n != a.len) return false;
  return std::equal(a.pairs.begin(), a.pairs.begin() + static_cast<std::ptrdiff_t>(n), b.pairs.begin());
}

const Node& unit_node() {
  static const Node unit = [] {
    Node n;
    n.name = "()";
    n.full_type = "()";
    n.package = "std";
    n.version = "1.0.0";
    n.mod_path = "<prelude>";
    n.repr = {tl::ReprKind::C, 0};
    n.kind = tl::DataKind::Struct;
    return n;
  }();
  return unit;
}

const Node& Graph::node(NodeId id) const { return id == kUnitNode ? unit_node() : nodes[id]; }

std::expected<Graph, std::string> read_graph(const tl::TypeLayout* root) { return Reader{}.run(root); }

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

std::string lifetime_indices_text(const LifetimeIndices& l) {
  if (l.is_range) return cat("Slice(", pairs_text(l.pairs), ")");
  return cat("Array(ArrayLen { len: ", l.len, ", array: ", pairs_text(l.pairs), " })");
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
  if (f.lifetimes.len != 0) out += cat("\nlifetime indices:", lifetime_indices_text(f.lifetimes), "\n");
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

std::string_view discriminant_kind_text(std::uint8_t kind) {
  static constexpr std::string_view names[] = {"U8", "I8", "U16", "I16", "U32", "I32", "U64", "I64", "Usize", "Isize"};
  return kind < std::size(names) ? names[kind] : std::string_view("?");
}

bool discriminant_kind_is_signed(std::uint8_t kind) { return kind == 9 || (kind < 8 && (kind & 1) != 0); }

std::string discriminant_text(std::uint8_t kind, std::uint64_t value) {
  if (discriminant_kind_is_signed(kind)) return std::to_string(static_cast<std::int64_t>(value));
  return std::to_string(value);
}

std::string repr_text(tl::ReprAttr r) {
  static constexpr std::string_view reprs[] = {"U8", "I8", "U16", "I16", "U32", "I32",
                                               "U64", "I64", "U128", "I128", "Usize", "Isize"};
  const std::string_view payload = r.payload < std::size(reprs) ? reprs[r.payload] : std::string_view("?");
  switch (r.kind) {
    case tl::ReprKind::OptionNonZero: return "OptionNonZero";
    case tl::ReprKind::Primitive: return "Primitive";
    case tl::ReprKind::C: return "C";
    case tl::ReprKind::CAndInt: return cat("CAndInt(", payload, ")");
    case tl::ReprKind::Transparent: return "Transparent";
    case tl::ReprKind::Int: return cat("Int(", payload, ")");
    case tl::ReprKind::Packed: return cat("Packed { alignment_power_of_two: ", r.payload, " }");
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

std::string refl_text(tl::ModReflMode m) {
  switch (m.kind) {
    case tl::ReflKind::Module: return "Module";
    case tl::ReflKind::Opaque: return "Opaque";
    case tl::ReflKind::DelegateDeref: return cat("DelegateDeref { layout_index: ", m.layout_index, " }");
  }
  return "?";
}

std::string tag_debug_text(const Tag& t) {
  auto list = [](const std::vector<Tag>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i != 0) out += ", ";
      out += tag_debug_text(items[i]);
    }
    return out + "]";
  };
  std::string variant;
  switch (t.kind) {
    case Tag::Kind::Null: variant = "Primitive(Null)"; break;
    case Tag::Kind::Bool: variant = cat("Primitive(Bool(", t.boolean ? "true" : "false", "))"); break;
    case Tag::Kind::Int: variant = cat("Primitive(Int(", t.int_value, "))"); break;
    case Tag::Kind::UInt: variant = cat("Primitive(UInt(", t.uint_value, "))"); break;
    case Tag::Kind::String: variant = cat("Primitive(String_(", quoted(t.string), "))"); break;
    case Tag::Kind::Ignored: variant = cat("Ignored(", t.items.empty() ? "" : tag_debug_text(t.items[0]), ")"); break;
    case Tag::Kind::Array: variant = cat("Array(", list(t.items), ")"); break;
    case Tag::Kind::Set: variant = cat("Set(", list(t.items), ")"); break;
    case Tag::Kind::Map: {
      variant = "Map([";
      for (std::size_t i = 0; i + 1 < t.items.size(); i += 2) {
        if (i != 0) variant += ", ";
        variant += cat("KeyValue { key: ", tag_debug_text(t.items[i]), ", value: ", tag_debug_text(t.items[i + 1]), " }");
      }
      variant += "])";
      break;
    }
  }
  return cat("Tag { variant: ", variant, " }");
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

std::string required_traits_text(const RequiredTraits& r) {
  static constexpr std::string_view auto_names[] = {"Send", "Sync", "Unpin"};
  static constexpr std::string_view regular_names[] = {
      "Error",      "Clone", "Default",  "Display",  "Debug",    "Serialize",
      "PartialEq",  "Ord",   "PartialOrd", "Hash",   "Iterator", "DoubleEndedIterator",
      "FmtWrite",   "IoWrite", "IoRead", "IoBufRead", "IoSeek",  "Deserialize"};
  std::string out = "RequiredTraits\nAuto traits:";
  if (r.auto_traits == 0) out += "<no_traits>";
  for (std::size_t i = 0; i < std::size(auto_names); ++i) {
    if ((r.auto_traits >> i) & 1U) out += cat(" ", auto_names[i]);
  }
  out += "\nImpld traits:";
  if (r.regular_traits == 0) out += "<no_traits>";
  for (std::size_t i = 0; i < std::size(regular_names); ++i) {
    if ((r.regular_traits >> i) & 1U) out += cat(" ", regular_names[i]);
  }
  return out + "\n";
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

// ---- the printer ------------------------------------------------------------

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

std::string print_graph(const Graph& g) {
  std::string out;
  for (std::size_t i = 0; i < g.reachable; ++i) {
    const Node& n = g.nodes[i];
    if (i != 0) out += "\n";
    out += cat("## ", i + 1, ". `", n.full_type, "`\n\n");
    out += cat("- name: `", n.name, "`\n");
    out += cat("- package;version: `", n.package, ";", n.version, "`\n");
    out += cat("- mod path: `", n.mod_path, "`\n");
    out += cat("- size: ", n.size, " / alignment: ", n.alignment(), "\n");
    out += cat("- repr attr: `", repr_text(n.repr), "`\n");
    out += cat("- data kind: `", data_kind_text(n.kind), "`\n");
    out += cat("- generics: `", generics_text(g, n), "`\n");
    out += cat("- is_nonzero: ", n.is_nonzero ? "true" : "false", "; extra_checks: ",
               n.extra_checks ? "true" : "false", "; mod_refl_mode: `", refl_text(n.refl), "`; tag: `",
               tag_debug_text(n.tag), "`\n");
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

}  // namespace lmfs::host::layout
