// Compile-time type-layout generation: the vocabulary in which boundary types
// are described, and the generator that turns a description into the
// framework's layout records.
//
// A boundary type T is described once, by specialising `Describe<T>` with a
// constexpr `TypeDesc` (name, package, representation, fields and their
// types, functions, variants, prefix data). From that description `Gen<T>`
// builds, entirely at compile time, the records a host's layout checker reads
// (string table, packed field words, function descriptions, shared variables,
// the TypeLayout itself), and refuses to compile when the description's own
// arithmetic is off: the size and alignment it states must follow from its
// fields under the type's representation. A description of a C++ record
// names, with each field, the record's member (`LMFS_MEMBER`), so the field
// list is written once and the generator holds every offset, the member's
// size and the record's size and alignment to it.
//
//   template <> struct Describe<RSnapshot> {
//     static constexpr TypeDesc desc = [] {
//       TypeDesc d = desc::type("RSnapshot", kPkg, "snapshot", 45, 80, 8, desc::kReprC, DataKind::Struct,
//                               desc::kModule).of_record<RSnapshot>();
//       desc::add(d, field<RString>("id").at(LMFS_MEMBER(RSnapshot, id)));
//       ...
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "lmfs_abi/type_layout.h"

namespace lmfs::abi::tl {

// The type's own function, as a host calls it.
template <class T>
const TypeLayout* layout_of() noexcept;
template <class T>
UTypeId type_id_of() noexcept;

// A described type as descriptions refer to it: its layout function and a
// compile-time key telling types apart (function addresses cannot be compared
// in constant expressions under every build mode).
struct TypeRef {
  LayoutFn fn = nullptr;
  std::string_view key{};

  [[nodiscard]] constexpr bool empty() const { return key.empty(); }
  friend constexpr bool operator==(const TypeRef& a, const TypeRef& b) { return a.key == b.key; }
};
template <class T>
[[nodiscard]] constexpr std::string_view type_key() {
  return __PRETTY_FUNCTION__;
}
template <class T>
[[nodiscard]] constexpr TypeRef ref_of() {
  return TypeRef{&layout_of<T>, type_key<T>()};
}

inline constexpr std::size_t kMaxFields = 24;
inline constexpr std::size_t kMaxPhantom = 4;
inline constexpr std::size_t kMaxVariants = 12;
inline constexpr std::size_t kMaxParams = 5;

struct FnDesc {
  std::string_view param_names{};  // raw text as stored, e.g. "_self,param_0,"
  std::array<TypeRef, kMaxParams> params{};
  std::size_t nparams = 0;
  TypeRef ret{};  // empty: returns ()
  std::array<std::uint8_t, 5> lifetimes{};
  std::size_t nlifetimes = 0;
  bool is_unsafe = false;
};

// Where a described field sits in its C++ record.
struct Member {
  std::size_t offset = 0;
  std::size_t size = 0;
};
inline constexpr std::size_t kNoOffset = ~std::size_t{0};

// The C++ member a described field stands for (nested members such as
// `payload.text` of a variant's payload are fine).
// `member` is a member's name, not an expression: it takes no parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define LMFS_MEMBER(Record, member) \
  ::lmfs::abi::tl::Member { offsetof(Record, member), sizeof(decltype(static_cast<Record*>(nullptr)->member)) }
// NOLINTEND(bugprone-macro-parentheses)

struct FieldDesc {
  std::string_view name{};
  TypeRef type{};
  std::size_t size = 0;
  std::size_t align = 1;
  Member member{kNoOffset, 0};  // kNoOffset: no C++ member (a marker, a tag type's field)
  std::array<std::uint8_t, 5> lifetimes{};
  std::size_t nlifetimes = 0;
  Accessor accessor = Accessor::Direct;
  bool is_function = false;  // the field is a function pointer
  bool has_fn = false;       // a function description is attached
  FnDesc fn{};

