// The layout descriptions of every type reachable from the root module, as a
// host of the framework declares the interface (see layout_gen.h for how the
// records are generated from them). Types that have no C++ record of their
// own (references, raw pointers, markers, the framework's std wrappers) are
// named by the tag types in `ty`.
#pragma once

#include <cstddef>

#include "lmfs_storage_driver/driver.h"
#include "lmfs_storage_driver/error.h"
#include "lmfs_storage_driver/layout_gen.h"
#include "lmfs_storage_driver/media.h"
#include "lmfs_storage_driver/plugin.h"
#include "lmfs_storage_driver/snapshot.h"

namespace lmfs::abi::tl {

namespace ty {
struct U8;
struct U16;
struct U64;
struct Usize;
struct Bool;
struct AtomicUsize;
struct AFn;        // a safe extern "C" function pointer
struct AUnsafeFn;  // an unsafe one: the framework describes it as a type of its own
struct ErasedObject;
struct UnsafeIgnoredType;
struct StorageDriverInterface;
struct RequiredTraits;
template <class T> struct ConstPtr;
template <class T> struct MutPtr;
template <class T> struct Ref;
template <class T> struct MutRef;
template <class T> struct NonNull;
template <class T> struct ManuallyDrop;
template <class T> struct Option;
template <class T> struct RRef;
template <class T> struct RMut;
template <class T, std::size_t N> struct Array;
template <class... T> struct PhantomData;
}  // namespace ty

inline constexpr char kDriverPkg[] = "lmfs-storage-driver;0.0.0-next";
inline constexpr char kSecPkg[] = "lmfs-sec;0.0.0-next";
inline constexpr char kTraitMod[] = "lmfs_storage_driver::driver::StorageDriver_trait";
inline constexpr char kMediaMod[] = "lmfs_storage_driver::media";
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

// An enumeration whose variants carry no fields.
constexpr TypeDesc unit_enum(std::string_view name, std::string_view mod, std::uint32_t line, std::size_t size,
                             ReprAttr repr, std::initializer_list<std::string_view> variants) {
  TypeDesc d = type(name, kFramework, mod, line, size, size, repr, DataKind::Enum, kOpaque);
  if (repr.kind == ReprKind::C) d.discr = DiscrKind::Isize;
  for (std::string_view v : variants) variant(d, v, 0);
  return d;
}

// std primitives and their composites.
constexpr TypeDesc primitive(std::string_view name, Primitive p, std::size_t size) {
  TypeDesc d = type(name, kStd, kPrelude, 0, size, size, kReprPrimitive, DataKind::Primitive, kModule);
  d.primitive = p;
  return d;
}
template <class T>
constexpr TypeDesc pointer(std::string_view name, Primitive p, bool reference) {
  TypeDesc d = type(name, kStd, kPrelude, 0, 8, 8, kReprPrimitive, DataKind::Primitive,
                    reference ? kDeref : kModule, reference);
  d.primitive = p;
  if (reference) lifetime_a(d);
  type_params<T>(d);
  add_phantom(d, field<T>("0"));
  return d;
}

}  // namespace desc

// ---- primitives ---------------------------------------------------------------

template <> struct Describe<ty::U8> { static constexpr TypeDesc desc = desc::primitive("u8", Primitive::U8, 1); };
template <> struct Describe<ty::U16> { static constexpr TypeDesc desc = desc::primitive("u16", Primitive::U16, 2); };
template <> struct Describe<ty::U64> { static constexpr TypeDesc desc = desc::primitive("u64", Primitive::U64, 8); };
template <> struct Describe<ty::Usize> { static constexpr TypeDesc desc = desc::primitive("usize", Primitive::Usize, 8); };
template <> struct Describe<ty::Bool> { static constexpr TypeDesc desc = desc::primitive("bool", Primitive::Bool, 1); };
template <> struct Describe<Unit> {
  static constexpr TypeDesc desc =
      desc::type("()", kStd, kPrelude, 0, 0, 1, desc::kReprC, DataKind::Struct, desc::kModule);
};

template <class T> struct Describe<ty::ConstPtr<T>> {
  static constexpr TypeDesc desc = desc::pointer<T>("*const", Primitive::ConstPtr, false);
};
template <class T> struct Describe<ty::MutPtr<T>> {
  static constexpr TypeDesc desc = desc::pointer<T>("*mut", Primitive::MutPtr, false);
};
template <class T> struct Describe<ty::Ref<T>> {
  static constexpr TypeDesc desc = desc::pointer<T>("&", Primitive::SharedRef, true);
};
template <class T> struct Describe<ty::MutRef<T>> {
  static constexpr TypeDesc desc = desc::pointer<T>("&mut", Primitive::MutRef, true);
};

