// The interface's layout graph and the run-time parts it carries: the
// comparison table of const parameters and the trait object's extra check
// (which traits the driver object implements), an object that a host's
// layout checker calls into.
#include "lmfs_storage_driver/layouts.h"

#include <cstring>
#include <string>

#include "lmfs_storage_driver/layout_descriptions.h"

namespace lmfs::abi {
namespace tl::internal {

bool usize_eq(const void* a, const void* b) {
  return *static_cast<const std::size_t*>(a) == *static_cast<const std::size_t*>(b);
}

RResult<Unit, Unit> usize_debug(const void* value, std::uint8_t /*mode*/, RString* out) {
  append(*out, std::to_string(*static_cast<const std::size_t*>(value)));
  RResult<Unit, Unit> r{};
  r.tag = kROk;
  return r;
}

const PTStructLayout const_generic_vtable_layout = pt_layout_of<ConstGenericVTableFields>;

namespace {

const PTStructLayout extra_checks_vtable_layout = pt_layout_of<ty::ExtraChecksVTable>;

// The value behind the check: which auto traits and which other traits the
// driver's trait object requires. Bits as the framework numbers them.
struct RequiredTraits {
  std::uint16_t auto_traits;
  std::uint64_t regular_traits;
};
static_assert(record_matches<ty::RequiredTraits, RequiredTraits>(std::array<std::size_t, 2>{offsetof(RequiredTraits, auto_traits),
                                                                            offsetof(RequiredTraits, regular_traits)}));

constexpr std::uint64_t kDebugTrait = 1U << 4;
constexpr RequiredTraits driver_traits{0, kDebugTrait};

constexpr std::string_view kAutoTraits[] = {"Send", "Sync", "Unpin"};
constexpr std::string_view kRegularTraits[] = {
    "Error", "Clone", "Default", "Display", "Debug", "Serialize", "PartialEq", "Ord", "PartialOrd",
    "Hash", "Iterator", "DoubleEndedIterator", "FmtWrite", "IoWrite", "IoRead", "IoBufRead", "IoSeek", "Deserialize"};

std::string describe(const RequiredTraits& t) {
  std::string s = "RequiredTraits\nAuto traits:";
  if (t.auto_traits == 0) s += "<no_traits>";
  for (std::size_t i = 0; i < std::size(kAutoTraits); ++i)
    if ((t.auto_traits >> i) & 1U) s.append(" ").append(kAutoTraits[i]);
  s += "\nImpld traits:";
  if (t.regular_traits == 0) s += "<no_traits>";
  for (std::size_t i = 0; i < std::size(kRegularTraits); ++i)
    if ((t.regular_traits >> i) & 1U) s.append(" ").append(kRegularTraits[i]);
  s += "\n";
  return s;
}

// ExtraChecksError: TypeChecker = 0, TypeCheckerErrors = 1,
// NoneExtraChecks = 2, ExtraChecks = 3; the boxed errors follow the tag.
struct ExtraChecksError {
  std::uint8_t tag;
  alignas(8) std::uint8_t boxed_error[24];
};
static_assert(sizeof(ExtraChecksError) == 32);
constexpr std::uint8_t kTypeCheckerError = 0;
constexpr std::uint8_t kNoneExtraChecks = 2;

using CheckResult = RResult<Unit, ExtraChecksError>;
static_assert(sizeof(CheckResult) == 40);

// A borrowed trait object: its vtable and the value (RRef or RMut).
struct ObjectRef {
  const void* vtable;
  const void* ptr;
};

// The checker the host lends us: its table is {_sabi_vtable,
// check_compatibility, local_check_compatibility}.
struct TypeCheckerFields {
  const void* sabi_vtable;
  CheckResult (*check_compatibility)(const void* self, const TypeLayout* interface, const TypeLayout* implementation);
  CheckResult (*local_check_compatibility)(const void* self, const TypeLayout*, const TypeLayout*);
};

// RCow<RSlice<&TypeLayout>, RVec<&TypeLayout>>: a 32-bit tag, the value at 8.
struct NestedLayouts {
  std::uint32_t tag;
  alignas(8) std::uint8_t value[32];
};
// RResult<ROption<ExtraChecksBox>, ExtraChecksError>
struct CombineResult {
  std::uint8_t tag;
  alignas(8) std::uint8_t option_tag;
  std::uint8_t rest[31];
};
static_assert(sizeof(NestedLayouts) == 40 && sizeof(CombineResult) == 40);

struct ExtraChecksFields {
  PrefixRef<RObjectVtableFields> sabi_vtable;
  const TypeLayout* (*type_layout)(const void* self);
  CheckResult (*check_compatibility)(const void* self, const TypeLayout* containing_self,
                                     const TypeLayout* containing_other, ObjectRef checker);
  NestedLayouts (*nested_type_layouts)(const void* self);
  CombineResult (*combine)(const void* self, ObjectRef other, ObjectRef checker);
};

const TypeLayout* required_traits_layout(const void*) { return &Gen<ty::RequiredTraits>::layout; }

CheckResult fail(std::uint8_t tag) {
  CheckResult r{};
  r.tag = kRErr;
  r.payload.err.tag = tag;
  return r;
}

// Called when our graph is the interface: the other side must carry an
// equivalent check whose auto traits are the same and whose other traits
// include ours.
CheckResult check_required_traits(const void* self, const TypeLayout*, const TypeLayout* containing_other,
                                  ObjectRef checker) {
  const StoredExtraChecks* other = containing_other->extra_checks;
  if (other == nullptr) return fail(kNoneExtraChecks);
  const auto* other_table = static_cast<const WithMetadata<ExtraChecksFields>*>(other->vtable);
  const TypeLayout* other_layout = other_table->fields.type_layout(other->ptr);
  const auto* checker_table = static_cast<const WithMetadata<TypeCheckerFields>*>(checker.vtable);
  CheckResult same = checker_table->fields.check_compatibility(checker.ptr, &Gen<ty::RequiredTraits>::layout, other_layout);
  if (same.tag != kROk) return same;  // the checker's own error, handed back
  const auto* ours = static_cast<const RequiredTraits*>(self);
  const auto* theirs = static_cast<const RequiredTraits*>(other->ptr);
  if (ours->auto_traits != theirs->auto_traits || (ours->regular_traits & theirs->regular_traits) != ours->regular_traits)
    return fail(kTypeCheckerError);
  CheckResult ok{};
  ok.tag = kROk;
  return ok;
}

NestedLayouts no_nested_layouts(const void*) {
  NestedLayouts r{};
  r.tag = kCowBorrowed;
  const std::uintptr_t dangling = alignof(const TypeLayout*);
  std::memcpy(r.value, &dangling, sizeof dangling);  // an empty RSlice
  return r;
}

CombineResult nothing_to_combine(const void*, ObjectRef, ObjectRef) {
  CombineResult r{};
  r.tag = kROk;
  r.option_tag = kRNone;
  return r;
}

MaybeCmpUTypeId no_type_id() {
  MaybeCmpUTypeId r{};
  r.tag = kMaybeCmpNothing;
  return r;
}
void static_value_drop(RBox*) {}
const void* borrowed_clone(const void* self) { return self; }

UnitUnitResult write_traits(ErasedRef self, FormattingMode mode, RString* out) {
  const auto& t = *static_cast<const RequiredTraits*>(self);
  (void)mode;
  append(*out, describe(t));
  return UnitUnitResult{kROk};
}
UnitUnitResult debug_traits(ErasedRef self, FormattingMode, RString* out) {
  const auto& t = *static_cast<const RequiredTraits*>(self);
  append(*out, "RequiredTraits { auto_traits_bits: " + std::to_string(t.auto_traits) +
                   ", regular_traits_bits: " + std::to_string(t.regular_traits) + " }");
  return UnitUnitResult{kROk};
}

const RObjectVtable required_traits_object_vtable{
    {kRObjectVtableMask, &object_vtable_layout},
    {&no_type_id, &static_value_drop, reinterpret_cast<const void*>(&borrowed_clone), &debug_traits,
     reinterpret_cast<const void*>(&write_traits)}};

const WithMetadata<ExtraChecksFields> required_traits_vtable{
    {0x1F, &extra_checks_vtable_layout},
    {PrefixRef<RObjectVtableFields>{&required_traits_object_vtable}, &required_traits_layout, &check_required_traits,
     &no_nested_layouts, &nothing_to_combine}};

}  // namespace

const StoredExtraChecks required_traits_checks{&required_traits_vtable, &driver_traits};

}  // namespace tl::internal

namespace tl {
const PTStructLayout vec_vtable_layout = pt_layout_of<VecVTableFields>;
const PTStructLayout box_vtable_layout = pt_layout_of<BoxVTableFields>;
const PTStructLayout object_vtable_layout = pt_layout_of<RObjectVtableFields>;
const PTStructLayout driver_vtable_layout = pt_layout_of<VTableFields>;
const PTStructLayout root_module_table_layout = pt_layout_of<StorageDriverModFields>;
const PTStructLayout mutex_vtable_layout = pt_layout_of<MutexVTableFields>;
}  // namespace tl

namespace layouts {

const tl::TypeLayout* root_module_layout() { return tl::layout_of<tl::RootModuleRef>(); }

}  // namespace layouts
}  // namespace lmfs::abi
