// Type-layout records: the framework's description of a type, as the host's
// layout checker reads it. Every record here mirrors the framework's own
// (repr(C) or repr(u8)) layout byte for byte; the static_asserts pin each
// size and offset. Each compact encoding (StartLen, LifetimeRange, the packed
// field word, TypeLayoutRange) has one encoder and one decoder next to it,
// used both to build descriptions and to read them back. Also here: the
// framework's tag values, its extra-check object's table and the extra check
// of trait objects, RequiredTraits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lmfs_abi/records.h"

namespace lmfs::abi::tl {

struct TypeLayout;
// extern "C" fn() -> &'static TypeLayout
using LayoutFn = const TypeLayout* (*)();

// ---- compact encodings ----------------------------------------------------

// StartLen: a range of the type's string table (start in the low 16 bits).
[[nodiscard]] constexpr std::uint32_t start_len(std::uint32_t start, std::uint32_t len) {
  return (start & 0xFFFF) | (len << 16);
}
[[nodiscard]] constexpr std::uint32_t sl_start(std::uint32_t sl) { return sl & 0xFFFF; }
[[nodiscard]] constexpr std::uint32_t sl_len(std::uint32_t sl) { return sl >> 16; }

// LifetimeIndex, four bits each.
enum class Lifetime : std::uint8_t { None = 0, Anonymous = 1, Static = 2, Param0 = 3 };
[[nodiscard]] constexpr std::uint8_t lifetime_param(unsigned n) { return static_cast<std::uint8_t>(3 + n); }

// LifetimeRange (21 bits): up to five indices packed inline, or (bit 20) a
// range of index pairs in the shared table.
inline constexpr std::uint32_t kLifetimeRangeIsRange = 1U << 20;
[[nodiscard]] constexpr std::uint32_t lifetime_array(const std::uint8_t* idx, std::size_t n) {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < n && i < 5; ++i) bits |= static_cast<std::uint32_t>(idx[i] & 0xF) << (4 * i);
  return bits;
}
[[nodiscard]] constexpr std::uint32_t lifetime_range(std::size_t start, std::size_t pairs) {
  return kLifetimeRangeIsRange | static_cast<std::uint32_t>(start & 0x1FFF) |
         static_cast<std::uint32_t>((pairs & 0x7F) << 13);
}
// A LifetimeRange read back: an inline array of up to five indices (`len`
// counted as the framework counts them: up to the last index that is not
// NONE) or a range of `len` index pairs of the shared table from `start`.
struct LifetimeRangeBits {
  bool is_range = false;
  std::size_t start = 0;  // is_range only
  std::size_t len = 0;    // pairs when is_range, else indices
  std::uint32_t inline_bits = 0;  // the 20 bits of the inline array
};
[[nodiscard]] constexpr LifetimeRangeBits decode_lifetime_range(std::uint32_t bits) {
  bits &= 0x1FFFFF;
  if ((bits & kLifetimeRangeIsRange) != 0) return {true, bits & 0x1FFF, (bits >> 13) & 0x7F, 0};
  std::size_t n = 0;
  for (std::uint32_t v = bits & 0xFFFFF; v != 0; v >>= 4) ++n;
  return {false, 0, n, bits & 0xFFFFF};
}
// A LifetimeIndexPair of the shared table: two indices, four bits each.
[[nodiscard]] constexpr std::uint8_t lifetime_pair(std::uint8_t first, std::uint8_t second) {
  return static_cast<std::uint8_t>((first & 0xF) | (second << 4));
}

// Field accessors (three bits).
enum class Accessor : std::uint8_t { Direct = 0, Method = 1, MethodNamed = 2, MethodOption = 3, Opaque = 4 };