// [T; N]: the length is a const parameter, a usize with its own comparison
// table.
namespace internal {
bool usize_eq(const void* a, const void* b);
RResult<Unit, Unit> usize_debug(const void* value, std::uint8_t mode, RString* out);
template <std::size_t N>
inline constexpr std::size_t const_value = N;
extern const PTStructLayout const_generic_vtable_layout;
template <std::size_t N>
inline constexpr ConstGenericVTable usize_const_vtable{{0x7, &const_generic_vtable_layout},
                                                       {&Gen<ty::Usize>::layout, &usize_eq, &usize_debug}};
template <std::size_t N>
inline constexpr ConstGeneric usize_const{&const_value<N>, &usize_const_vtable<N>};
}  // namespace internal

template <class T, std::size_t N> struct Describe<ty::Array<T, N>> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("array", kStd, kPrelude, 0, Describe<T>::desc.size * N, Describe<T>::desc.align,
                            desc::kReprPrimitive, DataKind::Primitive, desc::kModule);
    d.primitive = Primitive::Array;
    desc::type_params<T>(d);
    d.consts = &internal::usize_const<N>;
    d.nconsts = 1;
    desc::add_phantom(d, field<T>("element"));
    return d;
  }();
};

template <class T> struct Describe<ty::NonNull<T>> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("NonNull", kStd, "std::ptr", 0, 8, 8, desc::kTransparent, DataKind::Struct, desc::kModule, true);
    desc::type_params<T>(d);
    desc::add(d, field<ty::ConstPtr<T>>("0"));
    return d;
  }();
};

template <class... T> struct Describe<ty::PhantomData<T...>> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("PhantomData", kStd, "std::marker", 0, 0, 1, desc::kReprC, DataKind::Struct, desc::kModule);
    desc::type_params<T...>(d);
    constexpr std::string_view names[] = {"0", "1", "2", "3"};
    std::size_t i = 0;
    ((desc::add_phantom(d, field<T>(names[i++]))), ...);
    return d;
  }();
};

template <class T> struct Describe<ty::ManuallyDrop<T>> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("ManuallyDrop", kStd, "std::mem", 0, Describe<T>::desc.size, Describe<T>::desc.align,
                            desc::kTransparent, DataKind::Struct, desc::kModule);
    desc::type_params<T>(d);
    desc::add(d, field<T>("0"));
    return d;
  }();
};

template <class T> struct Describe<ty::Option<T>> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("Option", kStd, "std::option", 0, 8, 8, ReprAttr{ReprKind::OptionNonZero, 0},
                            DataKind::Enum, desc::kModule);
    desc::type_params<T>(d);
    desc::variant(d, "Some", 1);
    desc::variant(d, "None", 0);
    desc::add(d, field<T>("0"));
    return d;
  }();
};

template <> struct Describe<ty::AtomicUsize> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("AtomicUsize", kStd, "std::sync::atomic", 0, 8, 8, desc::kTransparent, DataKind::Struct,
                            desc::kModule);
    desc::add(d, field<ty::Usize>("0"));
    return d;
  }();
};

// ---- the framework's markers and small types ------------------------------------

template <> struct Describe<ty::AFn> {
  static constexpr TypeDesc desc = desc::type("AFunctionPointer", kFramework, "abi_stable::abi_stability::stable_abi_trait",
                                              1372, 8, 8, desc::kReprC, DataKind::Opaque, desc::kOpaque, true);
};
template <> struct Describe<ty::AUnsafeFn> {
  static constexpr TypeDesc desc = desc::type("AFunctionPointer", kFramework, "abi_stable::abi_stability::stable_abi_trait",
                                              1384, 8, 8, desc::kReprC, DataKind::Opaque, desc::kOpaque, true);
};
template <> struct Describe<ty::UnsafeIgnoredType> {
  static constexpr TypeDesc desc =
      desc::type("UnsafeIgnoredType", kFramework, "abi_stable::marker_type", 174, 0, 1, desc::kReprC, DataKind::Struct,
                 desc::kModule);
};
template <> struct Describe<ty::ErasedObject> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("ErasedObject", kFramework, "abi_stable::marker_type", 91, 0, 1, desc::kReprC,
                            DataKind::Struct, desc::kOpaque);
    desc::add(d, field<ty::PhantomData<Unit>>("_marker", Accessor::Opaque));
    return d;
  }();
};

