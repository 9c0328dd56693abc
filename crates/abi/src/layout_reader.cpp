// Reading type-layout records into the value model, checking everything a
// record says before following it.
#include "lmfs_abi/layout_reader.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "lmfs_abi/layout_text.h"
#include "lmfs_text/strcat.h"

namespace lmfs::abi::layout {

using text::cat;
using text::hex;
namespace {

constexpr std::size_t kMaxText = 1 << 16;   // longest counted text read
constexpr std::size_t kMaxNulText = 4096;   // longest NUL-terminated text read
constexpr std::size_t kMaxTagDepth = 32;    // nesting of a tag
constexpr std::size_t kMaxTagItems = 4096;  // values in one tag
constexpr std::size_t kMaxConstBytes = 64;  // bytes of a const parameter kept

using Error = std::unexpected<std::string>;

// `what` and the tail of a refusal: "its fields: outside the readable ...".
std::string outside(std::string_view what, const void* p, std::size_t bytes) {
  return cat(what, ": ", outside_readable(p, bytes));
}

std::expected<std::string, std::string> counted_text(const MappedMemory& mem, const char* p, std::size_t n,
                                                     std::string_view what) {
  if (n == 0) return std::string{};
  if (p == nullptr) return Error(cat(what, " is a null pointer with length ", n));
  if (n > kMaxText) return Error(cat(what, " is ", n, " bytes long"));
  if (!mem.contains(p, n)) return Error(outside(what, p, n));
  return std::string(p, n);
}

// Read no further than the end of the segment `p` lies in.
std::expected<std::string, std::string> nul_text(const MappedMemory& mem, const char* p, std::string_view what) {
  if (p == nullptr) return Error(cat(what, " is a null pointer"));
  const std::size_t readable = mem.readable_from(p);
  if (readable == 0) return Error(outside(what, p, 1));
  const std::size_t most = std::min(readable, kMaxNulText);
  const std::size_t n = ::strnlen(p, most);
  if (n == kMaxNulText) return Error(cat(what, " has no end within ", kMaxNulText, " bytes"));
  if (n == most) {
    return Error(cat(what, " has no end within its segment (", most, " bytes at ", hex(reinterpret_cast<std::uintptr_t>(p)),
                     ")"));
  }
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
  const tl::LifetimeRangeBits range = tl::decode_lifetime_range(bits);
  LifetimeIndices l;
  if (range.is_range) {
    const std::size_t start = range.start;
    const std::size_t count = range.len;
    if (start + count > t.lifetimes_len) {
      return Error(cat("lifetime range ", start, "..", start + count, " lies outside the table of ", t.lifetimes_len,
                       " pairs"));
    }
    l.is_range = true;
    l.len = static_cast<std::uint16_t>(count);
    l.pairs.assign(t.lifetimes + start, t.lifetimes + start + count);
  } else {
    const std::uint32_t v = range.inline_bits;
    l.len = static_cast<std::uint16_t>((range.len + 1) / 2);
    l.pairs = {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>((v >> 8) & 0xFF),
               static_cast<std::uint8_t>((v >> 16) & 0xF)};
  }
  return l;
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
  explicit Reader(const MappedMemory& memory) : mem_(memory) {}
  std::expected<Graph, std::string> run(const tl::TypeLayout* root);

 private:
  // An extra check whose layouts are read after the reachable ones. What
  // they become is kept here and given to the owner's node only when the
  // graph has stopped growing (a reference into the nodes would not survive
  // the interning of a new one).
  struct PendingExtra {
    NodeId owner;
    const tl::TypeLayout* layout;
    const void* value;
    std::vector<const tl::TypeLayout*> nested;
    NodeId layout_id = 0;
    std::vector<NodeId> nested_ids;
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
  std::expected<Tag, std::string> read_tag(const tl::TagRecord* raw, std::size_t depth);
  std::expected<ExtraChecks, std::string> read_extra_checks(NodeId owner, const tl::StoredExtraChecks& s);
  std::expected<void, std::string> read_pending();
  std::expected<void, std::string> finish_extra_checks(const PendingExtra& p);
  std::expected<void, std::string> finish_const(const PendingConst& p);
  std::expected<std::string, std::string> counted_text(const char* p, std::size_t n, std::string_view what) const {
    return layout::counted_text(mem_, p, n, what);
  }
  std::expected<std::string, std::string> nul_text(const char* p, std::string_view what) const {
    return layout::nul_text(mem_, p, what);
  }
  // Whether `count` records from `p` may be read; the refusal names `what`.
  template <class T>
  std::expected<void, std::string> readable(const T* p, std::size_t count, std::string_view what) const {
    const auto* const at = static_cast<const void*>(p);  // (a table of pointers is read as bytes)
    if (mem_.contains(at, count, sizeof(T))) return {};
    return Error(outside(what, at, count * sizeof(T)));
  }

  const MappedMemory& mem_;
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
  if (auto r = readable(t, 1, "a type layout"); !r) return Error(r.error());
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
  if (!mem_.executable(fn)) {
    return Error(cat(what, ": entry ", index, " of the type-layout table: ", outside_executable(fn)));
  }
  return intern(fn());
}

std::expected<Graph, std::string> Reader::run(const tl::TypeLayout* root) {
  if (root == nullptr) return Error(std::string("the root type layout is a null pointer"));
  if (auto r = readable(root, 1, "the root type layout"); !r) return Error(r.error());
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
      PendingExtra& p = extras_[extras_done];
      auto id = intern(p.layout);
      if (!id) return Error(id.error());
      p.layout_id = *id;
      for (const tl::TypeLayout* nested : p.nested) {
        auto nid = intern(nested);
        if (!nid) return Error(nid.error());
        p.nested_ids.push_back(*nid);
      }
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
  for (const auto& p : extras_) {
    if (auto r = finish_extra_checks(p); !r) return r;
  }
  for (const auto& p : consts_) {
    if (auto r = finish_const(p); !r) return r;
  }
  return {};
}

// The layouts of an extra check, and the value of the framework's own one,
// RequiredTraits; any other stored check is kept without a value.
std::expected<void, std::string> Reader::finish_extra_checks(const PendingExtra& p) {
  // read() gave the owner its checks when it queued `p`.
  ExtraChecks& checks = *g_.nodes[p.owner].extra_checks;  // NOLINT(bugprone-unchecked-optional-access)
  checks.layout = p.layout_id;
  checks.nested = p.nested_ids;
  const Node& type = g_.nodes[checks.layout];
  if (type.name != "RequiredTraits" || type.size != sizeof(tl::RequiredTraits) ||
      type.alignment() != alignof(tl::RequiredTraits)) {
    return {};
  }
  if (!mem_.contains(p.value, sizeof(tl::RequiredTraits))) {
    return Error(cat("type layout #", p.owner + 1, ": its extra checks: the value ",
                     outside_readable(p.value, sizeof(tl::RequiredTraits))));
  }
  tl::RequiredTraits r;
  std::memcpy(&r.auto_traits, p.value, sizeof r.auto_traits);
  std::memcpy(&r.regular_traits, static_cast<const std::uint8_t*>(p.value) + offsetof(tl::RequiredTraits, regular_traits),
              sizeof r.regular_traits);
  checks.required_traits = r;
  return {};
}

std::expected<void, std::string> Reader::finish_const(const PendingConst& p) {
  ConstParam& c = g_.nodes[p.owner].generics.consts[p.index];
  const Node& type = g_.nodes[c.layout];
  const auto* bytes = static_cast<const std::uint8_t*>(p.value);
  const std::size_t kept = std::min(type.size, kMaxConstBytes);
  if (!mem_.contains(bytes, kept)) {
    return Error(cat("type layout #", p.owner + 1, ": const parameter ", p.index, ": its value ",
                     outside_readable(bytes, kept)));
  }
  c.bytes.assign(bytes, bytes + kept);
  c.text = "<const>";
  if (type.kind != tl::DataKind::Primitive) return {};
  const auto prim = static_cast<std::uint8_t>(type.primitive);
  if (prim <= static_cast<std::uint8_t>(tl::Primitive::Isize)) {
    const auto kind = static_cast<tl::DiscriminantKind>(prim);  // the integer primitives come in the same order
    const std::size_t width = tl::width_of(kind);
    if (type.size == width) c.text = discriminant_text(kind, load_integer(bytes, width, tl::is_signed(kind)));
  } else if (type.primitive == tl::Primitive::Bool && type.size == 1) {
    c.text = bytes[0] != 0 ? "true" : "false";
  }
  return {};
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
  if (auto r = readable(t.mono, 1, "its monomorphic layout"); !r) return r;
  if (auto r = readable(t.shared_vars, 1, "its shared variables"); !r) return r;
  const tl::MonoTypeLayout& m = *t.mono;
  const tl::SharedVars& sv = *t.shared_vars;
  if (sv.mono == nullptr) return Error(std::string("its shared strings are a null pointer"));
  if (auto r = readable(sv.mono, 1, "its shared strings"); !r) return r;

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
  if (auto r = readable(sv.mono->lifetime_indices, sv.mono->lifetime_indices_len, "the lifetime table"); !r) return r;
  tab.lifetimes = sv.mono->lifetime_indices;
  tab.lifetimes_len = sv.mono->lifetime_indices_len;
  if (sv.type_layouts_len != 0 && sv.type_layouts == nullptr) {
    return Error(std::string("the type-layout table is a null pointer"));
  }
  if (auto r = readable(sv.type_layouts, sv.type_layouts_len, "the type-layout table"); !r) return r;
  tab.layouts = sv.type_layouts;
  tab.layouts_len = sv.type_layouts_len;
  if (sv.constants_len != 0 && sv.constants == nullptr) {
    return Error(std::string("the const-parameter table is a null pointer"));
  }
  if (auto r = readable(sv.constants, sv.constants_len, "the const-parameter table"); !r) return r;
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
  if (!mem_.executable(t.type_id)) return Error(cat("its type-id function: ", outside_executable(t.type_id)));
  n.type_id = t.type_id();

  // Data kind: both halves must agree.
  const auto mono_kind = static_cast<std::uint8_t>(m.data.tag);
  if (mono_kind > static_cast<std::uint8_t>(tl::DataKind::PrefixType) || t.data.tag != mono_kind) {
    return Error(cat("its data kinds disagree (", static_cast<unsigned>(mono_kind), " and ", t.data.tag, ")"));
  }
  n.kind = m.data.tag;

  if (t.tag != nullptr) {
    tag_items_ = 0;
    auto tag = read_tag(static_cast<const tl::TagRecord*>(t.tag), 0);
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
      if (c.vtable == nullptr) return Error(cat("const parameter ", i - start, " has a null pointer"));
      if (auto r = readable(c.vtable, 1, cat("const parameter ", i - start, ": its table")); !r) return r;
      if (c.vtable->fields.layout == nullptr || c.ptr == nullptr) {
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
  if (auto r = readable(m.phantom_fields, m.phantom_fields_len, "its phantom fields"); !r) return r;
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
      if (auto r = readable(e.field_count, e.field_count_len, "its variants' field counts"); !r) return r;
      n.enum_data.field_counts.assign(e.field_count, e.field_count + e.field_count_len);
      auto names = string_range(tab, tl::sl_start(e.variant_names), tl::sl_len(e.variant_names), "the variant names");
      if (!names) return Error(names.error());
      n.enum_data.variant_names = *names;
      if (ge.nonexhaustive != nullptr) {
        const auto* ne = static_cast<const tl::NonExhaustiveStorage*>(ge.nonexhaustive);
        if (auto r = readable(ne, 1, "its declared storage"); !r) return r;
        n.enum_data.exhaustive = false;
        n.enum_data.nonexhaustive_size = ne->original_size;
        n.enum_data.nonexhaustive_align_power = ne->original_alignment_pow2;
        if (ne->original_alignment_pow2 > 63) return Error(std::string("its declared storage alignment is too big"));
      }
      const tl::TLDiscriminants& d = ge.discriminants;
      if (static_cast<std::uint8_t>(d.kind) >= tl::kDiscriminantKinds) {
        return Error(cat("its discriminant kind ", static_cast<unsigned>(d.kind), " is unknown"));
      }
      if (d.len != 0 && d.discriminants == nullptr) return Error(std::string("its discriminants are a null pointer"));
      n.enum_data.discriminant_kind = d.kind;
      const std::size_t width = tl::width_of(d.kind);
      if (!mem_.contains(d.discriminants, d.len, width)) {
        return Error(outside("its discriminants", d.discriminants, std::size_t{d.len} * width));
      }
      for (std::size_t i = 0; i < d.len; ++i) {
        n.enum_data.discriminants.push_back(load_integer(static_cast<const std::uint8_t*>(d.discriminants) + i * width,
                                                         width, tl::is_signed(d.kind)));
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
    if (auto r = readable(t.extra_checks, 1, "its extra checks"); !r) return r;
    auto checks = read_extra_checks(id, *t.extra_checks);
    if (!checks) return Error(cat("its extra checks: ", checks.error()));
    n.extra_checks = std::move(*checks);
  }

  // The whole shared table of type layouts, as the framework walks it.
  for (std::size_t i = 0; i < tab.layouts_len; ++i) {
    auto entry = intern_fn(tab, i, "the type-layout table");
    if (!entry) return Error(entry.error());
    n.table.push_back(*entry);
    n.table_fns.push_back(reinterpret_cast<std::uintptr_t>(tab.layouts[i]));
  }
  return {};
}

// A stored extra check is a const trait object: its type's layout, what its
// Debug writes and the layouts it nests are asked of it through its table.
std::expected<ExtraChecks, std::string> Reader::read_extra_checks(NodeId owner, const tl::StoredExtraChecks& s) {
  const auto* vt = static_cast<const tl::ExtraChecksVTable*>(s.vtable);
  if (vt == nullptr || s.ptr == nullptr) return Error(std::string("a null pointer"));
  if (auto r = readable(vt, 1, "its table"); !r) return Error(r.error());
  if (!mem_.contains(s.ptr, 1)) return Error(outside("its value", s.ptr, 1));
  const tl::ExtraChecksVTableFields& f = vt->fields;
  if (f.type_layout == nullptr || f.nested_type_layouts == nullptr) return Error(std::string("a null function"));
  if (!mem_.executable(f.type_layout)) return Error(cat("its `type_layout`: ", outside_executable(f.type_layout)));
  if (!mem_.executable(f.nested_type_layouts)) {
    return Error(cat("its `nested_type_layouts`: ", outside_executable(f.nested_type_layouts)));
  }
  const tl::TypeLayout* layout = f.type_layout(s.ptr);
  if (layout == nullptr) return Error(std::string("no type layout"));

  ExtraChecks checks;
  const RObjectVtable* object = f.sabi_vtable.ptr;
  if (object != nullptr) {
    if (auto r = readable(object, 1, "its object-level table"); !r) return Error(r.error());
  }
  constexpr unsigned kDebugSlot = 4;  // _sabi_debug in the object-level table
  if (object != nullptr && ((object->metadata.field_accessibility >> kDebugSlot) & 1U) != 0 &&
      object->fields._sabi_debug != nullptr) {
    if (!mem_.executable(object->fields._sabi_debug)) {
      return Error(cat("its Debug function: ", outside_executable(object->fields._sabi_debug)));
    }
    RString text = own_string("");
    if (object->fields._sabi_debug(s.ptr, FormattingMode::Alternate, &text).tag == kROk) {
      checks.debug = std::string(text.view().substr(0, kMaxText));
    }
    release(text);
  }

  PendingExtra pending{owner, layout, s.ptr, {}};
  tl::NestedLayouts nested = f.nested_type_layouts(s.ptr);
  const bool owned = nested.tag == kCowOwned;
  const std::size_t count = owned ? nested.value.owned.length : nested.value.borrowed.len;
  const tl::TypeLayout* const* items = owned ? nested.value.owned.buffer : nested.value.borrowed.data;
  std::string failure;
  if (count > kMaxNodes) {
    failure = cat(count, " nested type layouts");
  } else if (count != 0 && items == nullptr) {
    failure = "its nested type layouts are a null pointer";
  } else if (!owned && !mem_.contains(static_cast<const void*>(items), count, sizeof *items)) {
    // (An owned list is the library's allocation, handed over: no segment
    // holds it.)
    failure = outside("its nested type layouts", static_cast<const void*>(items), count * sizeof *items);
  } else {
    pending.nested.assign(items, items + count);
  }
  if (owned) {
    // Released through the table it came with, once that is known to be
    // readable and its destructor code.
    const VecVTable* table = nested.value.owned.vtable.ptr;
    if (table != nullptr && !mem_.contains(table, sizeof *table)) {
      return Error(outside("the table of its nested type layouts", table, sizeof *table));
    }
    if (table != nullptr && table->fields.destructor != nullptr && !mem_.executable(table->fields.destructor)) {
      return Error(cat("the destructor of its nested type layouts: ", outside_executable(table->fields.destructor)));
    }
    release(nested.value.owned);
  }
  if (!failure.empty()) return Error(failure);
  extras_.push_back(std::move(pending));
  return checks;
}

std::expected<std::vector<Field>, std::string> Reader::read_fields(const Tables& t, const tl::CompTLFields& f) {
  if (f.comp_fields_len != 0 && f.comp_fields == nullptr) return Error(std::string("its fields are a null pointer"));
  if (auto r = readable(f.comp_fields, f.comp_fields_len, "its fields"); !r) return Error(r.error());
  if (f.functions != nullptr) {
    if (auto r = readable(f.functions, 1, "its function table"); !r) return Error(r.error());
    const tl::TLFunctions& fns = *f.functions;
    if ((fns.functions_len != 0 && fns.functions == nullptr) ||
        (fns.field_fn_ranges_len != 0 && fns.field_fn_ranges == nullptr)) {
      return Error(std::string("its function table is a null pointer"));
    }
    if (auto r = readable(fns.functions, fns.functions_len, "its functions"); !r) return Error(r.error());
    if (auto r = readable(fns.field_fn_ranges, fns.field_fn_ranges_len, "its fields' function ranges"); !r) {
      return Error(r.error());
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
  for (std::size_t i = 0; i < f.param_slots.size(); ++i) f.param_slots[i] = tl::tlr_index(c.param_type_layouts, i);
  for (std::size_t i = f.param_slots.size(); i < count; ++i) {
    f.more_param_slots.push_back(tl::tlr_index(c.param_type_layouts, i));
  }
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

std::expected<Tag, std::string> Reader::read_tag(const tl::TagRecord* raw, std::size_t depth) {
  if (raw == nullptr) return Error(std::string("a null pointer"));
  if (depth > kMaxTagDepth) return Error(cat("nested more than ", kMaxTagDepth, " deep"));
  if (++tag_items_ > kMaxTagItems) return Error(cat("more than ", kMaxTagItems, " values"));
  if (auto r = readable(raw, 1, "a value"); !r) return Error(r.error());
  Tag tag;
  // Read as bytes: a library's record may hold any value there.
  std::uint8_t variant = 0;
  std::memcpy(&variant, &raw->variant, 1);
  using V = tl::TagVariant;
  using P = tl::TagPrimitiveKind;
  switch (static_cast<V>(variant)) {
    case V::Primitive: {
      const tl::TagPrimitive& p = raw->u.primitive;
      std::uint8_t kind = 0;
      std::memcpy(&kind, &p.kind, 1);
      switch (static_cast<P>(kind)) {
        case P::Null: tag.kind = Tag::Kind::Null; break;
        case P::Bool:
          if (p.boolean > 1) return Error(cat("a boolean of value ", static_cast<unsigned>(p.boolean)));
          tag.kind = Tag::Kind::Bool;
          tag.boolean = p.boolean != 0;
          break;
        case P::Int: tag.kind = Tag::Kind::Int; tag.int_value = p.v.i; break;
        case P::UInt: tag.kind = Tag::Kind::UInt; tag.uint_value = p.v.u; break;
        case P::String: {
          auto s = counted_text(p.v.s.data, p.v.s.len, "a string");
          if (!s) return Error(s.error());
          tag.kind = Tag::Kind::String;
          tag.string = std::move(*s);
          break;
        }
        default: return Error(cat("an unknown primitive kind ", static_cast<unsigned>(kind)));
      }
      break;
    }
    case V::Ignored: {
      tag.kind = Tag::Kind::Ignored;
      auto inner = read_tag(raw->u.ignored, depth + 1);
      if (!inner) return Error(inner.error());
      tag.items.push_back(std::move(*inner));
      break;
    }
    case V::Array:
    case V::Set:
    case V::Map: {
      tag.kind = variant == static_cast<std::uint8_t>(V::Array) ? Tag::Kind::Array
                 : variant == static_cast<std::uint8_t>(V::Set) ? Tag::Kind::Set
                                                                 : Tag::Kind::Map;
      const tl::TagSlice& s = raw->u.slice;
      if (s.len > kMaxTagItems) return Error(cat("a list of ", s.len, " values"));
      if (s.len != 0 && s.ptr == nullptr) return Error(std::string("a list at a null pointer"));
      const std::size_t item_size = tag.kind == Tag::Kind::Map ? sizeof(tl::TagKeyValue) : sizeof(tl::TagRecord);
      if (!mem_.contains(s.ptr, s.len, item_size)) return Error(outside("a list", s.ptr, s.len * item_size));
      for (std::size_t i = 0; i < s.len; ++i) {
        if (tag.kind == Tag::Kind::Map) {
          const tl::TagKeyValue& kv = static_cast<const tl::TagKeyValue*>(s.ptr)[i];
          for (const tl::TagRecord* side : {&kv.key, &kv.value}) {
            auto item = read_tag(side, depth + 1);
            if (!item) return Error(item.error());
            tag.items.push_back(std::move(*item));
          }
        } else {
          auto item = read_tag(static_cast<const tl::TagRecord*>(s.ptr) + i, depth + 1);
          if (!item) return Error(item.error());
          tag.items.push_back(std::move(*item));
        }
      }
      break;
    }
    default: return Error(cat("an unknown variant ", static_cast<unsigned>(variant)));
  }
  return tag;
}

}  // namespace

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

std::expected<Graph, std::string> read_graph(const tl::TypeLayout* root, const MappedMemory& memory) {
  return Reader{memory}.run(root);
}

std::expected<Graph, std::string> read_graph(const tl::TypeLayout* root) {
  return read_graph(root, MappedMemory::loaded_objects());
}

}  // namespace lmfs::abi::layout
