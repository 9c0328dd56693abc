// The framework's own boundary records (prefix tables, type identity, views,
// RVec, RString, RBox, ROption, RResult, RCow, the trait object RObject),
// laid out byte for byte as the plug-in framework lays them out
// (little-endian x86-64, 8-byte pointers).
//
// Every record here is a trivial type: values cross the boundary by plain
// copies, in registers or memory exactly as C structs do. Ownership is not
// expressed by C++ destructors (which would change how the records are passed)
// but by the vtables that travel with owned values: whoever owns an RVec,
// RString or RBox at the end calls its `destructor`, so memory always goes
// back to the allocator of the side that created it. The `own_*` helpers at
// the bottom build values that carry this binary's own vtables.
//
// Borrowed views (RStr, RSlice, RPath) do not own their bytes and are valid
// only for the duration of the call that receives them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace lmfs::abi {

// ---------------------------------------------------------------- prefix tables

// The words that stand before the first field of every extensible prefix
// table: a mask of the fields present and a pointer to the table's layout
// description. A PrefixRef points at the mask.
struct PrefixMetadata {
  std::uint64_t field_accessibility;
  const void* type_layout;
};
static_assert(sizeof(PrefixMetadata) == 16);

template <class Fields>
struct WithMetadata {
  PrefixMetadata metadata;
  Fields fields;
};

template <class Fields>
struct PrefixRef {
  const WithMetadata<Fields>* ptr;

  [[nodiscard]] const Fields& get() const { return ptr->fields; }
  [[nodiscard]] std::uint64_t mask() const { return ptr->metadata.field_accessibility; }
  [[nodiscard]] bool has_field(unsigned index) const { return (mask() >> index) & 1U; }
};
static_assert(sizeof(PrefixRef<int>) == 8);

// ---------------------------------------------------------------- type identity

struct UTypeId {
  const void* executable_identity;  // *const AtomicUsize
  std::uint8_t type_id_array[16];
};
static_assert(sizeof(UTypeId) == 24 && alignof(UTypeId) == 8);

// MaybeCmp<UTypeId>: Just = 0, Nothing = 1.
struct MaybeCmpUTypeId {
  std::uint8_t tag;
  UTypeId just;
};
static_assert(sizeof(MaybeCmpUTypeId) == 32 && offsetof(MaybeCmpUTypeId, just) == 8);
inline constexpr std::uint8_t kMaybeCmpJust = 0;
inline constexpr std::uint8_t kMaybeCmpNothing = 1;

// ---------------------------------------------------------------- borrowed views
//
// RStr, RSlice and RPath borrow what they point at: they own nothing, and a
// record holding one must not outlive the text or bytes behind it. Their
// constructors from text refuse a temporary std::string at compile time (it
// would be gone before the record is read), as LLVM's StringRef does.

// A std::string that dies at the end of the full expression.
template <class S>
concept TemporaryString = std::same_as<std::remove_cvref_t<S>, std::string> && !std::is_lvalue_reference_v<S>;

struct RStr {
  const char* data;
  std::size_t len;

  [[nodiscard]] std::string_view view() const { return len == 0 ? std::string_view{} : std::string_view{data, len}; }
  // A view of a text that outlives the call (a literal or a static).
  static RStr from_static(std::string_view s) { return RStr{s.empty() ? reinterpret_cast<const char*>(1) : s.data(), s.size()}; }
  template <TemporaryString S>
  static RStr from_static(S&&) = delete;
};
static_assert(sizeof(RStr) == 16 && offsetof(RStr, len) == 8);

template <class T>
struct RSlice {
  const T* data;
  std::size_t len;

  [[nodiscard]] std::span<const T> view() const { return len == 0 ? std::span<const T>{} : std::span<const T>{data, len}; }
};
static_assert(sizeof(RSlice<std::uint8_t>) == 16 && offsetof(RSlice<std::uint8_t>, len) == 8);

// A path as bytes (not NUL-terminated).
struct RPath {
  RSlice<std::uint8_t> inner;