namespace desc {
// RRef / RMut: a non-null pointer to T borrowed through the reference `Borrow`.
template <class T, class Borrow>
constexpr TypeDesc erased_pointer(std::string_view name, std::string_view mod, std::uint32_t line) {
  TypeDesc d = type(name, kFramework, mod, line, 8, 8, kTransparent, DataKind::Struct, kOpaque, true);
  lifetime_a(d);
  add(d, field<ty::NonNull<T>>("ref_", Accessor::Opaque));
  add(d, with_lifetimes(field<ty::PhantomData<Borrow>>("_marker", Accessor::Opaque), {P0}));
  return d;
}
}  // namespace desc

template <class T> struct Describe<ty::RRef<T>> {
  static constexpr TypeDesc desc = desc::erased_pointer<T, ty::Ref<T>>("RRef", "abi_stable::sabi_types::rref", 107);
};
template <class T> struct Describe<ty::RMut<T>> {
  static constexpr TypeDesc desc = desc::erased_pointer<T, ty::MutRef<T>>("RMut", "abi_stable::sabi_types::rmut", 112);
};

template <> struct Describe<Exactness> {
  static constexpr TypeDesc desc =
      desc::unit_enum("Exactness", "abi_stable::std_types::vec", 1448, 4, desc::kReprC, {"Exact", "Above"});
};
template <> struct Describe<CallReferentDrop> {
  static constexpr TypeDesc desc =
      desc::unit_enum("CallReferentDrop", "abi_stable::pointer_trait", 25, 1, desc::kReprU8, {"Yes", "No"});
};
template <> struct Describe<Deallocate> {
  static constexpr TypeDesc desc =
      desc::unit_enum("Deallocate", "abi_stable::pointer_trait", 35, 1, desc::kReprU8, {"No", "Yes"});
};
template <> struct Describe<FormattingMode> {
  static constexpr TypeDesc desc =
      desc::unit_enum("FormattingMode", "abi_stable::erased_types", 67, 1, desc::kReprU8, {"Default_", "Alternate"});
};

template <> struct Describe<UTypeId> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("UTypeId", kFramework, "abi_stable::std_types::utypeid", 75, 24, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque);
    desc::add(d, field<ty::ConstPtr<ty::AtomicUsize>>("executable_identity", Accessor::Opaque));
    desc::add(d, field<ty::Array<ty::U8, 16>>("type_id_array", Accessor::Opaque));
    return d;
  }();
};
template <> struct Describe<MaybeCmpUTypeId> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("MaybeCmp", kFramework, "abi_stable::sabi_types::maybe_cmp", 22, 32, 8, desc::kReprU8,
                            DataKind::Enum, desc::kModule);
    desc::variant(d, "Just", 1);
    desc::variant(d, "Nothing", 0);
    desc::add(d, field<UTypeId>("field_0"));
    return d;
  }();
};

// ---- prefix references and tables ----------------------------------------------

template <class F> struct Describe<PrefixRef<F>> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("PrefixRef", kFramework, "abi_stable::prefix_type::prefix_ref", 392, 8, 8,
                            desc::kTransparent, DataKind::Struct, desc::kDeref, true);
    d.unchecked_size = true;  // the pointer itself is not a described field
    desc::lifetime_a(d);
    desc::type_params<F>(d);
    desc::add_phantom(d, field<F>("0"));
    return d;
  }();
};

template <> struct Describe<VecVTableFields> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("VecVTable", kFramework, "abi_stable::std_types::vec", 1491, 32, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kOpaque);
    d.first_suffix_field = 4;
    d.accessible_fields = 0xF;
    desc::add(d, fn_field<ty::AFn>("type_id", fn<UTypeId>(""), Accessor::Opaque));
    desc::add(d, fn_field<ty::AUnsafeFn>("destructor", fn<void, ty::RMut<Unit>>(",", {A}, true), Accessor::Opaque));
    desc::add(d, fn_field<ty::AUnsafeFn>("grow_capacity_to",
                                         fn<void, ty::RMut<Unit>, ty::Usize, Exactness>(",,,", {A}, true),
                                         Accessor::Opaque));
    desc::add(d, fn_field<ty::AUnsafeFn>("shrink_to_fit", fn<void, ty::RMut<Unit>>(",", {A}, true), Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<BoxVTableFields> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("BoxVtable", kFramework, "abi_stable::std_types::boxed", 611, 16, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kOpaque);
    d.first_suffix_field = 2;
    d.accessible_fields = 0x7;
    desc::add(d, fn_field<ty::AFn>("type_id", fn<UTypeId>(""), Accessor::Opaque));
    desc::add(d, fn_field<ty::AUnsafeFn>("destructor",
                                         fn<void, ty::MutPtr<Unit>, CallReferentDrop, Deallocate>(",,,", {}, true),
                                         Accessor::Opaque));
    desc::add(d, field<ty::PhantomData<Unit>>("_marker", Accessor::Opaque));
    return d;
  }();
};