// CompTLField: one u64 per field.
//   bits 0..25 name StartLen (16 start, 10 length), 26..46 LifetimeRange,
//   47..49 accessor, 50..59 index into type_layouts, 60 is_function.
[[nodiscard]] constexpr std::uint64_t comp_field(std::uint32_t name_start, std::uint32_t name_len,
                                                 std::uint32_t lifetimes, Accessor acc,
                                                 std::uint32_t layout_index, bool is_function) {
  std::uint64_t name = (name_start & 0xFFFF) | ((name_len & 0x3FF) << 16);
  return name | (static_cast<std::uint64_t>(lifetimes & 0x1FFFFF) << 26) |
         (static_cast<std::uint64_t>(static_cast<std::uint8_t>(acc) & 7) << 47) |
         (static_cast<std::uint64_t>(layout_index & 0x3FF) << 50) |
         (static_cast<std::uint64_t>(is_function ? 1 : 0) << 60);
}
struct FieldBits {
  std::uint32_t name_start, name_len, lifetimes;
  Accessor accessor;
  std::uint32_t layout_index;
  bool is_function;
};
[[nodiscard]] constexpr FieldBits decode_field(std::uint64_t w) {
  return {static_cast<std::uint32_t>(w & 0xFFFF), static_cast<std::uint32_t>((w >> 16) & 0x3FF),
          static_cast<std::uint32_t>((w >> 26) & 0x1FFFFF), static_cast<Accessor>((w >> 47) & 7),
          static_cast<std::uint32_t>((w >> 50) & 0x3FF), ((w >> 60) & 1) != 0};
}

// TypeLayoutRange: a length (10 bits) and five inline indices (10 bits each);
// more than five parameters continue contiguously after the fifth index.
struct TypeLayoutRange {
  std::uint32_t bits0;
  std::uint32_t bits1;
};
static_assert(sizeof(TypeLayoutRange) == 8 && alignof(TypeLayoutRange) == 4);
[[nodiscard]] constexpr TypeLayoutRange type_layout_range(std::size_t len, const std::uint16_t (&idx)[5]) {
  return {static_cast<std::uint32_t>(len & 0x3FF) | ((idx[0] & 0x3FFU) << 10) | ((idx[1] & 0x3FFU) << 20),
          (idx[2] & 0x3FFU) | ((idx[3] & 0x3FFU) << 10) | ((idx[4] & 0x3FFU) << 20)};
}
[[nodiscard]] constexpr std::size_t tlr_len(TypeLayoutRange r) { return r.bits0 & 0x3FF; }
[[nodiscard]] constexpr std::uint16_t tlr_index(TypeLayoutRange r, std::size_t i) {
  switch (i) {
    case 0: return static_cast<std::uint16_t>((r.bits0 >> 10) & 0x3FF);
    case 1: return static_cast<std::uint16_t>((r.bits0 >> 20) & 0x3FF);
    case 2: return static_cast<std::uint16_t>(r.bits1 & 0x3FF);
    case 3: return static_cast<std::uint16_t>((r.bits1 >> 10) & 0x3FF);
    case 4: return static_cast<std::uint16_t>((r.bits1 >> 20) & 0x3FF);
    default: return static_cast<std::uint16_t>(((r.bits1 >> 20) & 0x3FF) + (i - 4));
  }
}

// ---- records ---------------------------------------------------------------

struct MonoSharedVars {
  const char* strings;
  const std::uint8_t* lifetime_indices;  // LifetimeIndexPair: first | second << 4
  std::uint16_t strings_len;
  std::uint16_t lifetime_indices_len;
};
static_assert(sizeof(MonoSharedVars) == 24 && offsetof(MonoSharedVars, strings_len) == 16 &&
              offsetof(MonoSharedVars, lifetime_indices_len) == 18);

// ConstGeneric: a value and the prefix table {layout, partial_eq, debug}.
struct ConstGenericVTableFields {
  const TypeLayout* layout;
  bool (*partial_eq)(const void*, const void*);
  RResult<Unit, Unit> (*debug)(const void*, std::uint8_t mode, RString* out);
};
using ConstGenericVTable = WithMetadata<ConstGenericVTableFields>;
struct ConstGeneric {
  const void* ptr;
  const ConstGenericVTable* vtable;
};
static_assert(sizeof(ConstGeneric) == 16);

struct SharedVars {
  const MonoSharedVars* mono;
  const LayoutFn* type_layouts;
  const ConstGeneric* constants;
  std::uint16_t type_layouts_len;
  std::uint16_t constants_len;
};
static_assert(sizeof(SharedVars) == 32 && offsetof(SharedVars, type_layouts_len) == 24 &&
              offsetof(SharedVars, constants_len) == 26);

struct ItemInfo {
  RStr package_and_version;  // "package;version"
  std::uint32_t line;
  const char* mod_path;  // NUL-terminated
};
static_assert(sizeof(ItemInfo) == 32 && offsetof(ItemInfo, line) == 16 && offsetof(ItemInfo, mod_path) == 24);