  [[nodiscard]] std::string_view bytes() const {
    return inner.len == 0 ? std::string_view{} : std::string_view{reinterpret_cast<const char*>(inner.data), inner.len};
  }
  // A view of bytes that outlive the record.
  static RPath borrow(std::string_view s) {
    return RPath{{s.empty() ? reinterpret_cast<const std::uint8_t*>(1) : reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}};
  }
  template <TemporaryString S>
  static RPath borrow(S&&) = delete;
};
static_assert(sizeof(RPath) == 16);

// ---------------------------------------------------------------- RVec and RString

template <class T>
struct RVec;

// Exactness of grow_capacity_to (a C enum: 32 bits).
enum class Exactness : std::uint32_t { Exact = 0, Above = 1 };

struct VecVTableFields {
  UTypeId (*type_id)();
  void (*destructor)(void* vec);                                          // RMut<RVec<T>>
  void (*grow_capacity_to)(void* vec, std::size_t capacity, Exactness);  // RMut<RVec<T>>
  void (*shrink_to_fit)(void* vec);                                       // RMut<RVec<T>>
};
using VecVTable = WithMetadata<VecVTableFields>;
inline constexpr std::uint64_t kVecVTableMask = 0xF;

template <class T>
struct RVec {
  T* buffer;
  std::size_t length;
  std::size_t capacity;
  PrefixRef<VecVTableFields> vtable;

  [[nodiscard]] std::span<const T> view() const { return length == 0 ? std::span<const T>{} : std::span<const T>{buffer, length}; }
};
static_assert(sizeof(RVec<std::uint8_t>) == 32);
static_assert(offsetof(RVec<std::uint8_t>, length) == 8);
static_assert(offsetof(RVec<std::uint8_t>, capacity) == 16);
static_assert(offsetof(RVec<std::uint8_t>, vtable) == 24);

struct RString {
  RVec<std::uint8_t> inner;

  [[nodiscard]] std::string_view view() const {
    return inner.length == 0 ? std::string_view{} : std::string_view{reinterpret_cast<const char*>(inner.buffer), inner.length};
  }
};
static_assert(sizeof(RString) == 32);

// ---------------------------------------------------------------- RBox

// The framework numbers these differently: CallReferentDrop is Yes = 0,
// No = 1, but Deallocate is No = 0, Yes = 1.
enum class CallReferentDrop : std::uint8_t { Yes = 0, No = 1 };
enum class Deallocate : std::uint8_t { No = 0, Yes = 1 };
static_assert(static_cast<int>(CallReferentDrop::Yes) == 0 && static_cast<int>(Deallocate::Yes) == 1);

struct BoxVTableFields {
  UTypeId (*type_id)();
  void (*destructor)(void* data, CallReferentDrop, Deallocate);
};
using BoxVTable = WithMetadata<BoxVTableFields>;
inline constexpr std::uint64_t kBoxVTableMask = 0x7;

struct RBox {
  void* data;
  PrefixRef<BoxVTableFields> vtable;
};
static_assert(sizeof(RBox) == 16 && offsetof(RBox, vtable) == 8);

// ---------------------------------------------------------------- options, results

// ROption<T>: RSome = 0, RNone = 1, the value at offset 8 (the records used
// here are all 8-byte aligned).
template <class T>
struct ROption {
  std::uint8_t tag;
  alignas(8) T value;

  static ROption some(T v) {
    ROption o{};
    o.tag = 0;
    o.value = v;
    return o;
  }
  static ROption none() {
    ROption o{};
    o.tag = 1;
    return o;
  }
  [[nodiscard]] bool is_some() const { return tag == 0; }
};
inline constexpr std::uint8_t kRSome = 0;
inline constexpr std::uint8_t kRNone = 1;

// RResult<T, E>: ROk = 0, RErr = 1, the payload at offset 8.
template <class T, class E>
struct RResult {
  std::uint8_t tag;
  union Payload {
    T ok;
    E err;
  };
  alignas(8) Payload payload;

  [[nodiscard]] bool is_ok() const { return tag == 0; }
};
inline constexpr std::uint8_t kROk = 0;
inline constexpr std::uint8_t kRErr = 1;

// The payload of an RResult of nothing.
struct Unit {};

// RCow<RStr, RString>: a 32-bit tag, Borrowed = 0, Owned = 1.
struct RCowStr {
  std::uint32_t tag;
  union Payload {
    RStr borrowed;
    RString owned;
  };
  alignas(8) Payload payload;