// ---- strings, vectors, boxes ------------------------------------------------------

namespace internal {
template <class T> struct Element { using type = T; };
template <> struct Element<std::uint8_t> { using type = ty::U8; };
}  // namespace internal

template <class T> struct Describe<RSlice<T>> {
  using E = typename internal::Element<T>::type;
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RSlice", kFramework, "abi_stable::std_types::slices::private", 81, 16, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque);
    desc::lifetime_a(d);
    desc::add(d, field<ty::ConstPtr<E>>("data", Accessor::Opaque));
    desc::add(d, field<ty::Usize>("length", Accessor::Opaque));
    desc::add(d, with_lifetimes(field<ty::PhantomData<ty::Ref<E>>>("_marker", Accessor::Opaque), {P0}));
    return d;
  }();
};

template <class T> struct Describe<RVec<T>> {
  using E = typename internal::Element<T>::type;
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RVec", kFramework, "abi_stable::std_types::vec::private", 73, 32, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque);
    desc::add(d, field<ty::NonNull<E>>("buffer", Accessor::Opaque));
    desc::add(d, field<ty::Usize>("length", Accessor::Opaque));
    desc::add(d, field<ty::Usize>("capacity", Accessor::Opaque));
    desc::add(d, field<PrefixRef<VecVTableFields>>("vtable", Accessor::Opaque));
    desc::add(d, field<ty::PhantomData<E>>("_marker", Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<RStr> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RStr", kFramework, "abi_stable::std_types::str", 37, 16, 8, desc::kReprC, DataKind::Struct,
                            desc::kOpaque);
    desc::lifetime_a(d);
    desc::add(d, with_lifetimes(field<RSlice<std::uint8_t>>("inner", Accessor::Opaque), {P0}));
    return d;
  }();
};

template <> struct Describe<RString> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RString", kFramework, "abi_stable::std_types::string", 51, 32, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque);
    desc::add(d, field<RVec<std::uint8_t>>("inner", Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<RBox> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RBox", kFramework, "abi_stable::std_types::boxed::private", 75, 16, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque);
    desc::add(d, field<ty::NonNull<Unit>>("data", Accessor::Opaque));
    desc::add(d, field<PrefixRef<BoxVTableFields>>("vtable", Accessor::Opaque));
    desc::add(d, field<ty::PhantomData<Unit>>("_marker", Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<RawValueBox> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RawValueBox", kFramework, "abi_stable::external_types::serde_json", 307, 32, 8,
                            desc::kTransparent, DataKind::Struct, desc::kOpaque);
    desc::add(d, field<RString>("string", Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<RCowStr> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RCow", kFramework, "abi_stable::std_types::cow", 117, 40, 8, desc::kReprC, DataKind::Enum,
                            desc::kModule);
    d.discr = DiscrKind::Isize;
    desc::variant(d, "Borrowed", 1);
    desc::variant(d, "Owned", 1);
    desc::add(d, field<RStr>("field_0"));
    desc::add(d, field<RString>("field_0"));
    return d;
  }();
};

// ---- options and results --------------------------------------------------------

namespace desc {
template <class T>
constexpr TypeDesc roption() {
  TypeDesc d = type("ROption", kFramework, "abi_stable::std_types::option", 15, 0, 1, kReprU8, DataKind::Enum, kModule);
  variant(d, "RSome", 1);
  variant(d, "RNone", 0);
  add(d, field<T>("field_0"));
  Placement p = implied(d);
  d.size = p.size;
  d.align = p.align;
  return d;
}
template <class T, class E>
constexpr TypeDesc rresult() {
  TypeDesc d = type("RResult", kFramework, "abi_stable::std_types::result", 10, 0, 1, kReprU8, DataKind::Enum, kModule);
  variant(d, "ROk", 1);
  variant(d, "RErr", 1);
  add(d, field<T>("field_0"));
  add(d, field<E>("field_0"));
  Placement p = implied(d);
  d.size = p.size;
  d.align = p.align;
  return d;
}
}  // namespace desc

template <class T> struct Describe<ROption<T>> { static constexpr TypeDesc desc = desc::roption<T>(); };
template <class T, class E> struct Describe<RResult<T, E>> { static constexpr TypeDesc desc = desc::rresult<T, E>(); };
template <> struct Describe<UnitUnitResult> { static constexpr TypeDesc desc = desc::rresult<Unit, Unit>(); };

// ---- the interface's own records ----------------------------------------------------

template <> struct Describe<SecurityError> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("SecurityError", kSecPkg, "lmfs_sec", 4, 40, 8, desc::kReprU8, DataKind::Enum, desc::kModule);
    desc::variant(d, "UnsafePath", 1);
    desc::add(d, field<RString>("field_0"));
    return d;
  }();
};

