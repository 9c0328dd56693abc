// Exporting a storage driver: a C++ class with the interface's operations
// becomes the operation table, the root module and the library header a host
// loads. The class works on the interface's value types; everything here
// turns them into boundary records and back, and owns nothing else.
//
//   class MyDriver {
//    public:
//     static std::expected<MyDriver, lmfs::StorageDriverError> create(std::string_view params);
//     ... the operations of `StorageDriver` below ...
//   };
//   LMFS_EXPORT_STORAGE_DRIVER(MyDriver)
//
// Every entry point is noexcept. An allocation failure ends the process
// through the one deliberate path (abi::internal::out_of_memory) instead of
// unwinding into the host.
#pragma once

#include <concepts>
#include <cstring>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "lmfs_interface/layouts.h"
#include "lmfs_interface/version.h"

namespace lmfs {

// What at_root answers: the path as a string or as a text that writes itself
// out (abi::WritableText, kept without a copy in between), or the error.
template <class R>
concept PathAnswer = std::same_as<typename R::error_type, StorageDriverError> &&
                     (std::same_as<typename R::value_type, std::string> || abi::WritableText<typename R::value_type>);

// What a driver class offers. Operations that change the driver take it
// mutably (the host calls them with exclusive access); the others are const
// and may run on several threads at once.
template <class D>
concept StorageDriver = requires(D& d, const D& c, std::string_view path, const StorageMedia& media,
                                 const std::optional<std::string>& option, bool flag) {
  { D::create(path) } -> std::same_as<std::expected<D, StorageDriverError>>;
  { d.init() } -> std::same_as<std::expected<void, StorageDriverError>>;
  { d.done() } -> std::same_as<std::expected<void, StorageDriverError>>;
  { c.root() } -> std::same_as<std::optional<std::string>>;
  { c.at_root(path) } -> PathAnswer;
  { c.stores() } -> std::same_as<std::expected<StorageMedia, StorageDriverError>>;
  { d.initialize_stores(media, option) } -> std::same_as<std::expected<void, StorageDriverError>>;
  { d.attach_stores(path, media, option) } -> std::same_as<std::expected<void, StorageDriverError>>;
  { d.detach_stores(path) } -> std::same_as<std::expected<void, StorageDriverError>>;
  { c.take_snapshot() } -> std::same_as<std::expected<Snapshot, StorageDriverError>>;
  { c.next_snapshot() } -> std::same_as<std::expected<Snapshot, StorageDriverError>>;
  { c.last_snapshot() } -> std::same_as<std::expected<Snapshot, StorageDriverError>>;
  { c.edge_snapshot() } -> std::same_as<std::expected<Snapshot, StorageDriverError>>;
  { c.full_snapshot() } -> std::same_as<std::expected<Snapshot, StorageDriverError>>;
  { c.snapshot(path, flag) } -> std::same_as<std::expected<Snapshot, StorageDriverError>>;
  { c.debug(flag) } -> std::same_as<std::string>;
};

}  // namespace lmfs

namespace lmfs::abi::internal {

// Runs `f`, ending the process deliberately if it runs out of memory.
template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    out_of_memory();
  } catch (...) {
    std::abort();  // nothing else is thrown here; never unwind into the host
  }
}

template <class R>
R zeroed() {
  R r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  return r;
}

template <class T, class V, class Convert>
RResult<T, StorageDriverError> to_result(const std::expected<V, lmfs::StorageDriverError>& r, Convert convert) {
  auto out = zeroed<RResult<T, StorageDriverError>>();
  if (r) {
    out.tag = kROk;
    out.payload.ok = convert(*r);
  } else {
    out.tag = kRErr;
    out.payload.err = to_record(r.error());
  }
  return out;
}

inline UnitResult unit_result(const std::expected<void, lmfs::StorageDriverError>& r) {
  return r ? unit_ok() : unit_err(to_record(r.error()));
}

inline SnapshotResult snapshot_result(const std::expected<Snapshot, lmfs::StorageDriverError>& r) {
  return to_result<RSnapshot>(r, [](const Snapshot& s) { return to_record(s); });
}

// An optional text the host passes by value: ours to release.
inline std::optional<std::string> take_option(StringOption& opt) {
  if (!opt.is_some()) return std::nullopt;
  std::string text(opt.value.view());
  release(opt.value);
  return text;
}

// The tables of driver class D.
template <class D>
  requires lmfs::StorageDriver<D>
struct DriverExport {
  static const D& self(ErasedRef p) { return *static_cast<const D*>(p); }
  static D& self(ErasedMut p) { return *static_cast<D*>(p); }

  // ---- the box and the object

  static UTypeId box_type_id() noexcept { return own_type_id(); }
  static void box_destructor(void* data, CallReferentDrop drop, Deallocate dealloc) noexcept {
    if (drop == CallReferentDrop::Yes) static_cast<D*>(data)->~D();
    if (dealloc == Deallocate::Yes) ::operator delete(data);
  }
  static MaybeCmpUTypeId object_type_id() noexcept {
    auto r = zeroed<MaybeCmpUTypeId>();
    r.tag = kMaybeCmpNothing;  // the object is built type-erased: no type identity
    return r;
  }
  static void object_drop(RBox* box) noexcept {
    box->vtable.get().destructor(box->data, CallReferentDrop::Yes, Deallocate::Yes);
  }
  static UnitUnitResult object_debug(ErasedRef s, FormattingMode mode, RString* buf) noexcept {
    return guarded([&] {
      append(*buf, self(s).debug(mode == FormattingMode::Alternate));
      return UnitUnitResult{kROk};
    });
  }