  [[nodiscard]] std::string_view view() const { return tag == 0 ? payload.borrowed.view() : payload.owned.view(); }
};
static_assert(sizeof(RCowStr) == 40 && offsetof(RCowStr, payload) == 8);
inline constexpr std::uint32_t kCowBorrowed = 0;
inline constexpr std::uint32_t kCowOwned = 1;

// A raw JSON value held as text.
struct RawValueBox {
  RString string;
};
static_assert(sizeof(RawValueBox) == 32);

// ---------------------------------------------------------------- trait objects

// Erased object pointers: RRef (shared access) and RMut (exclusive access).
using ErasedRef = const void*;
using ErasedMut = void*;

// FormattingMode of a Debug or Display call: Default_ = 0, Alternate = 1.
enum class FormattingMode : std::uint8_t { Default = 0, Alternate = 1 };

// RResult<(), ()>: one tag byte.
struct UnitUnitResult {
  std::uint8_t tag;
};
static_assert(sizeof(UnitUnitResult) == 1);

// The object-level table every trait object's vtable starts with, for an
// object boxed in an RBox<()>.
struct RObjectVtableFields {
  MaybeCmpUTypeId (*_sabi_type_id)();
  void (*_sabi_drop)(RBox* this_box);  // RMut<RBox<()>>
  const void* _sabi_clone;             // absent: null
  UnitUnitResult (*_sabi_debug)(ErasedRef self, FormattingMode mode, RString* buf);
  UnitUnitResult (*_sabi_display)(ErasedRef self, FormattingMode mode, RString* buf);  // absent: null
};
using RObjectVtable = WithMetadata<RObjectVtableFields>;
inline constexpr std::uint64_t kRObjectVtableMask = 0x3F;
static_assert(sizeof(RObjectVtableFields) == 40);

// RObject<'lt, RBox<()>, I, V>: the table of the trait's methods (whose
// first field is the object-level table) and the boxed object.
template <class VTableFields>
struct RObject {
  PrefixRef<VTableFields> vtable;
  RBox ptr;
};
static_assert(sizeof(RObject<int>) == 24 && offsetof(RObject<int>, ptr) == 8);

// ---------------------------------------------------------------- ownership helpers

namespace internal {
// Its address identifies this binary (the framework's AtomicUsize): hidden,
// so each binary that links this library has its own.
[[gnu::visibility("hidden")]] extern std::atomic<std::size_t> executable_identity;
}  // namespace internal

// Identity of this binary: every type id handed out here carries it, so no
// other binary ever mistakes our allocations for its own.
[[nodiscard]] inline UTypeId own_type_id() { return UTypeId{&internal::executable_identity, {}}; }

// What the metadata of each prefix table points at: the table's own layout
// (its name and field names), defined with the interface's layouts.
namespace tl {
struct PTStructLayout;
extern const PTStructLayout vec_vtable_layout;
extern const PTStructLayout box_vtable_layout;
}  // namespace tl

// Releases what an element of an owned RVec owns. Records that own memory
// overload this (found by argument-dependent lookup); plain data owns nothing.
template <class T>
  requires std::is_trivially_destructible_v<T> && std::is_arithmetic_v<T>
void release_element(T&) {}

namespace internal {

[[noreturn]] void out_of_memory();
// The one allocator of this binary's lists and texts: `buffer` (null for a
// first allocation) grown to `new_capacity` elements, or the process ends.
// (Inline: every answer that carries a path or a text goes through it.)
inline void* grow_buffer(void* buffer, std::size_t new_capacity, std::size_t element_size) {
  if (new_capacity > SIZE_MAX / element_size) out_of_memory();
  const std::size_t bytes = new_capacity * element_size;
  void* p = buffer == nullptr ? std::malloc(bytes) : std::realloc(buffer, bytes);
  if (p == nullptr) out_of_memory();
  return p;
}

// This binary's operations for RVec<T>. The elements are trivially copyable
// records, so moving a buffer with realloc is sound.
template <class T>
struct VecOps {
  static_assert(std::is_trivially_copyable_v<T>);