template <> struct Describe<StorageDriverError> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageDriverError", kDriverPkg, "lmfs_storage_driver::error", 4, 72, 8, desc::kReprU8,
                            DataKind::Enum, desc::kModule);
    for (std::string_view v : {"NotSupported", "InvalidConfig", "UnknownParameter"}) {
      desc::variant(d, v, 1);
      desc::add(d, field<RString>("field_0"));
    }
    desc::variant(d, "InvalidParameterValue", 2);
    desc::add(d, field<RString>("field_0"));
    desc::add(d, field<RString>("field_1"));
    desc::variant(d, "Unimplemented", 1);
    desc::add(d, field<RString>("field_0"));
    desc::variant(d, "InvalidMediaType", 1);
    desc::add(d, with_lifetimes(field<RCowStr>("field_0"), {S}));
    desc::variant(d, "SecurityError", 1);
    desc::add(d, field<SecurityError>("field_0"));
    desc::variant(d, "NotApplicable", 1);
    desc::add(d, with_lifetimes(field<RCowStr>("field_0"), {S}));
    desc::variant(d, "Other", 1);
    desc::add(d, field<RString>("field_0"));
    return d;
  }();
};

template <> struct Describe<ROsString> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("ROsString", kDriverPkg, kMediaMod, 21, 32, 8, desc::kReprC, DataKind::Struct, desc::kModule);
    desc::add(d, field<RString>("inner"));
    return d;
  }();
};
template <> struct Describe<RPathBuf> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RPathBuf", kDriverPkg, kMediaMod, 24, 32, 8, desc::kReprC, DataKind::Struct, desc::kModule);
    desc::add(d, field<RVec<std::uint8_t>>("inner"));
    return d;
  }();
};
template <> struct Describe<RPath> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RPath", kDriverPkg, kMediaMod, 27, 16, 8, desc::kReprC, DataKind::Struct, desc::kModule);
    desc::lifetime_a(d);
    desc::add(d, with_lifetimes(field<RSlice<std::uint8_t>>("inner"), {P0}));
    return d;
  }();
};
template <> struct Describe<StorageMedium> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageMedium", kDriverPkg, kMediaMod, 30, 40, 8, desc::kReprU8, DataKind::Enum,
                            desc::kModule);
    desc::variant(d, "Block", 1);
    desc::variant(d, "Path", 1);
    desc::variant(d, "URN", 1);
    desc::variant(d, "None", 0);
    desc::add(d, field<ROsString>("field_0"));
    desc::add(d, field<RPathBuf>("field_0"));
    desc::add(d, field<RString>("field_0"));
    return d;
  }();
};
template <> struct Describe<StorageMedia> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageMedia", kDriverPkg, kMediaMod, 38, 32, 8, desc::kReprC, DataKind::Struct, desc::kModule);
    desc::add(d, field<RVec<StorageMedium>>("inner"));
    return d;
  }();
};
template <> struct Describe<RSnapshot> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RSnapshot", kDriverPkg, "lmfs_storage_driver::snapshot", 45, 80, 8, desc::kReprC,
                            DataKind::Struct, desc::kModule);
    desc::add(d, field<RString>("id"));
    desc::add(d, field<ty::U64>("timestamp"));
    desc::add(d, field<ROption<RVec<std::uint8_t>>>("metadata"));
    return d;
  }();
};

// ---- the trait object -------------------------------------------------------------

