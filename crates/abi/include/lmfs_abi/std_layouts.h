// Descriptions of the framework's own types and of the std types it
// describes: primitives, pointers and references, markers, the prefix
// reference and the framework's own prefix tables, RStr, RSlice, RVec,
// RString, RBox, RCow, ROption, RResult, type identities, and builders for
// the generic ones whose parameters name an interface's types (the trait
// object RObject and its object-level table). Types with no C++ record of
// their own are named by the tag types in `ty`.
#pragma once

#include <cstddef>

#include "lmfs_abi/layout_gen.h"
#include "lmfs_abi/records.h"
#include "lmfs_abi/library.h"

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
struct RequiredTraits;
struct ExtraChecksVTable;
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
// RObjectVtableFields as the object-level table of interface I's objects.
template <class Interface> struct RObjectVtable;
}  // namespace ty

namespace desc {

// An enumeration whose variants carry no fields.
constexpr TypeDesc unit_enum(std::string_view name, std::string_view mod, std::uint32_t line, std::size_t size,
                             ReprAttr repr, std::initializer_list<std::string_view> variants) {
  TypeDesc d = type(name, kFramework, mod, line, size, size, repr, DataKind::Enum, kOpaque);
  if (repr.kind == ReprKind::C) d.discr = DiscriminantKind::Isize;
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
      [] {
        TypeDesc d = desc::type("UnsafeIgnoredType", kFramework, "abi_stable::marker_type", 174, 0, 1, desc::kReprC,
                                DataKind::Struct, desc::kModule);
        d.type_id = &type_id_of<Unit>;  // the framework gives it the identity of ()
        d.borrowed_type_id = true;
        return d;
      }();
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
      desc::unit_enum("Exactness", "abi_stable::std_types::vec", 1448, 4, desc::kReprC, {"Exact", "Above"}).of_record<Exactness>();
};
template <> struct Describe<CallReferentDrop> {
  static constexpr TypeDesc desc =
      desc::unit_enum("CallReferentDrop", "abi_stable::pointer_trait", 25, 1, desc::kReprU8, {"Yes", "No"}).of_record<CallReferentDrop>();
};
template <> struct Describe<Deallocate> {
  static constexpr TypeDesc desc =
      desc::unit_enum("Deallocate", "abi_stable::pointer_trait", 35, 1, desc::kReprU8, {"No", "Yes"}).of_record<Deallocate>();
};
template <> struct Describe<FormattingMode> {
  static constexpr TypeDesc desc =
      desc::unit_enum("FormattingMode", "abi_stable::erased_types", 67, 1, desc::kReprU8, {"Default_", "Alternate"}).of_record<FormattingMode>();
};

template <> struct Describe<UTypeId> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("UTypeId", kFramework, "abi_stable::std_types::utypeid", 75, 24, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque)
                     .of_record<UTypeId>();
    desc::add(d, field<ty::ConstPtr<ty::AtomicUsize>>("executable_identity", Accessor::Opaque)
                     .at(LMFS_MEMBER(UTypeId, executable_identity)));
    desc::add(d, field<ty::Array<ty::U8, 16>>("type_id_array", Accessor::Opaque).at(LMFS_MEMBER(UTypeId, type_id_array)));
    return d;
  }();
};
template <> struct Describe<MaybeCmpUTypeId> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("MaybeCmp", kFramework, "abi_stable::sabi_types::maybe_cmp", 22, 32, 8, desc::kReprU8,
                            DataKind::Enum, desc::kModule)
                     .of_record<MaybeCmpUTypeId>();
    desc::variant(d, "Just", 1);
    desc::variant(d, "Nothing", 0);
    desc::add(d, field<UTypeId>("field_0").at(LMFS_MEMBER(MaybeCmpUTypeId, just)));
    return d;
  }();
};

// ---- prefix references and tables ----------------------------------------------

template <class F> struct Describe<PrefixRef<F>> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("PrefixRef", kFramework, "abi_stable::prefix_type::prefix_ref", 392, 8, 8,
                            desc::kTransparent, DataKind::Struct, desc::kDeref, true)
                     .of_record<PrefixRef<F>>();
    d.unchecked_size = true;  // the pointer itself is not a described field
    desc::lifetime_a(d);
    desc::type_params<F>(d);
    desc::add_phantom(d, field<F>("0"));
    return d;
  }();
};