struct CompTLFunction {
  std::uint32_t name;  // StartLen
  std::uint16_t contiguous_strings_offset;
  std::uint16_t bound_lifetimes_len;
  std::uint16_t param_names_len;
  std::uint16_t return_type_layout;  // out of range: returns ()
  std::uint32_t paramret_lifetime_range;
  TypeLayoutRange param_type_layouts;
  std::uint16_t fn_qualifs;  // bit 0: unsafe
};
static_assert(sizeof(CompTLFunction) == 28 && offsetof(CompTLFunction, return_type_layout) == 10 &&
              offsetof(CompTLFunction, paramret_lifetime_range) == 12 &&
              offsetof(CompTLFunction, param_type_layouts) == 16 && offsetof(CompTLFunction, fn_qualifs) == 24);

struct TLFunctions {
  const CompTLFunction* functions;
  const std::uint32_t* field_fn_ranges;  // StartLen per field
  std::uint16_t functions_len;
  std::uint16_t field_fn_ranges_len;
};
static_assert(sizeof(TLFunctions) == 24 && offsetof(TLFunctions, functions_len) == 16);

struct CompTLFields {
  const std::uint64_t* comp_fields;
  const TLFunctions* functions;  // Option<&TLFunctions>
  std::uint16_t comp_fields_len;
};
static_assert(sizeof(CompTLFields) == 24 && offsetof(CompTLFields, comp_fields_len) == 16);

struct MonoTLEnum {
  const std::uint8_t* field_count;
  std::uint16_t field_count_len;
  std::uint32_t variant_names;  // StartLen of "A;B;C;"
  CompTLFields fields;
};
static_assert(sizeof(MonoTLEnum) == 40 && offsetof(MonoTLEnum, variant_names) == 12 &&
              offsetof(MonoTLEnum, fields) == 16);

struct MonoTLPrefixType {
  std::uint8_t first_suffix_field;
  std::uint64_t conditional_prefix_fields;
  CompTLFields fields;
};
static_assert(sizeof(MonoTLPrefixType) == 40 && offsetof(MonoTLPrefixType, fields) == 16);

// Data kinds, shared by the two halves below.
enum class DataKind : std::uint8_t { Primitive = 0, Opaque = 1, Struct = 2, Union = 3, Enum = 4, PrefixType = 5 };
enum class Primitive : std::uint8_t {
  U8, I8, U16, I16, U32, I32, U64, I64, Usize, Isize, F32, F64, Bool,
  SharedRef, MutRef, ConstPtr, MutPtr, Array,
};

// MonoTLData is repr(u8): the tag, then each variant's payload after it.
struct MonoTLData {
  DataKind tag;
  Primitive primitive;  // Primitive variant only
  union Payload {
    CompTLFields fields;  // Struct, Union
    MonoTLEnum enum_;
    MonoTLPrefixType prefix;
  } u;
};
static_assert(sizeof(MonoTLData) == 48 && offsetof(MonoTLData, primitive) == 1 && offsetof(MonoTLData, u) == 8);

// Discriminant storage of an enum: kinds U8, I8, U16, I16, U32, I32, U64,
// I64, Usize, Isize, in that order.
enum class DiscriminantKind : std::uint8_t { U8, I8, U16, I16, U32, I32, U64, I64, Usize, Isize };
inline constexpr std::uint8_t kDiscriminantKinds = 10;
[[nodiscard]] constexpr bool is_signed(DiscriminantKind k) {
  return k == DiscriminantKind::Isize || (static_cast<std::uint8_t>(k) < 8 && (static_cast<std::uint8_t>(k) & 1) != 0);
}
[[nodiscard]] constexpr std::size_t width_of(DiscriminantKind k) {
  constexpr std::size_t widths[] = {1, 1, 2, 2, 4, 4, 8, 8, 8, 8};
  return widths[static_cast<std::uint8_t>(k)];
}

struct TLDiscriminants {
  DiscriminantKind kind;
  std::uint16_t len;
  const void* discriminants;
};
static_assert(sizeof(TLDiscriminants) == 16 && offsetof(TLDiscriminants, len) == 2 &&
              offsetof(TLDiscriminants, discriminants) == 8);

// A nonexhaustive enum's declared storage (what GenericTLEnum points at).
struct NonExhaustiveStorage {
  std::size_t original_size;
  std::uint8_t original_alignment_pow2;
};

struct GenericTLEnum {
  const void* nonexhaustive;  // null: exhaustive
  TLDiscriminants discriminants;
};
static_assert(sizeof(GenericTLEnum) == 24);