template <> struct Describe<ty::StorageDriverInterface> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageDriver_Interface", kDriverPkg, kTraitMod, 58, 0, 1, desc::kReprC, DataKind::Struct,
                            desc::kOpaque);
    desc::add(d, field<ty::PhantomData<Unit>>("field_0", Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<RObjectVtableFields> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RObjectVtable", kFramework, "abi_stable::sabi_trait::vtable", 99, 40, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kModule);
    d.first_suffix_field = 6;
    d.accessible_fields = 0x3F;
    using Fmt = FnDesc;
    constexpr Fmt fmt = fn<UnitUnitResult, ty::RRef<ty::ErasedObject>, FormattingMode, ty::MutRef<RString>>(",,,", {A, A}, true);
    desc::add(d, field<ty::PhantomData<Unit, RBox, ty::StorageDriverInterface>>("_sabi_tys", Accessor::Method));
    desc::add(d, fn_field<ty::AFn>("_sabi_type_id", fn<MaybeCmpUTypeId>(""), Accessor::Method));
    desc::add(d, fn_field<ty::AUnsafeFn>("_sabi_drop", fn<void, ty::RMut<RBox>>("this,", {A}, true), Accessor::Method));
    desc::add(d, optional_fn_field<ty::Option<ty::AUnsafeFn>>("_sabi_clone", fn<RBox, ty::RRef<RBox>>("this,", {A}, true),
                                                               Accessor::Method));
    desc::add(d, optional_fn_field<ty::Option<ty::AUnsafeFn>>("_sabi_debug", fmt, Accessor::Method));
    desc::add(d, optional_fn_field<ty::Option<ty::AUnsafeFn>>("_sabi_display", fmt, Accessor::Method));
    return d;
  }();
};

template <> struct Describe<VTableFields> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("VTable", kDriverPkg, kTraitMod, 58, 0, 8, desc::kReprC, DataKind::PrefixType, desc::kModule);
    d.first_suffix_field = 0;
    d.accessible_fields = 0xFFFF;
    using Self = ty::RRef<Unit>;
    using SelfMut = ty::RMut<Unit>;
    using Path = ty::Ref<RPath>;
    using Media = ty::Ref<StorageMedia>;
    constexpr auto M = Accessor::Method;
    desc::add(d, field<ty::PhantomData<Unit, RBox>>("_sabi_tys", Accessor::Opaque));
    desc::add(d, field<PrefixRef<RObjectVtableFields>>("_sabi_vtable", Accessor::Opaque));
    desc::add(d, fn_field<ty::AUnsafeFn>("init", fn<UnitResult, SelfMut>("_self,", {A}, true), M));
    desc::add(d, fn_field<ty::AUnsafeFn>("done", fn<UnitResult, SelfMut>("_self,", {A}, true), M));
    desc::add(d, fn_field<ty::AUnsafeFn>("root", fn<PathBufOption, Self>("_self,", {A}, true), M));
    desc::add(d, fn_field<ty::AUnsafeFn>("at_root", fn<PathBufResult, Self, Path>("_self,param_0,", {A, A, A}, true), M));
    desc::add(d, fn_field<ty::AUnsafeFn>("stores", fn<MediaResult, Self>("_self,", {A}, true), M));
    desc::add(d, fn_field<ty::AUnsafeFn>(
                     "initialize_stores",
                     fn<UnitResult, SelfMut, Media, StringOption>("_self,param_0,param_1,", {A, A}, true), M));
    desc::add(d, fn_field<ty::AUnsafeFn>(
                     "attach_stores",
                     fn<UnitResult, SelfMut, Path, Media, StringOption>("_self,param_0,param_1,param_2,", {A, A, A, A}, true),
                     M));
    desc::add(d, fn_field<ty::AUnsafeFn>("detach_stores", fn<UnitResult, SelfMut, Path>("_self,param_0,", {A, A, A}, true), M));
    for (std::string_view name : {"take_snapshot", "next_snapshot", "last_snapshot", "edge_snapshot", "full_snapshot"})
      desc::add(d, fn_field<ty::AUnsafeFn>(name, fn<SnapshotResult, Self>("_self,", {A}, true), M));
    desc::add(d, fn_field<ty::AUnsafeFn>(
                     "snapshot", fn<SnapshotResult, Self, Path, ty::Bool>("_self,param_0,param_1,", {A, A, A}, true), M));
    return d;
  }();
};

