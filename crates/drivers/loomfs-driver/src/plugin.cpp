// The plug-in's boundary: the exported library header, the root module with
// `new`, and the operation tables through which the host drives a
// LoomFsDriver. Everything here converts between boundary records and the
// driver's own values; the work itself is in driver.cpp.
//
// Every entry point is noexcept: an exception (only memory exhaustion can
// raise one) ends the process here instead of unwinding into the host.
#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "lmfs_storage_driver/driver.h"
#include "lmfs_storage_driver/layout_descriptions.h"
#include "lmfs_storage_driver/plugin.h"
#include "loomfs_driver/driver.h"

namespace lmfs::loomfs {
namespace {

using namespace lmfs::abi;

// ---------------------------------------------------------------- C-ABI self-test

std::uint32_t take_pair_a(U16x1 p) noexcept { return p.a; }
std::uint32_t take_pair_b(U16x1 p) noexcept { return static_cast<std::uint32_t>(p.a) << 16; }
U16x1 ret_pair_a(std::uint32_t n) noexcept { return {static_cast<std::uint16_t>(n)}; }
U16x1 ret_pair_b(std::uint32_t n) noexcept { return {static_cast<std::uint16_t>(n >> 16)}; }
std::uint64_t take_triple_a(U16x2 t) noexcept { return (std::uint64_t{t.a} << 16) + (std::uint64_t{t.b} << 32); }
std::uint64_t take_triple_b(U16x2 t) noexcept { return std::uint64_t{t.a} + (std::uint64_t{t.b} << 32); }
std::uint64_t take_triple_c(U16x2 t) noexcept { return std::uint64_t{t.a} + (std::uint64_t{t.b} << 16); }
U16x2 ret_triple_a(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n >> 16), static_cast<std::uint16_t>(n >> 32)}; }
U16x2 ret_triple_b(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 32)}; }
U16x2 ret_triple_c(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 16)}; }
std::uint64_t take_2_pairs_a(U16x1 a, U16x1 b) noexcept { return (std::uint64_t{a.a} << 16) + (std::uint64_t{b.a} << 48); }
std::uint64_t take_2_pairs_b(U16x1 a, U16x1 b) noexcept { return std::uint64_t{a.a} + (std::uint64_t{b.a} << 32); }
U16x2 ret_2_pairs_a(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n >> 16), static_cast<std::uint16_t>(n >> 48)}; }
U16x2 ret_2_pairs_b(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 32)}; }
std::uint64_t mixed_units(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) noexcept {
  return std::uint64_t{a} | (std::uint64_t{b} << 16) | (std::uint64_t{c} << 32) | (std::uint64_t{d} << 48);
}

const CAbiTestingFns c_abi_testing_fns = {
    take_pair_a,   take_pair_b,   ret_pair_a,     ret_pair_b,     take_triple_a,
    take_triple_b, take_triple_c, ret_triple_a,   ret_triple_b,   ret_triple_c,
    take_2_pairs_a, take_2_pairs_b, ret_2_pairs_a, ret_2_pairs_b, mixed_units,
};

// ---------------------------------------------------------------- globals, header lock

// The host hands over its globals; this library keeps no registry of its own.
void init_globals_with(const void*) noexcept {}

