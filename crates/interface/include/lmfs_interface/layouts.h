// The type layouts of the storage-driver interface: one description per type
// of this interface (see lmfs_abi/layout_gen.h for the vocabulary and
// lmfs_abi/std_layouts.h for the framework's own types), as a host of the
// framework declares the interface. The records are generated at compile
// time; each description names its C++ record's members, so the build fails
// when a record and its description disagree.
#pragma once

#include <cstddef>

#include "lmfs_abi/required_traits.h"
#include "lmfs_abi/std_layouts.h"
#include "lmfs_interface/driver.h"
#include "lmfs_interface/error.h"
#include "lmfs_interface/media.h"
#include "lmfs_interface/plugin.h"
#include "lmfs_interface/snapshot.h"
#include "lmfs_interface/version.h"

namespace lmfs::abi {
namespace layouts {

// Layout of the root module reference (PrefixRef<'a, StorageDriverMod>), the
// graph a host compares with its own before it calls anything.
[[nodiscard]] const tl::TypeLayout* root_module_layout();

}  // namespace layouts

namespace tl {

namespace ty {
struct StorageDriverInterface;  // the marker type of the driver trait's objects
}  // namespace ty

inline constexpr char kDriverPkg[] = "lmfs-storage-driver;" LMFS_INTERFACE_VERSION;
inline constexpr char kSecPkg[] = "lmfs-sec;" LMFS_INTERFACE_VERSION;
inline constexpr char kTraitMod[] = "lmfs_storage_driver::driver::StorageDriver_trait";
inline constexpr char kMediaMod[] = "lmfs_storage_driver::media";

// ---- errors ---------------------------------------------------------------------

template <> struct Describe<SecurityError> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("SecurityError", kSecPkg, "lmfs_sec", 10, 40, 8, desc::kReprU8, DataKind::Enum, desc::kModule)
                     .of_record<SecurityError>();
    desc::variant(d, "UnsafePath", 1);
    desc::add(d, field<RString>("field_0").at(LMFS_MEMBER(SecurityError, unsafe_path)));
    return d;
  }();
};

template <> struct Describe<StorageDriverError> {
  static constexpr TypeDesc desc = [] {
    using E = StorageDriverError;
    TypeDesc d = desc::type("StorageDriverError", kDriverPkg, "lmfs_storage_driver::error", 14, 72, 8, desc::kReprU8,
                            DataKind::Enum, desc::kModule)
                     .of_record<E>();
    const auto text = field<RString>("field_0").at(LMFS_MEMBER(E, payload.text));
    const auto cow = with_lifetimes(field<RCowStr>("field_0"), {S}).at(LMFS_MEMBER(E, payload.cow));
    for (std::string_view v : {"NotSupported", "InvalidConfig", "UnknownParameter"}) {
      desc::variant(d, v, 1);
      desc::add(d, text);
    }
    desc::variant(d, "InvalidParameterValue", 2);
    desc::add(d, field<RString>("field_0").at(LMFS_MEMBER(E, payload.parameter.name)));
    desc::add(d, field<RString>("field_1").at(LMFS_MEMBER(E, payload.parameter.value)));
    desc::variant(d, "Unimplemented", 1);
    desc::add(d, text);
    desc::variant(d, "InvalidMediaType", 1);
    desc::add(d, cow);
    desc::variant(d, "SecurityError", 1);
    desc::add(d, field<SecurityError>("field_0").at(LMFS_MEMBER(E, payload.security)));
    desc::variant(d, "NotApplicable", 1);
    desc::add(d, cow);
    desc::variant(d, "Other", 1);
    desc::add(d, text);
    return d;
  }();
};

// ---- media and snapshots -----------------------------------------------------------