// The object's extra check: which traits the trait object requires.
template <> struct Describe<ty::RequiredTraits> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RequiredTraits", kFramework, "abi_stable::erased_types::vtable", 283, 16, 8, desc::kReprC,
                            DataKind::Struct, desc::kModule);
    desc::add(d, field<ty::U16>("auto_traits"));
    desc::add(d, field<ty::U64>("regular_traits"));
    return d;
  }();
};
namespace internal {
// The trait object's stored extra checks (defined with its functions in
// layouts.cpp).
extern const StoredExtraChecks required_traits_checks;
}  // namespace internal

template <> struct Describe<RObject> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RObject", kFramework, "abi_stable::sabi_trait::robject", 77, 24, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque);
    d.lifetimes = "'lt";
    d.lifetime_count = 1;
    d.extra_checks = &internal::required_traits_checks;
    desc::add(d, field<PrefixRef<VTableFields>>("vtable", Accessor::Opaque));
    desc::add(d, field<ty::ManuallyDrop<RBox>>("ptr", Accessor::Opaque));
    desc::add(d, with_fn(with_lifetimes(field<ty::PhantomData<ty::Ref<Unit>, ty::AFn>>("_marker", Accessor::Opaque), {P0}),
                               fn<ty::StorageDriverInterface>("")));
    return d;
  }();
};

template <> struct Describe<StorageDriver_TO> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageDriver_TO", kDriverPkg, kTraitMod, 58, 24, 8, desc::kTransparent, DataKind::Struct,
                            desc::kModule);
    d.lifetimes = "'lt";
    d.lifetime_count = 1;
    desc::add(d, with_lifetimes(field<RObject>("obj"), {P0}));
    desc::add(d, field<ty::UnsafeIgnoredType>("_marker", Accessor::Opaque));
    return d;
  }();
};

// ---- the root module ------------------------------------------------------------------

template <> struct Describe<StorageDriverModFields> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageDriverMod", kDriverPkg, "lmfs_storage_driver::plugin", 87, 8, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kModule);
    d.first_suffix_field = 1;
    d.accessible_fields = 0x1;
    desc::add(d, fn_field<ty::AFn>("new", fn<NewResult, RawValueBox>("params,"), Accessor::Method));
    return d;
  }();
};

using RootModuleRef = PrefixRef<StorageDriverModFields>;

// ---- tables outside the checked graph ------------------------------------------
// Described for the names a host reports when a table lacks a field it needs;
// their function signatures are not part of any comparison and are left out.

namespace desc {
constexpr TypeDesc opaque_table(std::string_view name, std::string_view mod, std::uint32_t line,
                                std::initializer_list<std::string_view> fields) {
  TypeDesc d = type(name, kFramework, mod, line, 8 * fields.size(), 8, kReprC, DataKind::PrefixType, kModule);
  for (std::string_view f : fields) add(d, field<ty::AFn>(f));
  d.first_suffix_field = static_cast<std::uint8_t>(fields.size());
  d.accessible_fields = (std::uint64_t{1} << fields.size()) - 1;
  return d;
}
}  // namespace desc

template <> struct Describe<MutexVTableFields> {
  static constexpr TypeDesc desc = desc::opaque_table("VTable", "abi_stable::external_types::parking_lot::mutex", 305,
                                                      {"lock", "try_lock", "unlock", "try_lock_for"});
};
template <> struct Describe<ConstGenericVTableFields> {
  static constexpr TypeDesc desc = desc::opaque_table("ConstGenericVTable", "abi_stable::abi_stability::const_generics",
                                                      96, {"layout", "partial_eq", "debug"});
};
namespace ty {
struct ExtraChecksVTable;
}
template <> struct Describe<ty::ExtraChecksVTable> {
  static constexpr TypeDesc desc = desc::opaque_table(
      "VTable", "abi_stable::abi_stability::extra_checks::ExtraChecks_trait", 0,
      {"_sabi_vtable", "type_layout", "check_compatibility", "nested_type_layouts", "combine"});
};

// ---- the C++ records held to their descriptions ----------------------------------------

static_assert(record_matches<RString>(std::array<std::size_t, 1>{offsetof(RString, inner)}));
static_assert(record_matches<RStr>(std::array<std::size_t, 1>{0}));
static_assert(record_matches<RVec<std::uint8_t>>(std::array<std::size_t, 5>{
    offsetof(RVec<std::uint8_t>, buffer), offsetof(RVec<std::uint8_t>, length), offsetof(RVec<std::uint8_t>, capacity),
    offsetof(RVec<std::uint8_t>, vtable), sizeof(RVec<std::uint8_t>)}));