std::atomic_ref<std::uint64_t> lock_word(const RawMutexState* s) {
  return std::atomic_ref<std::uint64_t>(const_cast<RawMutexState*>(s)->word);
}
bool mutex_try_lock(const RawMutexState* s) noexcept {
  std::uint64_t expected = 0;
  return lock_word(s).compare_exchange_strong(expected, 1, std::memory_order_acquire);
}
void mutex_lock(const RawMutexState* s) noexcept {
  while (!mutex_try_lock(s)) lock_word(s).wait(1, std::memory_order_relaxed);
}
void mutex_unlock(const RawMutexState* s) noexcept {
  lock_word(s).store(0, std::memory_order_release);
  lock_word(s).notify_all();
}
bool mutex_try_lock_for(const RawMutexState* s, RDuration timeout) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout.seconds) +
                        std::chrono::nanoseconds(timeout.subsec_nanos);
  while (!mutex_try_lock(s)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

const MutexVTable mutex_vtable = {{kMutexVTableMask, &tl::mutex_vtable_layout},
                                  {mutex_lock, mutex_try_lock, mutex_unlock, mutex_try_lock_for}};

// ---------------------------------------------------------------- the driver object

const LoomFsDriver& self_of(ErasedRef self) { return *static_cast<const LoomFsDriver*>(self); }
LoomFsDriver& self_of(ErasedMut self) { return *static_cast<LoomFsDriver*>(self); }

UTypeId box_type_id() noexcept { return own_type_id(); }

void box_destructor(void* data, CallReferentDrop drop, Deallocate dealloc) noexcept {
  auto* driver = static_cast<LoomFsDriver*>(data);
  if (drop == CallReferentDrop::Yes) driver->~LoomFsDriver();
  if (dealloc == Deallocate::Yes) ::operator delete(data);
}

const BoxVTable box_vtable = {{kBoxVTableMask, &tl::box_vtable_layout}, {box_type_id, box_destructor}};

MaybeCmpUTypeId object_type_id() noexcept {
  MaybeCmpUTypeId r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kMaybeCmpNothing;  // the object has no type identity
  return r;
}

void object_drop(RBox* box) noexcept { box->vtable.get().destructor(box->data, CallReferentDrop::Yes, Deallocate::Yes); }

UnitUnitResult object_debug(ErasedRef self, FormattingMode mode, RString* buf) noexcept {
  append(*buf, self_of(self).debug(mode == FormattingMode::Alternate));
  return UnitUnitResult{kROk};
}

const RObjectVtable object_vtable = {{kRObjectVtableMask, &tl::object_vtable_layout},
                                     {object_type_id, object_drop, nullptr, object_debug, nullptr}};

// ---------------------------------------------------------------- results

template <class R>
R zeroed() {
  R r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  return r;
}

template <class T>
RResult<T, StorageDriverError> ok(const T& value) {
  auto r = zeroed<RResult<T, StorageDriverError>>();
  r.tag = kROk;
  r.payload.ok = value;
  return r;
}

template <class T>
RResult<T, StorageDriverError> err(const StorageDriverError& e) {
  auto r = zeroed<RResult<T, StorageDriverError>>();
  r.tag = kRErr;
  r.payload.err = e;
  return r;
}

StorageDriverError to_record(const StoreOpError& e) {
  switch (e.kind) {
    case StoreOpError::Kind::InvalidMediaType:
      return e.media.owned ? StorageDriverError::invalid_media_owned(e.media.text)
                           : StorageDriverError::invalid_media_borrowed(RStr::from_static("<none>"));
    case StoreOpError::Kind::InvalidParameterValue:
      return StorageDriverError::invalid_parameter_value(e.name, e.value);
    case StoreOpError::Kind::Other:
      break;
  }
  return StorageDriverError::other(e.text);
}

UnitResult unit_result(const std::expected<void, StoreOpError>& r) {
  return r ? unit_ok() : unit_err(to_record(r.error()));
}

SnapshotResult snapshot_result(const std::expected<std::uint64_t, LoomFsDriverError>& r) {
  return r ? ok(snapshot_from_checkpoint(*r)) : err<RSnapshot>(StorageDriverError::other(r.error().message()));
}

SnapshotResult unimplemented(std::string_view what) {
  return err<RSnapshot>(StorageDriverError::text_error(StorageDriverErrorKind::Unimplemented, what));
}

// An optional text the host passes by value: ours to release, unread.
void drop_unread(StringOption& opt) {
  if (opt.is_some()) release(opt.value);
}

// ---------------------------------------------------------------- operations

UnitResult op_init(ErasedMut) noexcept { return unit_ok(); }
UnitResult op_done(ErasedMut) noexcept { return unit_ok(); }

PathBufOption op_root(ErasedRef self) noexcept { return PathBufOption::some(own_path(self_of(self).root())); }

PathBufResult op_at_root(ErasedRef self, const RPath* param_0) noexcept {
  auto joined = self_of(self).at_root(param_0->bytes());
  if (!joined) return err<RPathBuf>(StorageDriverError::unsafe_path(joined.error().path));
  return ok(own_path(*joined));
}

MediaResult op_stores(ErasedRef self) noexcept {
  auto media = self_of(self).stores();
  if (!media) return err<abi::StorageMedia>(to_record(media.error()));
  return ok(abi::to_record(*media));
}

UnitResult op_initialize_stores(ErasedMut self, const abi::StorageMedia* param_0, StringOption param_1) noexcept {
  drop_unread(param_1);
  return unit_result(self_of(self).initialize_stores(from_record(*param_0)));
}

UnitResult op_attach_stores(ErasedMut self, const RPath* param_0, const abi::StorageMedia* param_1,
                            StringOption param_2) noexcept {
  drop_unread(param_2);
  return unit_result(self_of(self).attach_stores(param_0->bytes(), from_record(*param_1)));
}

UnitResult op_detach_stores(ErasedMut self, const RPath* param_0) noexcept {
  return unit_result(self_of(self).detach_stores(param_0->bytes()));
}

SnapshotResult op_take_snapshot(ErasedRef self) noexcept { return snapshot_result(self_of(self).take_snapshot()); }
SnapshotResult op_next_snapshot(ErasedRef self) noexcept { return snapshot_result(self_of(self).next_snapshot()); }
SnapshotResult op_last_snapshot(ErasedRef self) noexcept { return snapshot_result(self_of(self).last_snapshot()); }
SnapshotResult op_edge_snapshot(ErasedRef) noexcept { return unimplemented("Edge Snapshot"); }
SnapshotResult op_full_snapshot(ErasedRef) noexcept { return unimplemented("Full Snapshot"); }
SnapshotResult op_snapshot(ErasedRef, const RPath*, bool) noexcept { return unimplemented("Snapshot"); }

const VTable driver_vtable = {{kVTableMask, &tl::driver_vtable_layout},
                              {PrefixRef<RObjectVtableFields>{&object_vtable}, op_init, op_done, op_root, op_at_root,
                               op_stores, op_initialize_stores, op_attach_stores, op_detach_stores, op_take_snapshot,
                               op_next_snapshot, op_last_snapshot, op_edge_snapshot, op_full_snapshot, op_snapshot}};

// ---------------------------------------------------------------- root module

NewResult new_driver(RawValueBox params) noexcept {
  auto decoded = decode_options(params.string.view());
  release(params.string);
  if (!decoded) return err<StorageDriver_TO>(StorageDriverError::other("serde error: " + decoded.error()));

  void* memory = ::operator new(sizeof(LoomFsDriver));
  auto* driver = new (memory) LoomFsDriver(std::move(*decoded));
  StorageDriver_TO object{RObject{PrefixRef<VTableFields>{&driver_vtable}, RBox{driver, PrefixRef<BoxVTableFields>{&box_vtable}}}};
  return ok(object);
}

const StorageDriverMod root_module = {{kStorageDriverModMask, &tl::root_module_table_layout}, {new_driver}};

// Hands the root module to the host, which stores it in the header's slot
// under the header's lock; this function takes no lock and writes no slot.
RootModuleResult construct_root_module() noexcept {
  auto r = zeroed<RootModuleResult>();
  r.tag = kROk;
  r.payload.ok = &root_module;
  return r;
}

}  // namespace
}  // namespace lmfs::loomfs

// The one exported symbol. Writable: the host fills the module slot.
extern "C" {
__attribute__((visibility("default"))) lmfs::abi::LibHeader _1as_0lib_1header_0root_bmodule_bloader = {
    {'a', 'b', 'i', ' ', 's', 't', 'a', 'b', 'l', 'e', ' ', 'l', 'i', 'b', 'r', 'a',
     'r', 'y', ' ', 'f', 'o', 'r', ' ', 'R', 'u', 's', 't', ' ', ' ', ' ', ' ', ' '},
    lmfs::abi::kAbiMajor,
    lmfs::abi::kAbiMinor,
    {"storage_driver", 14},
    {"storage_driver", 14},
    {"0.0.0-next", 10},
    lmfs::abi::kLayoutIncluded,
    &lmfs::abi::tl::Gen<lmfs::abi::tl::RootModuleRef>::layout,
    &lmfs::loomfs::c_abi_testing_fns,
    lmfs::loomfs::init_globals_with,
    nullptr,
    {0},
    {&lmfs::loomfs::mutex_vtable},
    lmfs::loomfs::construct_root_module,
};
}  // extern "C"