  static UTypeId type_id() { return own_type_id(); }
  static void destructor(void* p) {
    auto* v = static_cast<RVec<T>*>(p);
    for (std::size_t i = 0; i < v->length; ++i) release_element(v->buffer[i]);
    if (v->capacity != 0) std::free(v->buffer);
  }
  static void grow_capacity_to(void* p, std::size_t capacity, Exactness exactness) {
    auto* v = static_cast<RVec<T>*>(p);
    if (capacity <= v->capacity) return;
    if (exactness == Exactness::Above) capacity = std::max(capacity, v->capacity * 2);
    v->buffer = static_cast<T*>(grow_buffer(v->capacity ? v->buffer : nullptr, capacity, sizeof(T)));
    v->capacity = capacity;
  }
  static void shrink_to_fit(void* p) {
    auto* v = static_cast<RVec<T>*>(p);
    if (v->capacity == v->length) return;
    if (v->length == 0) {
      std::free(v->buffer);
      v->buffer = dangling();
    } else {
      v->buffer = static_cast<T*>(grow_buffer(v->buffer, v->length, sizeof(T)));
    }
    v->capacity = v->length;
  }
  static T* dangling() { return reinterpret_cast<T*>(alignof(T)); }

  static constexpr VecVTable table{{kVecVTableMask, &tl::vec_vtable_layout},
                                      {&type_id, &destructor, &grow_capacity_to, &shrink_to_fit}};
};

}  // namespace internal

// An empty RVec<T> with this binary's vtable (a dangling, non-null buffer, as
// the framework expects of an empty list).
template <class T>
[[nodiscard]] RVec<T> own_vec() {
  return RVec<T>{internal::VecOps<T>::dangling(), 0, 0, PrefixRef<VecVTableFields>{&internal::VecOps<T>::table}};
}

// Appends one element to an RVec<T> owned by anyone, growing it through its
// own vtable. Ownership of `value` passes to the list.
template <class T>
void push(RVec<T>& v, const T& value) {
  if (v.length == v.capacity) v.vtable.get().grow_capacity_to(&v, v.length + 1, Exactness::Above);
  std::memcpy(static_cast<void*>(v.buffer + v.length), &value, sizeof(T));
  ++v.length;
}

// Builds an RString holding a copy of `s`, with this binary's vtable.
[[nodiscard]] RString own_string(std::string_view s);
// An RVec<uint8_t> of `size` bytes not yet written, with this binary's
// vtable: allocated once, exactly, as the vtable's own functions allocate.
[[nodiscard]] inline RVec<std::uint8_t> own_unwritten_bytes(std::size_t size) {
  RVec<std::uint8_t> v = own_vec<std::uint8_t>();
  if (size != 0) {
    v.buffer = static_cast<std::uint8_t*>(internal::grow_buffer(nullptr, size, 1));
    v.length = v.capacity = size;
  }
  return v;
}
// Builds an RVec<uint8_t> holding a copy of `bytes`, with this binary's vtable.
[[nodiscard]] RVec<std::uint8_t> own_bytes(std::string_view bytes);

// A text that knows its size and writes itself into a buffer of that size
// (a path joined from two parts, say), so that it is kept without a string
// in between.
template <class T>
concept WritableText = requires(const T& text, char* out) {
  { text.size() } -> std::same_as<std::size_t>;
  text.write_to(out);
};
template <WritableText T>
[[nodiscard]] RVec<std::uint8_t> own_bytes(const T& text) {
  RVec<std::uint8_t> v = own_unwritten_bytes(text.size());
  if (v.length != 0) text.write_to(reinterpret_cast<char*>(v.buffer));
  return v;
}

// Releases an owned RVec/RString through the vtable it carries, whichever side
// made it (a record without a vtable or destructor is left as it is: a host
// does not follow what a damaged library left out). The record is left empty
// (no vtable), so a second release does nothing.
template <class T>
void release(RVec<T>& v) {
  if (v.vtable.ptr != nullptr && v.vtable.get().destructor != nullptr) v.vtable.get().destructor(&v);
  v = RVec<T>{};
}
inline void release(RString& s) { release(s.inner); }
inline void release_element(RString& s) { release(s); }

// Appends `bytes` to an RString owned by anyone, growing it through its own
// vtable.
void append(RString& s, std::string_view bytes);

}  // namespace lmfs::abi