template <> struct Describe<ROsString> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("ROsString", kDriverPkg, kMediaMod, 32, 32, 8, desc::kReprC, DataKind::Struct, desc::kModule)
                     .of_record<ROsString>();
    desc::add(d, field<RString>("inner").at(LMFS_MEMBER(ROsString, inner)));
    return d;
  }();
};
template <> struct Describe<RPathBuf> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RPathBuf", kDriverPkg, kMediaMod, 39, 32, 8, desc::kReprC, DataKind::Struct, desc::kModule)
                     .of_record<RPathBuf>();
    desc::add(d, field<RVec<std::uint8_t>>("inner").at(LMFS_MEMBER(RPathBuf, inner)));
    return d;
  }();
};
template <> struct Describe<RPath> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RPath", kDriverPkg, kMediaMod, 46, 16, 8, desc::kReprC, DataKind::Struct, desc::kModule)
                     .of_record<RPath>();
    desc::lifetime_a(d);
    desc::add(d, with_lifetimes(field<RSlice<std::uint8_t>>("inner"), {P0}).at(LMFS_MEMBER(RPath, inner)));
    return d;
  }();
};
template <> struct Describe<StorageMedium> {
  static constexpr TypeDesc desc = [] {
    using M = StorageMedium;
    TypeDesc d = desc::type("StorageMedium", kDriverPkg, kMediaMod, 22, 40, 8, desc::kReprU8, DataKind::Enum,
                            desc::kModule)
                     .of_record<M>();
    desc::variant(d, "Block", 1);
    desc::variant(d, "Path", 1);
    desc::variant(d, "URN", 1);
    desc::variant(d, "None", 0);
    desc::add(d, field<ROsString>("field_0").at(LMFS_MEMBER(M, payload.block)));
    desc::add(d, field<RPathBuf>("field_0").at(LMFS_MEMBER(M, payload.path)));
    desc::add(d, field<RString>("field_0").at(LMFS_MEMBER(M, payload.urn)));
    return d;
  }();
};
template <> struct Describe<StorageMedia> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageMedia", kDriverPkg, kMediaMod, 15, 32, 8, desc::kReprC, DataKind::Struct,
                            desc::kModule)
                     .of_record<StorageMedia>();
    desc::add(d, field<RVec<StorageMedium>>("inner").at(LMFS_MEMBER(StorageMedia, inner)));
    return d;
  }();
};
template <> struct Describe<RSnapshot> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("RSnapshot", kDriverPkg, "lmfs_storage_driver::snapshot", 9, 80, 8, desc::kReprC,
                            DataKind::Struct, desc::kModule)
                     .of_record<RSnapshot>();
    desc::add(d, field<RString>("id").at(LMFS_MEMBER(RSnapshot, id)));
    desc::add(d, field<ty::U64>("timestamp").at(LMFS_MEMBER(RSnapshot, timestamp)));
    desc::add(d, field<ROption<RVec<std::uint8_t>>>("metadata").at(LMFS_MEMBER(RSnapshot, metadata)));
    return d;
  }();
};

// ---- the trait object -------------------------------------------------------------

template <> struct Describe<ty::StorageDriverInterface> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageDriver_Interface", kDriverPkg, kTraitMod, 24, 0, 1, desc::kReprC, DataKind::Struct,
                            desc::kOpaque);
    desc::add(d, field<ty::PhantomData<Unit>>("field_0", Accessor::Opaque));
    return d;
  }();
};

using DriverObjectVtable = ty::RObjectVtable<ty::StorageDriverInterface>;