static_assert(record_matches<RBox>(std::array<std::size_t, 3>{offsetof(RBox, data), offsetof(RBox, vtable), sizeof(RBox)}));
static_assert(record_matches<UTypeId>(std::array<std::size_t, 2>{offsetof(UTypeId, executable_identity),
                                                                 offsetof(UTypeId, type_id_array)}));
static_assert(record_matches<RSnapshot>(std::array<std::size_t, 3>{offsetof(RSnapshot, id), offsetof(RSnapshot, timestamp),
                                                                   offsetof(RSnapshot, metadata)}));
static_assert(record_matches<RPathBuf>(std::array<std::size_t, 1>{offsetof(RPathBuf, inner)}));
static_assert(record_matches<ROsString>(std::array<std::size_t, 1>{offsetof(ROsString, inner)}));
static_assert(record_matches<StorageMedia>(std::array<std::size_t, 1>{offsetof(StorageMedia, inner)}));
static_assert(record_matches<RObject>(std::array<std::size_t, 3>{offsetof(RObject, vtable), offsetof(RObject, ptr), sizeof(RObject)}));
static_assert(record_matches<StorageDriver_TO>(std::array<std::size_t, 2>{offsetof(StorageDriver_TO, obj), sizeof(StorageDriver_TO)}));
static_assert(record_matches<VecVTableFields>(std::array<std::size_t, 4>{
    offsetof(VecVTableFields, type_id), offsetof(VecVTableFields, destructor), offsetof(VecVTableFields, grow_capacity_to),
    offsetof(VecVTableFields, shrink_to_fit)}));
static_assert(record_matches<BoxVTableFields>(std::array<std::size_t, 3>{
    offsetof(BoxVTableFields, type_id), offsetof(BoxVTableFields, destructor), sizeof(BoxVTableFields)}));
static_assert(record_matches<RObjectVtableFields>(std::array<std::size_t, 6>{
    0, offsetof(RObjectVtableFields, _sabi_type_id), offsetof(RObjectVtableFields, _sabi_drop),
    offsetof(RObjectVtableFields, _sabi_clone), offsetof(RObjectVtableFields, _sabi_debug),
    offsetof(RObjectVtableFields, _sabi_display)}));
static_assert(record_matches<VTableFields>(std::array<std::size_t, 16>{
    0, offsetof(VTableFields, _sabi_vtable), offsetof(VTableFields, init), offsetof(VTableFields, done),
    offsetof(VTableFields, root), offsetof(VTableFields, at_root), offsetof(VTableFields, stores),
    offsetof(VTableFields, initialize_stores), offsetof(VTableFields, attach_stores),
    offsetof(VTableFields, detach_stores), offsetof(VTableFields, take_snapshot), offsetof(VTableFields, next_snapshot),
    offsetof(VTableFields, last_snapshot), offsetof(VTableFields, edge_snapshot), offsetof(VTableFields, full_snapshot),
    offsetof(VTableFields, snapshot)}));
static_assert(record_matches<StorageDriverModFields>(std::array<std::size_t, 1>{offsetof(StorageDriverModFields, new_)}));

// Enumerations: the payload of every variant sits after the tag as the
// description places it.
static_assert(record_size_matches<StorageDriverError>() && record_size_matches<SecurityError>() &&
              record_size_matches<StorageMedium>() && record_size_matches<RCowStr>() &&
              record_size_matches<MaybeCmpUTypeId>() && record_size_matches<NewResult>() &&
              record_size_matches<UnitResult>() && record_size_matches<SnapshotResult>() &&
              record_size_matches<PathBufOption>() && record_size_matches<StringOption>() &&
              record_size_matches<UnitUnitResult>() && record_size_matches<Exactness>() &&
              record_size_matches<CallReferentDrop>() && record_size_matches<Deallocate>() &&
              record_size_matches<FormattingMode>());
static_assert(offsetof(StorageDriverError, payload) == implied(Describe<StorageDriverError>::desc).offsets[0] &&
              offsetof(StorageMedium, payload) == implied(Describe<StorageMedium>::desc).offsets[0] &&
              offsetof(RCowStr, payload) == implied(Describe<RCowStr>::desc).offsets[0] &&
              offsetof(NewResult, payload) == implied(Describe<NewResult>::desc).offsets[0]);

}  // namespace lmfs::abi::tl