template <> struct Describe<VecVTableFields> {
  static constexpr TypeDesc desc = [] {
    using V = VecVTableFields;
    TypeDesc d = desc::type("VecVTable", kFramework, "abi_stable::std_types::vec", 1491, 32, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kOpaque)
                     .of_record<V>();
    d.first_suffix_field = 4;
    d.accessible_fields = kVecVTableMask;
    desc::add(d, fn_field<ty::AFn>("type_id", fn<UTypeId>(""), Accessor::Opaque).at(LMFS_MEMBER(V, type_id)));
    desc::add(d, fn_field<ty::AUnsafeFn>("destructor", fn<void, ty::RMut<Unit>>(",", {A}, true), Accessor::Opaque)
                     .at(LMFS_MEMBER(V, destructor)));
    desc::add(d, fn_field<ty::AUnsafeFn>("grow_capacity_to",
                                         fn<void, ty::RMut<Unit>, ty::Usize, Exactness>(",,,", {A}, true),
                                         Accessor::Opaque)
                     .at(LMFS_MEMBER(V, grow_capacity_to)));
    desc::add(d, fn_field<ty::AUnsafeFn>("shrink_to_fit", fn<void, ty::RMut<Unit>>(",", {A}, true), Accessor::Opaque)
                     .at(LMFS_MEMBER(V, shrink_to_fit)));
    return d;
  }();
};

template <> struct Describe<BoxVTableFields> {
  static constexpr TypeDesc desc = [] {
    using V = BoxVTableFields;
    TypeDesc d = desc::type("BoxVtable", kFramework, "abi_stable::std_types::boxed", 611, 16, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kOpaque)
                     .of_record<V>();
    d.first_suffix_field = 2;
    d.accessible_fields = kBoxVTableMask;
    desc::add(d, fn_field<ty::AFn>("type_id", fn<UTypeId>(""), Accessor::Opaque).at(LMFS_MEMBER(V, type_id)));
    desc::add(d, fn_field<ty::AUnsafeFn>("destructor",
                                         fn<void, ty::MutPtr<Unit>, CallReferentDrop, Deallocate>(",,,", {}, true),
                                         Accessor::Opaque)
                     .at(LMFS_MEMBER(V, destructor)));
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
                            DataKind::Struct, desc::kOpaque)
                     .of_record<RSlice<T>>();
    desc::lifetime_a(d);
    desc::add(d, field<ty::ConstPtr<E>>("data", Accessor::Opaque).at(LMFS_MEMBER(RSlice<T>, data)));
    desc::add(d, field<ty::Usize>("length", Accessor::Opaque).at(LMFS_MEMBER(RSlice<T>, len)));
    desc::add(d, with_lifetimes(field<ty::PhantomData<ty::Ref<E>>>("_marker", Accessor::Opaque), {P0}));
    return d;
  }();
};

template <class T> struct Describe<RVec<T>> {
  using E = typename internal::Element<T>::type;
  static constexpr TypeDesc desc = [] {
    using V = RVec<T>;
    TypeDesc d = desc::type("RVec", kFramework, "abi_stable::std_types::vec::private", 73, 32, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque)
                     .of_record<V>();
    desc::add(d, field<ty::NonNull<E>>("buffer", Accessor::Opaque).at(LMFS_MEMBER(V, buffer)));
    desc::add(d, field<ty::Usize>("length", Accessor::Opaque).at(LMFS_MEMBER(V, length)));
    desc::add(d, field<ty::Usize>("capacity", Accessor::Opaque).at(LMFS_MEMBER(V, capacity)));
    desc::add(d, field<PrefixRef<VecVTableFields>>("vtable", Accessor::Opaque).at(LMFS_MEMBER(V, vtable)));
    desc::add(d, field<ty::PhantomData<E>>("_marker", Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<RStr> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RStr", kFramework, "abi_stable::std_types::str", 37, 16, 8, desc::kReprC, DataKind::Struct,
                            desc::kOpaque)
                     .of_record<RStr>();
    desc::lifetime_a(d);
    // RStr keeps the slice's two words as its own members.
    desc::add(d, with_lifetimes(field<RSlice<std::uint8_t>>("inner", Accessor::Opaque), {P0})
                     .at(Member{offsetof(RStr, data), sizeof(RStr)}));
    return d;
  }();
};

template <> struct Describe<RString> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RString", kFramework, "abi_stable::std_types::string", 51, 32, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque)
                     .of_record<RString>();
    desc::add(d, field<RVec<std::uint8_t>>("inner", Accessor::Opaque).at(LMFS_MEMBER(RString, inner)));
    return d;
  }();
};