template <> struct Describe<VTableFields> {
  static constexpr TypeDesc desc = [] {
    using V = VTableFields;
    TypeDesc d = desc::type("VTable", kDriverPkg, kTraitMod, 24, 0, 8, desc::kReprC, DataKind::PrefixType, desc::kModule)
                     .of_record<V>();
    d.first_suffix_field = 0;
    d.accessible_fields = kVTableMask;
    using Self = ty::RRef<Unit>;
    using SelfMut = ty::RMut<Unit>;
    using Path = ty::Ref<RPath>;
    using Media = ty::Ref<StorageMedia>;
    constexpr auto M = Accessor::Method;
    desc::add(d, field<ty::PhantomData<Unit, RBox>>("_sabi_tys", Accessor::Opaque));
    desc::add(d, field<PrefixRef<DriverObjectVtable>>("_sabi_vtable", Accessor::Opaque).at(LMFS_MEMBER(V, _sabi_vtable)));
    desc::add(d, fn_field<ty::AUnsafeFn>("init", fn<UnitResult, SelfMut>("_self,", {A}, true), M).at(LMFS_MEMBER(V, init)));
    desc::add(d, fn_field<ty::AUnsafeFn>("done", fn<UnitResult, SelfMut>("_self,", {A}, true), M).at(LMFS_MEMBER(V, done)));
    desc::add(d, fn_field<ty::AUnsafeFn>("root", fn<PathBufOption, Self>("_self,", {A}, true), M).at(LMFS_MEMBER(V, root)));
    desc::add(d, fn_field<ty::AUnsafeFn>("at_root", fn<PathBufResult, Self, Path>("_self,param_0,", {A, A, A}, true), M)
                     .at(LMFS_MEMBER(V, at_root)));
    desc::add(d, fn_field<ty::AUnsafeFn>("stores", fn<MediaResult, Self>("_self,", {A}, true), M)
                     .at(LMFS_MEMBER(V, stores)));
    desc::add(d, fn_field<ty::AUnsafeFn>(
                     "initialize_stores",
                     fn<UnitResult, SelfMut, Media, StringOption>("_self,param_0,param_1,", {A, A}, true), M)
                     .at(LMFS_MEMBER(V, initialize_stores)));
    desc::add(d, fn_field<ty::AUnsafeFn>(
                     "attach_stores",
                     fn<UnitResult, SelfMut, Path, Media, StringOption>("_self,param_0,param_1,param_2,", {A, A, A, A}, true),
                     M)
                     .at(LMFS_MEMBER(V, attach_stores)));
    desc::add(d, fn_field<ty::AUnsafeFn>("detach_stores", fn<UnitResult, SelfMut, Path>("_self,param_0,", {A, A, A}, true), M)
                     .at(LMFS_MEMBER(V, detach_stores)));
    constexpr FnDesc snapshot_fn = fn<SnapshotResult, Self>("_self,", {A}, true);
    desc::add(d, fn_field<ty::AUnsafeFn>("take_snapshot", snapshot_fn, M).at(LMFS_MEMBER(V, take_snapshot)));
    desc::add(d, fn_field<ty::AUnsafeFn>("next_snapshot", snapshot_fn, M).at(LMFS_MEMBER(V, next_snapshot)));
    desc::add(d, fn_field<ty::AUnsafeFn>("last_snapshot", snapshot_fn, M).at(LMFS_MEMBER(V, last_snapshot)));
    desc::add(d, fn_field<ty::AUnsafeFn>("edge_snapshot", snapshot_fn, M).at(LMFS_MEMBER(V, edge_snapshot)));
    desc::add(d, fn_field<ty::AUnsafeFn>("full_snapshot", snapshot_fn, M).at(LMFS_MEMBER(V, full_snapshot)));
    desc::add(d, fn_field<ty::AUnsafeFn>(
                     "snapshot", fn<SnapshotResult, Self, Path, ty::Bool>("_self,param_0,param_1,", {A, A, A}, true), M)
                     .at(LMFS_MEMBER(V, snapshot)));
    return d;
  }();
};

// The driver trait's only supertrait is Debug: no auto traits.
inline constexpr RequiredTraits kDriverTraits{0, kDebugTrait};
inline constexpr StoredExtraChecks kDriverTraitsChecks = required_traits_checks(&kDriverTraits);

template <> struct Describe<RObject<VTableFields>> {
  static constexpr TypeDesc desc = desc::robject<VTableFields, ty::StorageDriverInterface>(&kDriverTraitsChecks);
};

template <> struct Describe<StorageDriver_TO> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageDriver_TO", kDriverPkg, kTraitMod, 24, 24, 8, desc::kTransparent, DataKind::Struct,
                            desc::kModule)
                     .of_record<StorageDriver_TO>();
    d.lifetimes = "'lt";
    d.lifetime_count = 1;
    desc::add(d, with_lifetimes(field<RObject<VTableFields>>("obj"), {P0}).at(LMFS_MEMBER(StorageDriver_TO, obj)));
    desc::add(d, field<ty::UnsafeIgnoredType>("_marker", Accessor::Opaque));
    return d;
  }();
};

// ---- the root module ------------------------------------------------------------------

template <> struct Describe<StorageDriverModFields> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("StorageDriverMod", kDriverPkg, "lmfs_storage_driver::plugin", 19, 8, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kModule)
                     .of_record<StorageDriverModFields>();
    d.first_suffix_field = 1;
    d.accessible_fields = kStorageDriverModMask;
    desc::add(d, fn_field<ty::AFn>("new", fn<NewResult, RawValueBox>("params,"), Accessor::Method)
                     .at(LMFS_MEMBER(StorageDriverModFields, new_)));
    return d;
  }();
};

using RootModuleRef = PrefixRef<StorageDriverModFields>;

}  // namespace tl
}  // namespace lmfs::abi
