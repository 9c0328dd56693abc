// Reading type-layout records into the value model, checking everything a
// record says before following it.
#include "lmfs_abi_host/layout_reader.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "lmfs_abi_host/layout_text.h"
#include "record_pieces.h"
#include "lmfs_base/try.h"
#include "lmfs_text/strcat.h"

namespace lmfs::abi::layout {

using text::cat;
namespace {

using namespace pieces;

constexpr std::size_t kMaxTagDepth = 32;    // nesting of a tag
constexpr std::size_t kMaxTagItems = 4096;  // values in one tag
constexpr std::size_t kMaxConstBytes = 64;  // bytes of a const parameter kept

class Reader {
 public:
  explicit Reader(const MappedMemory& memory) : mem_(memory) {}
  std::expected<Graph, LayoutError> run(const tl::TypeLayout* root);

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

  std::expected<NodeId, LayoutError> intern(const tl::TypeLayout* t);
  std::expected<NodeId, LayoutError> intern_fn(const Tables& t, std::size_t index, std::string_view what);
  std::expected<void, LayoutError> read(NodeId id);
  std::expected<void, LayoutError> read_body(NodeId id, Node& n);
  std::expected<std::vector<Field>, LayoutError> read_fields(const Tables& t, const tl::CompTLFields& f);
  std::expected<Field, LayoutError> read_field(const Tables& t, std::uint64_t word, std::size_t index,
                                               const tl::TLFunctions* fns);
  std::expected<Function, LayoutError> read_function(const Tables& t, const tl::CompTLFunction& f);
  std::expected<Tag, LayoutError> read_tag(const tl::TagRecord* raw, std::size_t depth);
  std::expected<ExtraChecks, LayoutError> read_extra_checks(NodeId owner, const tl::StoredExtraChecks& s);
  std::expected<void, LayoutError> read_pending();
  std::expected<void, LayoutError> finish_extra_checks(const PendingExtra& p);
  std::expected<void, LayoutError> finish_const(const PendingConst& p);
  std::expected<std::string, LayoutError> counted_text(const char* p, std::size_t n, std::string_view what) const {
    return pieces::counted_text(mem_, p, n, what);
  }
  std::expected<std::string, LayoutError> nul_text(const char* p, std::string_view what) const {
    return pieces::nul_text(mem_, p, what);
  }
  // Whether `count` records from `p` may be read; the refusal names `what`.
  template <class T>
  std::expected<void, LayoutError> readable(const T* p, std::size_t count, std::string_view what) const {
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

std::expected<NodeId, LayoutError> Reader::intern(const tl::TypeLayout* t) {
  if (t == nullptr) return Error(std::string("a type-layout function returned a null pointer"));
  if (auto it = ids_.find(t); it != ids_.end()) return it->second;
  LMFS_TRY(readable(t, 1, "a type layout"));
  if (g_.nodes.size() >= kMaxNodes) return Error(cat("the graph has more than ", kMaxNodes, " type layouts"));
  const auto id = static_cast<NodeId>(g_.nodes.size());
  g_.nodes.emplace_back();
  records_.push_back(t);
  ids_.emplace(t, id);
  return id;
}

std::expected<NodeId, LayoutError> Reader::intern_fn(const Tables& t, std::size_t index, std::string_view what) {
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

std::expected<Graph, LayoutError> Reader::run(const tl::TypeLayout* root) {
  if (root == nullptr) return Error(std::string("the root type layout is a null pointer"));
  LMFS_TRY(readable(root, 1, "the root type layout"));
  LMFS_TRY(intern(root));
  for (NodeId next = 0; next < g_.nodes.size(); ++next) {
    LMFS_TRY(read(next));
  }
  g_.reachable = g_.nodes.size();
  LMFS_TRY(read_pending());
  compute_full_types(g_);
  return std::move(g_);
}

// The layouts only extra checks and const parameters reach, read after the
// reachable ones (their own checks and parameters may add more).
std::expected<void, LayoutError> Reader::read_pending() {
  std::size_t extras_done = 0;
  std::size_t consts_done = 0;
  NodeId next = static_cast<NodeId>(g_.nodes.size());
  while (extras_done < extras_.size() || consts_done < consts_.size()) {
    for (; extras_done < extras_.size(); ++extras_done) {
      PendingExtra& p = extras_[extras_done];
      p.layout_id = LMFS_TRY(intern(p.layout));
      for (const tl::TypeLayout* nested : p.nested) {
        auto nid = LMFS_TRY(intern(nested));
        p.nested_ids.push_back(nid);
      }
    }
    for (; consts_done < consts_.size(); ++consts_done) {
      g_.nodes[consts_[consts_done].owner].generics.consts[consts_[consts_done].index].layout = LMFS_TRY(intern(consts_[consts_done].layout));
    }
    for (; next < g_.nodes.size(); ++next) {
      LMFS_TRY(read(next));
    }
  }
  for (const auto& p : extras_) {
    LMFS_TRY(finish_extra_checks(p));
  }
  for (const auto& p : consts_) {
    LMFS_TRY(finish_const(p));
  }
  return {};
}

// The layouts of an extra check, and the value of the framework's own one,
// RequiredTraits; any other stored check is kept without a value.
std::expected<void, LayoutError> Reader::finish_extra_checks(const PendingExtra& p) {
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

std::expected<void, LayoutError> Reader::finish_const(const PendingConst& p) {
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

std::expected<void, LayoutError> Reader::read(NodeId id) {
  Node n;
  auto r = read_body(id, n);
  if (!r) {
    return std::unexpected(
        std::move(r).error().within(cat("type layout #", id + 1, n.name.empty() ? std::string() : cat(" (", n.name, ")"))));
  }
  g_.nodes[id] = std::move(n);
  return {};
}

std::expected<void, LayoutError> Reader::read_body(NodeId id, Node& n) {
  const tl::TypeLayout& t = *records_[id];
  if (t.mono == nullptr) return Error(std::string("its monomorphic layout is a null pointer"));
  if (t.shared_vars == nullptr) return Error(std::string("its shared variables are a null pointer"));
  LMFS_TRY(readable(t.mono, 1, "its monomorphic layout"));
  LMFS_TRY(readable(t.shared_vars, 1, "its shared variables"));
  const tl::MonoTypeLayout& m = *t.mono;
  const tl::SharedVars& sv = *t.shared_vars;
  if (sv.mono == nullptr) return Error(std::string("its shared strings are a null pointer"));
  LMFS_TRY(readable(sv.mono, 1, "its shared strings"));

  n.name = LMFS_TRY(counted_text(m.name, m.name_len, "the name"));

  Tables tab;
  (void)LMFS_TRY(counted_text(sv.mono->strings, sv.mono->strings_len, "the string table"));
  tab.strings = std::string_view(sv.mono->strings == nullptr ? "" : sv.mono->strings, sv.mono->strings_len);
  if (sv.mono->lifetime_indices_len != 0 && sv.mono->lifetime_indices == nullptr) {
    return Error(std::string("the lifetime table is a null pointer"));
  }
  LMFS_TRY(readable(sv.mono->lifetime_indices, sv.mono->lifetime_indices_len, "the lifetime table"));
  tab.lifetimes = sv.mono->lifetime_indices;
  tab.lifetimes_len = sv.mono->lifetime_indices_len;
  if (sv.type_layouts_len != 0 && sv.type_layouts == nullptr) {
    return Error(std::string("the type-layout table is a null pointer"));
  }
  LMFS_TRY(readable(sv.type_layouts, sv.type_layouts_len, "the type-layout table"));
  tab.layouts = sv.type_layouts;
  tab.layouts_len = sv.type_layouts_len;
  if (sv.constants_len != 0 && sv.constants == nullptr) {
    return Error(std::string("the const-parameter table is a null pointer"));
  }
  LMFS_TRY(readable(sv.constants, sv.constants_len, "the const-parameter table"));
  tab.consts = sv.constants;
  tab.consts_len = sv.constants_len;

  // Item info.
  auto pav = LMFS_TRY(counted_text(m.item_info.package_and_version.data, m.item_info.package_and_version.len,
                          "the package and version"));
  if (const auto semi = pav.find(';'); semi == std::string::npos) {
    n.package = pav;
  } else {
    n.package = pav.substr(0, semi);
    n.version = pav.substr(semi + 1);
  }
  n.line = m.item_info.line;
  n.mod_path = LMFS_TRY(nul_text(m.item_info.mod_path, "the module path"));

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
    if (!tag) return std::unexpected(std::move(tag).error().within("its tag"));
    n.tag = std::move(*tag);
  }

  // Generics: lifetimes, type parameters (children), const parameters.
  n.generics.lifetimes = LMFS_TRY(nul_text(m.generics.lifetime, "the lifetime parameters"));
  n.generics.lifetime_count = m.generics.lifetime_count;
  {
    const std::size_t start = tl::sl_start(m.generics.types);
    const std::size_t len = tl::sl_len(m.generics.types);
    for (std::size_t i = start; i < start + len; ++i) {
      auto child = LMFS_TRY(intern_fn(tab, i, "a type parameter"));
      n.generics.types.push_back(child);
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
      LMFS_TRY(readable(c.vtable, 1, cat("const parameter ", i - start, ": its table")));
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
  LMFS_TRY(readable(m.phantom_fields, m.phantom_fields_len, "its phantom fields"));
  for (std::size_t i = 0; i < m.phantom_fields_len; ++i) {
    auto f = read_field(tab, m.phantom_fields[i], i, nullptr);
    if (!f) return std::unexpected(std::move(f).error().within(cat("phantom field ", i)));
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
      auto fields = LMFS_TRY(read_fields(tab, m.data.u.fields));
      n.fields = std::move(fields);
      break;
    }
    case tl::DataKind::Enum: {
      const tl::MonoTLEnum& e = m.data.u.enum_;
      const tl::GenericTLEnum& ge = t.data.u.enum_;
      if (e.field_count_len != 0 && e.field_count == nullptr) {
        return Error(std::string("its variants' field counts are a null pointer"));
      }
      LMFS_TRY(readable(e.field_count, e.field_count_len, "its variants' field counts"));
      n.enum_data.field_counts.assign(e.field_count, e.field_count + e.field_count_len);
      n.enum_data.variant_names = LMFS_TRY(string_range(tab, tl::sl_start(e.variant_names), tl::sl_len(e.variant_names), "the variant names"));
      if (ge.nonexhaustive != nullptr) {
        const auto* ne = static_cast<const tl::NonExhaustiveStorage*>(ge.nonexhaustive);
        LMFS_TRY(readable(ne, 1, "its declared storage"));
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
      auto fields = LMFS_TRY(read_fields(tab, e.fields));
      n.fields = std::move(fields);
      break;
    }
    case tl::DataKind::PrefixType: {
      const tl::MonoTLPrefixType& p = m.data.u.prefix;
      n.prefix.first_suffix_field = p.first_suffix_field;
      n.prefix.conditional_prefix_fields = p.conditional_prefix_fields;
      n.prefix.accessible_fields = t.data.u.accessible_fields;
      auto fields = LMFS_TRY(read_fields(tab, p.fields));
      n.fields = std::move(fields);
      break;
    }
  }

  if (t.extra_checks != nullptr) {
    LMFS_TRY(readable(t.extra_checks, 1, "its extra checks"));
    auto checks = read_extra_checks(id, *t.extra_checks);
    if (!checks) return std::unexpected(std::move(checks).error().within("its extra checks"));
    n.extra_checks = std::move(*checks);
  }

  // The whole shared table of type layouts, as the framework walks it.
  for (std::size_t i = 0; i < tab.layouts_len; ++i) {
    auto entry = LMFS_TRY(intern_fn(tab, i, "the type-layout table"));
    n.table.push_back(entry);
    n.table_fns.push_back(reinterpret_cast<std::uintptr_t>(tab.layouts[i]));
  }
  return {};
}

// A stored extra check is a const trait object: its type's layout, what its
// Debug writes and the layouts it nests are asked of it through its table.
std::expected<ExtraChecks, LayoutError> Reader::read_extra_checks(NodeId owner, const tl::StoredExtraChecks& s) {
  const auto* vt = static_cast<const tl::ExtraChecksVTable*>(s.vtable);
  if (vt == nullptr || s.ptr == nullptr) return Error(std::string("a null pointer"));
  LMFS_TRY(readable(vt, 1, "its table"));
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
    LMFS_TRY(readable(object, 1, "its object-level table"));
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

std::expected<std::vector<Field>, LayoutError> Reader::read_fields(const Tables& t, const tl::CompTLFields& f) {
  if (f.comp_fields_len != 0 && f.comp_fields == nullptr) return Error(std::string("its fields are a null pointer"));
  LMFS_TRY(readable(f.comp_fields, f.comp_fields_len, "its fields"));
  if (f.functions != nullptr) {
    LMFS_TRY(readable(f.functions, 1, "its function table"));
    const tl::TLFunctions& fns = *f.functions;
    if ((fns.functions_len != 0 && fns.functions == nullptr) ||
        (fns.field_fn_ranges_len != 0 && fns.field_fn_ranges == nullptr)) {
      return Error(std::string("its function table is a null pointer"));
    }
    LMFS_TRY(readable(fns.functions, fns.functions_len, "its functions"));
    LMFS_TRY(readable(fns.field_fn_ranges, fns.field_fn_ranges_len, "its fields' function ranges"));
  }
  std::vector<Field> out;
  out.reserve(f.comp_fields_len);
  for (std::size_t i = 0; i < f.comp_fields_len; ++i) {
    auto field = read_field(t, f.comp_fields[i], i, f.functions);
    if (!field) return std::unexpected(std::move(field).error().within(cat("field ", i)));
    out.push_back(std::move(*field));
  }
  return out;
}

std::expected<Field, LayoutError> Reader::read_field(const Tables& t, std::uint64_t word, std::size_t index,
                                                     const tl::TLFunctions* fns) {
  const tl::FieldBits b = tl::decode_field(word);
  Field f;
  f.name = LMFS_TRY(string_range(t, b.name_start, b.name_len, "the name"));
  auto lifetimes = LMFS_TRY(decode_lifetimes(t, b.lifetimes));
  f.lifetimes = std::move(lifetimes);
  f.is_function = b.is_function;
  // Unknown accessors read as Opaque, as the framework reads them.
  f.accessor = static_cast<std::uint8_t>(b.accessor) > static_cast<std::uint8_t>(tl::Accessor::Opaque)
                   ? tl::Accessor::Opaque
                   : b.accessor;
  if (f.accessor == tl::Accessor::MethodNamed) {
    const std::string_view rest = t.strings.substr(b.name_start + b.name_len);
    f.accessor_name = std::string(rest.substr(0, rest.find(';')));
  }
  f.type = LMFS_TRY(intern_fn(t, b.layout_index, "the field's type"));

  if (fns != nullptr && index < fns->field_fn_ranges_len) {
    const std::uint32_t range = fns->field_fn_ranges[index];
    const std::size_t start = tl::sl_start(range);
    const std::size_t len = tl::sl_len(range);
    if (start + len > fns->functions_len) {
      return Error(cat("its functions ", start, "..", start + len, " lie outside the table of ", fns->functions_len));
    }
    for (std::size_t i = start; i < start + len; ++i) {
      auto fn = read_function(t, fns->functions[i]);
      if (!fn) return std::unexpected(std::move(fn).error().within(cat("function ", i)));
      f.functions.push_back(std::move(*fn));
    }
  }
  return f;
}

std::expected<Function, LayoutError> Reader::read_function(const Tables& t, const tl::CompTLFunction& c) {
  Function f;
  f.name = LMFS_TRY(string_range(t, tl::sl_start(c.name), tl::sl_len(c.name), "the name"));
  f.bound_lifetimes = LMFS_TRY(string_range(t, c.contiguous_strings_offset, c.bound_lifetimes_len, "the bound lifetimes"));
  f.param_names = LMFS_TRY(string_range(t, std::size_t{c.contiguous_strings_offset} + c.bound_lifetimes_len, c.param_names_len,
                             "the parameter names"));
  const std::size_t count = tl::tlr_len(c.param_type_layouts);
  for (std::size_t i = 0; i < f.param_slots.size(); ++i) f.param_slots[i] = tl::tlr_index(c.param_type_layouts, i);
  for (std::size_t i = f.param_slots.size(); i < count; ++i) {
    f.more_param_slots.push_back(tl::tlr_index(c.param_type_layouts, i));
  }
  for (std::size_t i = 0; i < count; ++i) {
    auto p = LMFS_TRY(intern_fn(t, tl::tlr_index(c.param_type_layouts, i), cat("parameter ", i)));
    f.params.push_back(p);
  }
  if (c.return_type_layout < t.layouts_len) {
    f.returns = LMFS_TRY(intern_fn(t, c.return_type_layout, "the return type"));
  }
  auto lifetimes = LMFS_TRY(decode_lifetimes(t, c.paramret_lifetime_range));
  f.lifetimes = std::move(lifetimes);
  f.qualifiers = c.fn_qualifs;
  return f;
}

std::expected<Tag, LayoutError> Reader::read_tag(const tl::TagRecord* raw, std::size_t depth) {
  if (raw == nullptr) return Error(std::string("a null pointer"));
  if (depth > kMaxTagDepth) return Error(cat("nested more than ", kMaxTagDepth, " deep"));
  if (++tag_items_ > kMaxTagItems) return Error(cat("more than ", kMaxTagItems, " values"));
  LMFS_TRY(readable(raw, 1, "a value"));
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
          auto s = LMFS_TRY(counted_text(p.v.s.data, p.v.s.len, "a string"));
          tag.kind = Tag::Kind::String;
          tag.string = std::move(s);
          break;
        }
        default: return Error(cat("an unknown primitive kind ", static_cast<unsigned>(kind)));
      }
      break;
    }
    case V::Ignored: {
      tag.kind = Tag::Kind::Ignored;
      auto inner = LMFS_TRY(read_tag(raw->u.ignored, depth + 1));
      tag.items.push_back(std::move(inner));
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
            auto item = LMFS_TRY(read_tag(side, depth + 1));
            tag.items.push_back(std::move(item));
          }
        } else {
          auto item = LMFS_TRY(read_tag(static_cast<const tl::TagRecord*>(s.ptr) + i, depth + 1));
          tag.items.push_back(std::move(item));
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

std::expected<Graph, LayoutError> read_graph(const tl::TypeLayout* root, const MappedMemory& memory) {
  return Reader{memory}.run(root);
}

std::expected<Graph, LayoutError> read_graph(const tl::TypeLayout* root) {
  return read_graph(root, MappedMemory::loaded_objects());
}

}  // namespace lmfs::abi::layout