  // The same field, standing for the C++ member `m`.
  [[nodiscard]] constexpr FieldDesc at(Member m) const {
    FieldDesc f = *this;
    f.member = m;
    return f;
  }
};


struct TypeDesc {
  std::string_view name{};
  std::string_view package_version{};
  std::string_view mod_path{};  // must be a whole string literal (NUL-terminated)
  std::uint32_t line = 0;
  std::size_t size = 0;
  std::size_t align = 1;
  bool is_nonzero = false;
  ReprAttr repr{ReprKind::C, 0};
  ModReflMode refl{ReflKind::Module, 0};
  DataKind kind = DataKind::Struct;
  Primitive primitive = Primitive::U8;
  std::string_view lifetimes{};  // must be a whole string literal
  std::uint8_t lifetime_count = 0;
  std::array<TypeRef, 4> type_params{};
  std::size_t ntype_params = 0;
  const ConstGeneric* consts = nullptr;
  std::size_t nconsts = 0;
  std::array<FieldDesc, kMaxPhantom> phantom{};
  std::size_t nphantom = 0;
  std::array<FieldDesc, kMaxFields> fields{};
  std::size_t nfields = 0;
  // Enums: variants in order, each with its field count; discriminants are
  // consecutive from `discr_first`, of the stated kind.
  std::array<std::string_view, kMaxVariants> variants{};
  std::array<std::uint8_t, kMaxVariants> field_counts{};
  std::size_t nvariants = 0;
  DiscriminantKind discr = DiscriminantKind::U8;
  std::uint8_t discr_first = 0;
  // Prefix types.
  std::uint8_t first_suffix_field = 0;
  std::uint64_t accessible_fields = 0;
  const StoredExtraChecks* extra_checks = nullptr;
  // The stated size is not made of described fields (a pointer that the
  // framework describes by its pointee alone).
  bool unchecked_size = false;
  // The C++ record described: its size and alignment (0: a tag type with no
  // record of its own).
  std::size_t record_size = 0;
  std::size_t record_align = 0;
  // Where the type's identity comes from when the framework gives it another
  // type's. (A flag beside the pointer: g++ does not compare function
  // addresses in constant expressions under every sanitizer.)
  bool borrows_type_id = false;
  UTypeId (*type_id)() = nullptr;