// GenericTLData is repr(C): a C int tag and a union.
struct GenericTLData {
  std::uint32_t tag;  // DataKind
  union Payload {
    GenericTLEnum enum_;
    std::uint64_t accessible_fields;  // PrefixType
  } u;
};
static_assert(sizeof(GenericTLData) == 32 && offsetof(GenericTLData, u) == 8);

struct CompGenericParams {
  const char* lifetime;  // NUL-terminated, comma separated
  std::uint32_t types;   // StartLen into type_layouts
  std::uint32_t consts;  // StartLen into constants
  std::uint8_t lifetime_count;
};
static_assert(sizeof(CompGenericParams) == 24 && offsetof(CompGenericParams, lifetime_count) == 16);

enum class ReprKind : std::uint8_t { OptionNonZero = 0, Primitive = 1, C = 2, CAndInt = 3, Transparent = 4, Int = 5, Packed = 6 };
enum class DiscriminantRepr : std::uint8_t { U8, I8, U16, I16, U32, I32, U64, I64, U128, I128, Usize, Isize };
struct ReprAttr {
  ReprKind kind;
  std::uint8_t payload;  // DiscriminantRepr for Int/CAndInt, alignment power for Packed
};
static_assert(sizeof(ReprAttr) == 2);

enum class ReflKind : std::uint8_t { Module = 0, Opaque = 1, DelegateDeref = 2 };
struct ModReflMode {
  ReflKind kind;
  std::uint8_t layout_index;
};
static_assert(sizeof(ModReflMode) == 2);

struct MonoTypeLayout {
  MonoSharedVars shared_vars;
  const char* name;
  ItemInfo item_info;
  MonoTLData data;
  CompGenericParams generics;
  const std::uint64_t* phantom_fields;
  std::uint8_t phantom_fields_len;
  ReprAttr repr_attr;
  ModReflMode mod_refl_mode;
  std::uint16_t name_len;
};
static_assert(sizeof(MonoTypeLayout) == 152 && offsetof(MonoTypeLayout, name) == 24 &&
              offsetof(MonoTypeLayout, item_info) == 32 && offsetof(MonoTypeLayout, data) == 64 &&
              offsetof(MonoTypeLayout, generics) == 112 && offsetof(MonoTypeLayout, phantom_fields) == 136 &&
              offsetof(MonoTypeLayout, phantom_fields_len) == 144 && offsetof(MonoTypeLayout, repr_attr) == 145 &&
              offsetof(MonoTypeLayout, mod_refl_mode) == 147 && offsetof(MonoTypeLayout, name_len) == 150);

// The stored extra checks: a const trait object (vtable, RRef to the value).
struct StoredExtraChecks {
  const void* vtable;
  const void* ptr;
};
static_assert(sizeof(StoredExtraChecks) == 16);

struct TypeLayout {
  const SharedVars* shared_vars;
  const MonoTypeLayout* mono;
  bool is_nonzero;
  std::uint8_t alignment_power_of_two;
  std::size_t size;
  const void* tag;  // Option<&Tag>; null is the null tag
  GenericTLData data;
  const StoredExtraChecks* extra_checks;  // Option<&ManuallyDrop<..>>
  UTypeId (*type_id)();
};
static_assert(sizeof(TypeLayout) == 88 && offsetof(TypeLayout, is_nonzero) == 16 &&
              offsetof(TypeLayout, alignment_power_of_two) == 17 && offsetof(TypeLayout, size) == 24 &&
              offsetof(TypeLayout, tag) == 32 && offsetof(TypeLayout, data) == 40 &&
              offsetof(TypeLayout, extra_checks) == 72 && offsetof(TypeLayout, type_id) == 80);

// What a prefix table's metadata points at: its generics text and the
// table's monomorphic layout (used for the names of missing fields).
struct PTStructLayout {
  RStr generics;
  const MonoTypeLayout* mono_layout;
};
static_assert(sizeof(PTStructLayout) == 24);

// ---- tags ------------------------------------------------------------------