  // ---- the operations

  static UnitResult init(ErasedMut s) noexcept {
    return guarded([&] { return unit_result(self(s).init()); });
  }
  static UnitResult done(ErasedMut s) noexcept {
    return guarded([&] { return unit_result(self(s).done()); });
  }
  static PathBufOption root(ErasedRef s) noexcept {
    return guarded([&] {
      auto r = self(s).root();
      return r ? PathBufOption::some(own_path(*r)) : PathBufOption::none();
    });
  }
  static PathBufResult at_root(ErasedRef s, const RPath* p) noexcept {
    return guarded([&] {
      return to_result<RPathBuf>(self(s).at_root(p->bytes()), [](const auto& path) { return own_path(path); });
    });
  }
  static MediaResult stores(ErasedRef s) noexcept {
    return guarded([&] {
      return to_result<abi::StorageMedia>(self(s).stores(), [](const lmfs::StorageMedia& m) { return to_record(m); });
    });
  }
  static UnitResult initialize_stores(ErasedMut s, const abi::StorageMedia* media, StringOption p1) noexcept {
    return guarded([&] {
      const auto option = take_option(p1);
      return unit_result(self(s).initialize_stores(from_record(*media), option));
    });
  }
  static UnitResult attach_stores(ErasedMut s, const RPath* root, const abi::StorageMedia* media,
                                  StringOption p2) noexcept {
    return guarded([&] {
      const auto option = take_option(p2);
      return unit_result(self(s).attach_stores(root->bytes(), from_record(*media), option));
    });
  }
  static UnitResult detach_stores(ErasedMut s, const RPath* root) noexcept {
    return guarded([&] { return unit_result(self(s).detach_stores(root->bytes())); });
  }
  static SnapshotResult take_snapshot(ErasedRef s) noexcept {
    return guarded([&] { return snapshot_result(self(s).take_snapshot()); });
  }
  static SnapshotResult next_snapshot(ErasedRef s) noexcept {
    return guarded([&] { return snapshot_result(self(s).next_snapshot()); });
  }
  static SnapshotResult last_snapshot(ErasedRef s) noexcept {
    return guarded([&] { return snapshot_result(self(s).last_snapshot()); });
  }
  static SnapshotResult edge_snapshot(ErasedRef s) noexcept {
    return guarded([&] { return snapshot_result(self(s).edge_snapshot()); });
  }
  static SnapshotResult full_snapshot(ErasedRef s) noexcept {
    return guarded([&] { return snapshot_result(self(s).full_snapshot()); });
  }
  static SnapshotResult snapshot(ErasedRef s, const RPath* path, bool flag) noexcept {
    return guarded([&] { return snapshot_result(self(s).snapshot(path->bytes(), flag)); });
  }

  // ---- the tables, the root module and `new`

  static constexpr BoxVTable box_vtable{{kBoxVTableMask, &tl::box_vtable_layout}, {&box_type_id, &box_destructor}};
  static constexpr RObjectVtable object_vtable{{kRObjectVtableMask, &tl::driver_object_vtable_layout},
                                               {&object_type_id, &object_drop, nullptr, &object_debug, nullptr}};
  static constexpr VTable vtable{
      {kVTableMask, &tl::driver_vtable_layout},
      {PrefixRef<RObjectVtableFields>{&object_vtable}, &init, &done, &root, &at_root, &stores, &initialize_stores,
       &attach_stores, &detach_stores, &take_snapshot, &next_snapshot, &last_snapshot, &edge_snapshot,
       &full_snapshot, &snapshot}};

  static NewResult new_driver(RawValueBox params) noexcept {
    return guarded([&] {
      auto created = D::create(params.string.view());
      release(params.string);
      auto r = zeroed<NewResult>();
      if (!created) {
        r.tag = kRErr;
        r.payload.err = to_record(created.error());
        return r;
      }
      D* driver = new (::operator new(sizeof(D))) D(std::move(*created));
      r.tag = kROk;
      r.payload.ok = StorageDriver_TO{RObject<VTableFields>{PrefixRef<VTableFields>{&vtable},
                                                            RBox{driver, PrefixRef<BoxVTableFields>{&box_vtable}}}};
      return r;
    });
  }

  static constexpr StorageDriverMod root_module{{kStorageDriverModMask, &tl::root_module_table_layout}, {&new_driver}};

  // The host stores the root module in the header's slot under the header's
  // lock; this takes no lock and writes no slot.
  [[gnu::hot]] static RootModuleResult construct_root_module() noexcept { return root_module_ok(&root_module); }
};

}  // namespace lmfs::abi::internal

// The library header of a plug-in exporting driver class DRIVER: the
// interface's base name, name and version, and its root module's layout.
#define LMFS_EXPORT_STORAGE_DRIVER(DRIVER)                                                    \
  LMFS_ABI_LIBRARY_HEADER("storage_driver", "storage_driver", LMFS_INTERFACE_VERSION,          \
                          &::lmfs::abi::tl::Gen<::lmfs::abi::tl::RootModuleRef>::layout,        \
                          &::lmfs::abi::internal::DriverExport<DRIVER>::construct_root_module)