  // The same description, of the C++ record R.
  template <class R>
  [[nodiscard]] constexpr TypeDesc of_record() const {
    TypeDesc d = *this;
    d.record_size = sizeof(R);
    d.record_align = alignof(R);
    return d;
  }
};

// Every described type specialises this with `static constexpr TypeDesc desc`.
template <class T>
struct Describe;

// ---- building descriptions -------------------------------------------------

inline constexpr char kStd[] = "std;1.0.0";
inline constexpr char kFramework[] = "abi_stable;0.11.3";
inline constexpr char kPrelude[] = "<prelude>";

template <class T>
[[nodiscard]] constexpr FieldDesc field(std::string_view name, Accessor acc = Accessor::Direct) {
  FieldDesc f;
  f.name = name;
  f.type = ref_of<T>();
  f.size = Describe<T>::desc.size;
  f.align = Describe<T>::desc.align;
  f.accessor = acc;
  return f;
}

[[nodiscard]] constexpr FieldDesc with_lifetimes(FieldDesc f, std::initializer_list<std::uint8_t> lts) {
  for (std::uint8_t l : lts) f.lifetimes[f.nlifetimes++] = l;
  return f;
}

template <class Ret, class... Params>
[[nodiscard]] constexpr FnDesc fn(std::string_view param_names, std::initializer_list<std::uint8_t> lts = {},
                                  bool is_unsafe = false) {
  FnDesc d;
  d.param_names = param_names;
  ((d.params[d.nparams++] = ref_of<Params>()), ...);
  if constexpr (!std::is_void_v<Ret>) d.ret = ref_of<Ret>();
  for (std::uint8_t l : lts) d.lifetimes[d.nlifetimes++] = l;
  d.is_unsafe = is_unsafe;
  return d;
}

// A field described together with a function: a function pointer, an
// optional one, or a marker of a function type.
[[nodiscard]] constexpr FieldDesc with_fn(FieldDesc d, FnDesc f) {
  d.has_fn = true;
  d.fn = f;
  return d;
}

// A function-pointer field (the field's type is the function-pointer marker).
template <class Marker>
[[nodiscard]] constexpr FieldDesc fn_field(std::string_view name, FnDesc f, Accessor acc) {
  FieldDesc d = with_fn(field<Marker>(name, acc), f);
  d.is_function = true;
  return d;
}

// A field of type Option<fn ...>: described with its function, not itself one.
template <class OptionMarker>
[[nodiscard]] constexpr FieldDesc optional_fn_field(std::string_view name, FnDesc f, Accessor acc) {
  return with_fn(field<OptionMarker>(name, acc), f);
}

// ---- the vocabulary of descriptions ---------------------------------------

inline constexpr char kLifetimeA[] = "'a";
inline constexpr std::uint8_t A = static_cast<std::uint8_t>(Lifetime::Anonymous);
inline constexpr std::uint8_t S = static_cast<std::uint8_t>(Lifetime::Static);
inline constexpr std::uint8_t P0 = static_cast<std::uint8_t>(Lifetime::Param0);

namespace desc {

inline constexpr ReprAttr kReprC{ReprKind::C, 0};
inline constexpr ReprAttr kTransparent{ReprKind::Transparent, 0};
inline constexpr ReprAttr kReprPrimitive{ReprKind::Primitive, 0};
inline constexpr ReprAttr kReprU8{ReprKind::Int, static_cast<std::uint8_t>(DiscriminantRepr::U8)};
inline constexpr ModReflMode kModule{ReflKind::Module, 0};
inline constexpr ModReflMode kOpaque{ReflKind::Opaque, 0};
inline constexpr ModReflMode kDeref{ReflKind::DelegateDeref, 0};

[[nodiscard]] constexpr TypeDesc type(std::string_view name, std::string_view pkg, std::string_view mod,
                                      std::uint32_t line, std::size_t size, std::size_t align, ReprAttr repr,
                                      DataKind kind, ModReflMode refl, bool nonzero = false) {
  TypeDesc d;
  d.name = name;
  d.package_version = pkg;
  d.mod_path = mod;
  d.line = line;
  d.size = size;
  d.align = align;
  d.repr = repr;
  d.kind = kind;
  d.refl = refl;
  d.is_nonzero = nonzero;
  d.lifetimes = "";
  return d;
}
constexpr void add(TypeDesc& d, FieldDesc f) { d.fields[d.nfields++] = f; }
constexpr void add_phantom(TypeDesc& d, FieldDesc f) { d.phantom[d.nphantom++] = f; }
constexpr void variant(TypeDesc& d, std::string_view name, std::uint8_t fields) {
  d.variants[d.nvariants] = name;
  d.field_counts[d.nvariants++] = fields;
}
constexpr void lifetime_a(TypeDesc& d) {
  d.lifetimes = kLifetimeA;
  d.lifetime_count = 1;
}
template <class... T>
constexpr void type_params(TypeDesc& d) {
  ((d.type_params[d.ntype_params++] = ref_of<T>()), ...);
}

}  // namespace desc

// ---- representation arithmetic ---------------------------------------------

[[nodiscard]] constexpr std::size_t align_up(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

struct Placement {
  std::array<std::size_t, kMaxFields> offsets{};
  std::size_t size = 0;
  std::size_t align = 1;
};

// repr(C) placement of fields [first, last), starting after `start` bytes.
[[nodiscard]] constexpr Placement place_c(const TypeDesc& d, std::size_t first, std::size_t last,
                                          std::size_t start = 0, std::size_t start_align = 1) {
  Placement p;
  std::size_t off = start;
  p.align = start_align;
  for (std::size_t i = first; i < last; ++i) {
    off = align_up(off, d.fields[i].align);
    p.offsets[i] = off;
    off += d.fields[i].size;
    p.align = std::max(p.align, d.fields[i].align);
  }
  p.size = align_up(off, p.align);
  return p;
}

// Size and alignment that the description's fields imply.
[[nodiscard]] constexpr Placement implied(const TypeDesc& d) {
  switch (d.kind) {
    case DataKind::Struct: {
      if (d.repr.kind == ReprKind::Transparent || d.repr.kind == ReprKind::C) return place_c(d, 0, d.nfields);
      return {};
    }
    case DataKind::PrefixType: {
      // The prefix: the fields up to the first suffix field, aligned as the whole table.
      Placement whole = place_c(d, 0, d.nfields);
      Placement prefix = place_c(d, 0, d.first_suffix_field);
      prefix.align = whole.align;
      prefix.size = align_up(prefix.size, whole.align);
      prefix.offsets = whole.offsets;
      return prefix;
    }
    case DataKind::Enum: {
      Placement p;
      std::size_t first = 0;
      std::size_t tag = 1;
      if (d.repr.kind == ReprKind::C) tag = 4;  // a C int
      if (d.repr.kind == ReprKind::OptionNonZero) return {{}, 8, 8};
      std::size_t payload_align = 1, payload_size = 0;
      for (std::size_t v = 0; v < d.nvariants; ++v) {
        std::size_t last = first + d.field_counts[v];
        if (d.repr.kind == ReprKind::Int) {
          Placement vp = place_c(d, first, last, tag, tag);
          for (std::size_t i = first; i < last; ++i) p.offsets[i] = vp.offsets[i];
          p.size = std::max(p.size, vp.size);
          p.align = std::max(p.align, vp.align);
        } else {
          Placement vp = place_c(d, first, last);
          for (std::size_t i = first; i < last; ++i) p.offsets[i] = vp.offsets[i];
          payload_size = std::max(payload_size, vp.size);
          payload_align = std::max(payload_align, vp.align);
        }
        first = last;
      }
      if (d.repr.kind == ReprKind::C) {
        std::size_t at = align_up(tag, payload_align);
        for (std::size_t i = 0; i < first; ++i) p.offsets[i] += at;
        p.align = std::max(tag, payload_align);
        p.size = align_up(at + payload_size, p.align);
      }
      return p;
    }
    default:
      return {{}, d.size, d.align};
  }
}

[[nodiscard]] constexpr bool consistent(const TypeDesc& d) {
  if (d.unchecked_size || d.kind == DataKind::Primitive || d.kind == DataKind::Opaque) return true;
  Placement p = implied(d);
  return p.size == d.size && p.align == d.align;
}

// Holds the description to its C++ record: the record's size (a prefix
// table's whole size) and alignment, and every member's offset and size.
[[nodiscard]] constexpr bool matches_record(const TypeDesc& d) {
  if (d.record_size == 0) return true;
  const std::size_t size = d.kind == DataKind::PrefixType ? place_c(d, 0, d.nfields).size : d.size;
  if (d.record_size != size || d.record_align != d.align) return false;
  const Placement p = implied(d);
  for (std::size_t i = 0; i < d.nfields; ++i) {
    const Member& m = d.fields[i].member;
    // Zero-sized fields take no room in the framework's layout; a C++
    // stand-in member (one byte at least) has nothing to be held to.
    if (m.offset == kNoOffset || d.fields[i].size == 0) continue;
    if (m.offset != p.offsets[i] || m.size != d.fields[i].size) return false;
  }
  return true;
}

// ---- generation ------------------------------------------------------------

struct Plan {
  std::array<char, 1024> strings{};
  std::size_t nstrings = 0;
  std::array<TypeRef, 64> layouts{};
  std::size_t nlayouts = 0;
  std::array<std::uint64_t, kMaxPhantom> phantom{};
  std::array<std::uint64_t, kMaxFields> fields{};
  std::array<CompTLFunction, kMaxFields> fns{};
  std::size_t nfns = 0;
  std::array<std::uint32_t, kMaxFields> fn_ranges{};
  std::uint32_t variant_names = 0;
  std::uint32_t generic_types = 0;

  constexpr std::uint32_t add_string(std::string_view s) {
    auto at = static_cast<std::uint32_t>(nstrings);
    for (char c : s) strings[nstrings++] = c;
    return at;
  }
  constexpr std::uint16_t add_layout(const TypeRef& f) {
    for (std::size_t i = 0; i < nlayouts; ++i)
      if (layouts[i] == f) return static_cast<std::uint16_t>(i);
    layouts[nlayouts] = f;
    return static_cast<std::uint16_t>(nlayouts++);
  }
  constexpr std::uint64_t add_field(const FieldDesc& f) {
    std::uint32_t at = add_string(f.name);
    add_string(";");
    std::uint16_t index = add_layout(f.type);
    return comp_field(at, static_cast<std::uint32_t>(f.name.size()),
                      lifetime_array(f.lifetimes.data(), f.nlifetimes), f.accessor, index, f.is_function);
  }
};

[[nodiscard]] constexpr Plan make_plan(const TypeDesc& d) {
  Plan p;
  // The generic type parameters come first: they are one range of the table.
  for (std::size_t i = 0; i < d.ntype_params; ++i) p.layouts[p.nlayouts++] = d.type_params[i];
  p.generic_types = start_len(0, static_cast<std::uint32_t>(d.ntype_params));
  for (std::size_t i = 0; i < d.nphantom; ++i) p.phantom[i] = p.add_field(d.phantom[i]);
  for (std::size_t i = 0; i < d.nfields; ++i) {
    const FieldDesc& f = d.fields[i];
    p.fields[i] = p.add_field(f);
    if (!f.has_fn) {
      p.fn_ranges[i] = start_len(static_cast<std::uint32_t>(p.nfns), 0);
      continue;
    }
    CompTLFunction c{};
    c.name = start_len(sl_start(static_cast<std::uint32_t>(p.fields[i] & 0xFFFF)), static_cast<std::uint32_t>(f.name.size()));
    c.contiguous_strings_offset = static_cast<std::uint16_t>(p.add_string(f.fn.param_names));
    c.bound_lifetimes_len = 0;
    c.param_names_len = static_cast<std::uint16_t>(f.fn.param_names.size());
    std::uint16_t idx[5] = {0, 0, 0, 0, 0};
    for (std::size_t k = 0; k < f.fn.nparams; ++k) idx[k] = p.add_layout(f.fn.params[k]);
    c.param_type_layouts = type_layout_range(f.fn.nparams, idx);
    c.return_type_layout = f.fn.ret.empty() ? std::uint16_t{0xFFFF} : p.add_layout(f.fn.ret);
    c.paramret_lifetime_range = lifetime_array(f.fn.lifetimes.data(), f.fn.nlifetimes);
    c.fn_qualifs = f.fn.is_unsafe ? 1 : 0;
    p.fn_ranges[i] = start_len(static_cast<std::uint32_t>(p.nfns), 1);
    p.fns[p.nfns++] = c;
  }
  std::uint32_t vstart = static_cast<std::uint32_t>(p.nstrings);
  for (std::size_t v = 0; v < d.nvariants; ++v) {
    p.add_string(d.variants[v]);
    p.add_string(";");
  }
  p.variant_names = start_len(vstart, static_cast<std::uint32_t>(p.nstrings) - vstart);
  return p;
}

template <class E, std::size_t N, std::size_t M>
[[nodiscard]] constexpr std::array<E, (N > 0 ? N : 1)> first_n(const std::array<E, M>& from) {
  std::array<E, (N > 0 ? N : 1)> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = from[i];
  return out;
}

template <std::size_t N, std::size_t M>
[[nodiscard]] constexpr std::array<LayoutFn, (N > 0 ? N : 1)> layout_fns(const std::array<TypeRef, M>& from) {
  std::array<LayoutFn, (N > 0 ? N : 1)> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = from[i].fn;
  return out;
}

template <class E, std::size_t N>
[[nodiscard]] constexpr std::array<E, (N > 0 ? N : 1)> counting(std::size_t first) {
  std::array<E, (N > 0 ? N : 1)> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<E>(first + i);
  return out;
}

[[nodiscard]] constexpr std::uint8_t log2(std::size_t v) {
  std::uint8_t n = 0;
  while ((std::size_t{1} << n) < v) ++n;
  return n;
}

// Empty tables still need a real, aligned address.
inline constexpr ConstGeneric kNoConstants[1]{};
inline constexpr std::uint8_t kNoLifetimeIndices[1]{};

template <class T>
struct Gen {
  static constexpr const TypeDesc& d = Describe<T>::desc;
  static_assert(consistent(d), "the described size or alignment does not follow from the fields");
  static_assert(matches_record(d), "the description and its C++ record disagree (size, alignment or an offset)");
  static_assert(d.nfields <= kMaxFields && d.nphantom <= kMaxPhantom && d.nvariants <= kMaxVariants);
  // The framework reads these two as C strings: their text must end in a NUL.
  static_assert(d.mod_path.data()[d.mod_path.size()] == '\0' && d.lifetimes.data()[d.lifetimes.size()] == '\0',
                "the module path and the lifetime names must be NUL-terminated texts");

  static constexpr Plan plan = make_plan(d);
  static constexpr auto strings = first_n<char, plan.nstrings>(plan.strings);
  static constexpr auto layouts = layout_fns<plan.nlayouts>(plan.layouts);
  static constexpr auto phantom = first_n<std::uint64_t, d.nphantom>(plan.phantom);
  static constexpr auto fields = first_n<std::uint64_t, d.nfields>(plan.fields);
  static constexpr auto fns = first_n<CompTLFunction, plan.nfns>(plan.fns);
  static constexpr auto fn_ranges = first_n<std::uint32_t, d.nfields>(plan.fn_ranges);
  static constexpr auto field_counts = first_n<std::uint8_t, d.nvariants>(d.field_counts);
  static constexpr auto discr_u8 = counting<std::uint8_t, d.nvariants>(d.discr_first);
  static constexpr auto discr_isize = counting<std::int64_t, d.nvariants>(d.discr_first);

  static constexpr TLFunctions functions{fns.data(), fn_ranges.data(), static_cast<std::uint16_t>(plan.nfns),
                                         static_cast<std::uint16_t>(d.nfields)};
  static constexpr CompTLFields comp_fields{fields.data(), plan.nfns > 0 ? &functions : nullptr,
                                            static_cast<std::uint16_t>(d.nfields)};

  static constexpr MonoTLData mono_data() {
    MonoTLData m{};
    m.tag = d.kind;
    switch (d.kind) {
      case DataKind::Primitive: m.primitive = d.primitive; break;
      case DataKind::Struct:
      case DataKind::Union: m.u.fields = comp_fields; break;
      case DataKind::Enum:
        m.u.enum_ = MonoTLEnum{field_counts.data(), static_cast<std::uint16_t>(d.nvariants), plan.variant_names,
                               comp_fields};
        break;
      case DataKind::PrefixType:
        m.u.prefix = MonoTLPrefixType{d.first_suffix_field, 0, comp_fields};
        break;
      case DataKind::Opaque: break;
    }
    return m;
  }
  static constexpr GenericTLData generic_data() {
    GenericTLData g{};
    g.tag = static_cast<std::uint32_t>(d.kind);
    if (d.kind == DataKind::Enum) {
      const void* discr = d.discr == DiscriminantKind::U8 ? static_cast<const void*>(discr_u8.data())
                                                   : static_cast<const void*>(discr_isize.data());
      g.u.enum_ = GenericTLEnum{nullptr, {d.discr, static_cast<std::uint16_t>(d.nvariants), discr}};
    } else if (d.kind == DataKind::PrefixType) {
      g.u.accessible_fields = d.accessible_fields;
    }
    return g;
  }

  static constexpr MonoTypeLayout mono{
      MonoSharedVars{strings.data(), kNoLifetimeIndices, static_cast<std::uint16_t>(plan.nstrings), 0},
      d.name.data(),
      ItemInfo{RStr{d.package_version.data(), d.package_version.size()}, d.line,
               d.mod_path.data()},  // NOLINT(bugprone-suspicious-stringview-data-usage): NUL-ended, asserted above
      mono_data(),
      CompGenericParams{d.lifetimes.data(),  // NOLINT(bugprone-suspicious-stringview-data-usage): as mod_path
                        plan.generic_types, start_len(0, static_cast<std::uint32_t>(d.nconsts)),
                        d.lifetime_count},
      phantom.data(),
      static_cast<std::uint8_t>(d.nphantom),
      d.repr,
      d.refl,
      static_cast<std::uint16_t>(d.name.size())};
  static constexpr SharedVars shared{&mono.shared_vars, layouts.data(), d.nconsts > 0 ? d.consts : kNoConstants,
                                     static_cast<std::uint16_t>(plan.nlayouts), static_cast<std::uint16_t>(d.nconsts)};
  static constexpr TypeLayout layout{&shared,  &mono,          d.is_nonzero,   log2(d.align),
                                     d.size,   nullptr,        generic_data(), d.extra_checks,
                                     d.borrows_type_id ? d.type_id : &type_id_of<T>};
};

template <class T>
const TypeLayout* layout_of() noexcept {
  return &Gen<T>::layout;
}

// Distinct for every described type of this binary: the binary's identity and
// the address of the type's layout, least significant byte first. A host's
// layout checker asks for the identity of each layout it reaches, once for
// every field, parameter and return type on its way, before it looks at
// anything else (it tells pairs already compared apart by identity): this is
// kept to an address and a few stores.
template <class T>
UTypeId type_id_of() noexcept {
  UTypeId id = own_type_id();
  std::uintptr_t addr = reinterpret_cast<std::uintptr_t>(&Gen<T>::layout);
  if constexpr (std::endian::native == std::endian::big) addr = std::byteswap(addr);
  static_assert(sizeof addr <= sizeof id.type_id_array);
  std::memcpy(id.type_id_array, &addr, sizeof addr);
  return id;
}

// A prefix table's metadata target for the described table type T.
template <class T>
inline constexpr PTStructLayout pt_layout_of{RStr{"<>", 2}, &Gen<T>::mono};

}  // namespace lmfs::abi::tl