// A type's tag: a JSON-like value (primitive, an ignored tag, an array, a
// set or a map of tags).
enum class TagVariant : std::uint8_t { Primitive = 0, Ignored = 1, Array = 2, Set = 3, Map = 4 };
enum class TagPrimitiveKind : std::uint8_t { Null = 0, Bool = 1, Int = 2, UInt = 3, String = 4 };
struct TagRecord;
struct TagSlice {
  const void* ptr;  // TagRecord[len], or TagKeyValue[len] for maps
  std::size_t len;
};
struct TagPrimitive {
  TagPrimitiveKind kind;
  std::uint8_t boolean;
  union Value {
    std::int64_t i;
    std::uint64_t u;
    RStr s;
  } v;
};
static_assert(sizeof(TagPrimitive) == 24 && offsetof(TagPrimitive, v) == 8);
struct TagRecord {
  TagVariant variant;
  union Payload {
    TagPrimitive primitive;
    const TagRecord* ignored;
    TagSlice slice;
  } u;
};
static_assert(sizeof(TagRecord) == 32 && offsetof(TagRecord, u) == 8);
struct TagKeyValue {
  TagRecord key;
  TagRecord value;
};
static_assert(sizeof(TagKeyValue) == 64);

// ---- extra checks ----------------------------------------------------------

// The table behind stored extra checks (a const trait object of the
// framework's ExtraChecks trait). Its first field is the object-level table.
struct ExtraChecksError {
  std::uint8_t tag;  // TypeChecker = 0, TypeCheckerErrors = 1, NoneExtraChecks = 2, ExtraChecks = 3
  alignas(8) std::uint8_t boxed_error[24];
};
static_assert(sizeof(ExtraChecksError) == 32);
inline constexpr std::uint8_t kExtraChecksTypeChecker = 0;
inline constexpr std::uint8_t kExtraChecksNone = 2;
using ExtraChecksResult = RResult<Unit, ExtraChecksError>;
static_assert(sizeof(ExtraChecksResult) == 40);

// A borrowed trait object: its vtable and the value (RRef or RMut).
struct ObjectRef {
  const void* vtable;
  const void* ptr;
};

// The type checker a host lends to an extra check: {_sabi_vtable,
// check_compatibility, local_check_compatibility}.
struct TypeCheckerFields {
  const void* sabi_vtable;
  ExtraChecksResult (*check_compatibility)(const void* self, const TypeLayout* interface,
                                           const TypeLayout* implementation);
  ExtraChecksResult (*local_check_compatibility)(const void* self, const TypeLayout*, const TypeLayout*);
};

// RCow<RSlice<&TypeLayout>, RVec<&TypeLayout>>: a 32-bit tag, the value at 8.
struct NestedLayouts {
  std::uint32_t tag;
  union Payload {
    RSlice<const TypeLayout*> borrowed;
    RVec<const TypeLayout*> owned;
  } value;
};
static_assert(sizeof(NestedLayouts) == 40 && offsetof(NestedLayouts, value) == 8);
// RResult<ROption<ExtraChecksBox>, ExtraChecksError>
struct CombineResult {
  std::uint8_t tag;
  alignas(8) std::uint8_t option_tag;
  std::uint8_t rest[31];
};
static_assert(sizeof(CombineResult) == 40);

struct ExtraChecksVTableFields {
  PrefixRef<RObjectVtableFields> sabi_vtable;
  const TypeLayout* (*type_layout)(const void* self);
  ExtraChecksResult (*check_compatibility)(const void* self, const TypeLayout* containing_self,
                                           const TypeLayout* containing_other, ObjectRef checker);
  NestedLayouts (*nested_type_layouts)(const void* self);
  CombineResult (*combine)(const void* self, ObjectRef other, ObjectRef checker);
};
using ExtraChecksVTable = WithMetadata<ExtraChecksVTableFields>;
inline constexpr std::uint64_t kExtraChecksVTableMask = 0x1F;

// The framework's extra check of trait objects: the auto traits and the
// other traits the object requires, bits in the framework's numbering.
struct RequiredTraits {
  std::uint16_t auto_traits;
  std::uint64_t regular_traits;
};
static_assert(sizeof(RequiredTraits) == 16 && offsetof(RequiredTraits, regular_traits) == 8);
inline constexpr std::string_view kAutoTraitNames[] = {"Send", "Sync", "Unpin"};
inline constexpr std::string_view kRegularTraitNames[] = {
    "Error",     "Clone",    "Default",  "Display",    "Debug",    "Serialize",
    "PartialEq", "Ord",      "PartialOrd", "Hash",     "Iterator", "DoubleEndedIterator",
    "FmtWrite",  "IoWrite",  "IoRead",   "IoBufRead",  "IoSeek",   "Deserialize"};
inline constexpr std::uint64_t kDebugTrait = std::uint64_t{1} << 4;

}  // namespace lmfs::abi::tl