template <> struct Describe<RBox> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RBox", kFramework, "abi_stable::std_types::boxed::private", 75, 16, 8, desc::kReprC,
                            DataKind::Struct, desc::kOpaque)
                     .of_record<RBox>();
    desc::add(d, field<ty::NonNull<Unit>>("data", Accessor::Opaque).at(LMFS_MEMBER(RBox, data)));
    desc::add(d, field<PrefixRef<BoxVTableFields>>("vtable", Accessor::Opaque).at(LMFS_MEMBER(RBox, vtable)));
    desc::add(d, field<ty::PhantomData<Unit>>("_marker", Accessor::Opaque));
    return d;
  }();
};

template <> struct Describe<RawValueBox> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RawValueBox", kFramework, "abi_stable::external_types::serde_json", 307, 32, 8,
                            desc::kTransparent, DataKind::Struct, desc::kOpaque)
                     .of_record<RawValueBox>();
    desc::add(d, field<RString>("string", Accessor::Opaque).at(LMFS_MEMBER(RawValueBox, string)));
    return d;
  }();
};

template <> struct Describe<RCowStr> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RCow", kFramework, "abi_stable::std_types::cow", 117, 40, 8, desc::kReprC, DataKind::Enum,
                            desc::kModule)
                     .of_record<RCowStr>();
    d.discr = DiscriminantKind::Isize;
    desc::variant(d, "Borrowed", 1);
    desc::variant(d, "Owned", 1);
    desc::add(d, field<RStr>("field_0").at(LMFS_MEMBER(RCowStr, payload.borrowed)));
    desc::add(d, field<RString>("field_0").at(LMFS_MEMBER(RCowStr, payload.owned)));
    return d;
  }();
};

// ---- options and results --------------------------------------------------------

namespace desc {
// Sized after their payloads, as a repr(u8) enum places them.
constexpr TypeDesc sized_by_fields(TypeDesc d) {
  Placement p = implied(d);
  d.size = p.size;
  d.align = p.align;
  return d;
}
template <class T>
constexpr TypeDesc roption() {
  TypeDesc d = type("ROption", kFramework, "abi_stable::std_types::option", 15, 0, 1, kReprU8, DataKind::Enum, kModule);
  variant(d, "RSome", 1);
  variant(d, "RNone", 0);
  add(d, field<T>("field_0").at(LMFS_MEMBER(ROption<T>, value)));
  return sized_by_fields(d).template of_record<ROption<T>>();
}
template <class T, class E>
constexpr TypeDesc rresult() {
  using R = RResult<T, E>;
  TypeDesc d = type("RResult", kFramework, "abi_stable::std_types::result", 10, 0, 1, kReprU8, DataKind::Enum, kModule);
  variant(d, "ROk", 1);
  variant(d, "RErr", 1);
  add(d, field<T>("field_0").at(LMFS_MEMBER(R, payload.ok)));
  add(d, field<E>("field_0").at(LMFS_MEMBER(R, payload.err)));
  return sized_by_fields(d).template of_record<R>();
}
}  // namespace desc

template <class T> struct Describe<ROption<T>> { static constexpr TypeDesc desc = desc::roption<T>(); };
template <class T, class E> struct Describe<RResult<T, E>> { static constexpr TypeDesc desc = desc::rresult<T, E>(); };
// RResult<(), ()> is one tag byte: its payloads take no room.
template <> struct Describe<UnitUnitResult> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RResult", kFramework, "abi_stable::std_types::result", 10, 0, 1, desc::kReprU8,
                            DataKind::Enum, desc::kModule);
    desc::variant(d, "ROk", 1);
    desc::variant(d, "RErr", 1);
    desc::add(d, field<Unit>("field_0"));
    desc::add(d, field<Unit>("field_0"));
    return desc::sized_by_fields(d).of_record<UnitUnitResult>();
  }();
};



// ---- trait objects ------------------------------------------------------------

template <> struct Describe<ty::RequiredTraits> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RequiredTraits", kFramework, "abi_stable::erased_types::vtable", 283, 16, 8, desc::kReprC,
                            DataKind::Struct, desc::kModule)
                     .of_record<RequiredTraits>();
    desc::add(d, field<ty::U16>("auto_traits").at(LMFS_MEMBER(RequiredTraits, auto_traits)));
    desc::add(d, field<ty::U64>("regular_traits").at(LMFS_MEMBER(RequiredTraits, regular_traits)));
    return d;
  }();
};

namespace desc {

}  // namespace desc

// RObjectVtable<_Self, RBox<()>, I>: the object-level table of the trait
// objects of interface I (a marker type), for an object in an RBox<()>. One
// C++ record serves every interface.
template <class Interface> struct Describe<ty::RObjectVtable<Interface>> {
  static constexpr TypeDesc desc = [] {
  using namespace desc;
  using V = RObjectVtableFields;
  TypeDesc d = type("RObjectVtable", kFramework, "abi_stable::sabi_trait::vtable", 99, 40, 8, kReprC,
                    DataKind::PrefixType, kModule)
                   .of_record<V>();
  d.first_suffix_field = 6;
  d.accessible_fields = kRObjectVtableMask;
  constexpr FnDesc fmt =
      fn<UnitUnitResult, ty::RRef<ty::ErasedObject>, FormattingMode, ty::MutRef<RString>>(",,,", {A, A}, true);
  constexpr auto M = Accessor::Method;
  add(d, field<ty::PhantomData<Unit, RBox, Interface>>("_sabi_tys", M));
  add(d, fn_field<ty::AFn>("_sabi_type_id", fn<MaybeCmpUTypeId>(""), M).at(LMFS_MEMBER(V, _sabi_type_id)));
  add(d, fn_field<ty::AUnsafeFn>("_sabi_drop", fn<void, ty::RMut<RBox>>("this,", {A}, true), M)
             .at(LMFS_MEMBER(V, _sabi_drop)));
  add(d, optional_fn_field<ty::Option<ty::AUnsafeFn>>("_sabi_clone", fn<RBox, ty::RRef<RBox>>("this,", {A}, true), M)
             .at(LMFS_MEMBER(V, _sabi_clone)));
  add(d, optional_fn_field<ty::Option<ty::AUnsafeFn>>("_sabi_debug", fmt, M).at(LMFS_MEMBER(V, _sabi_debug)));
  add(d, optional_fn_field<ty::Option<ty::AUnsafeFn>>("_sabi_display", fmt, M).at(LMFS_MEMBER(V, _sabi_display)));
  return d;
  }();
};

namespace desc {

// RObject<'lt, RBox<()>, I, V>: a trait object of interface I whose method
// table is V, carrying the extra check `checks` (see required_traits.h).
template <class VTable, class Interface>
constexpr TypeDesc robject(const StoredExtraChecks* checks) {
  using R = RObject<VTable>;
  TypeDesc d = type("RObject", kFramework, "abi_stable::sabi_trait::robject", 77, 24, 8, kReprC, DataKind::Struct,
                    kOpaque)
                   .of_record<R>();
  d.lifetimes = "'lt";
  d.lifetime_count = 1;
  d.extra_checks = checks;
  add(d, field<PrefixRef<VTable>>("vtable", Accessor::Opaque).at(LMFS_MEMBER(R, vtable)));
  add(d, field<ty::ManuallyDrop<RBox>>("ptr", Accessor::Opaque).at(LMFS_MEMBER(R, ptr)));
  add(d, with_fn(with_lifetimes(field<ty::PhantomData<ty::Ref<Unit>, ty::AFn>>("_marker", Accessor::Opaque), {P0}),
                 fn<Interface>("")));
  return d;
}

}  // namespace desc

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
template <> struct Describe<ty::ExtraChecksVTable> {
  static constexpr TypeDesc desc = desc::opaque_table(
      "VTable", "abi_stable::abi_stability::extra_checks::ExtraChecks_trait", 0,
      {"_sabi_vtable", "type_layout", "check_compatibility", "nested_type_layouts", "combine"});
};


}  // namespace lmfs::abi::tl
