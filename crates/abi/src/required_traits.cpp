// The extra check of trait objects, as an object a host's layout checker
// calls into, and its texts.
#include "lmfs_abi/required_traits.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lmfs_abi/std_layouts.h"
#include "lmfs_text/text.h"

namespace lmfs::abi::tl {
namespace {

// The names of the bits set in `bits`, in the order of `names`.
template <std::size_t N>
std::vector<std::string_view> names_of(std::uint64_t bits, const std::string_view (&names)[N]) {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < N; ++i)
    if ((bits >> i) & 1U) out.push_back(names[i]);
  return out;
}

const TypeLayout* required_traits_layout(const void*) { return &Gen<ty::RequiredTraits>::layout; }

ExtraChecksResult fail(std::uint8_t tag) {
  ExtraChecksResult r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kRErr;
  r.payload.err.tag = tag;
  return r;
}

// The other side must carry a check of the same type (asked of the host's own
// checker) whose auto traits are ours and whose other traits include ours.
ExtraChecksResult check_required_traits(const void* self, const TypeLayout*, const TypeLayout* containing_other,
                                        ObjectRef checker) {
  const StoredExtraChecks* other = containing_other->extra_checks;
  if (other == nullptr) return fail(kExtraChecksNone);
  const auto* other_table = static_cast<const ExtraChecksVTable*>(other->vtable);
  const TypeLayout* other_layout = other_table->fields.type_layout(other->ptr);
  const auto* checker_table = static_cast<const WithMetadata<TypeCheckerFields>*>(checker.vtable);
  ExtraChecksResult same =
      checker_table->fields.check_compatibility(checker.ptr, &Gen<ty::RequiredTraits>::layout, other_layout);
  if (same.tag != kROk) return same;  // the checker's own error, handed back
  const auto* ours = static_cast<const RequiredTraits*>(self);
  const auto* theirs = static_cast<const RequiredTraits*>(other->ptr);
  if (ours->auto_traits != theirs->auto_traits || (ours->regular_traits & theirs->regular_traits) != ours->regular_traits)
    return fail(kExtraChecksTypeChecker);
  ExtraChecksResult ok;
  std::memset(static_cast<void*>(&ok), 0, sizeof ok);
  ok.tag = kROk;
  return ok;
}

NestedLayouts no_nested_layouts(const void*) {
  NestedLayouts r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kCowBorrowed;
  r.value.borrowed.data = reinterpret_cast<const TypeLayout* const*>(alignof(const TypeLayout*));  // empty
  return r;
}

CombineResult nothing_to_combine(const void*, ObjectRef, ObjectRef) {
  CombineResult r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kROk;
  r.option_tag = kRNone;
  return r;
}

MaybeCmpUTypeId no_type_id() {
  MaybeCmpUTypeId r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kMaybeCmpNothing;
  return r;
}
void static_value_drop(RBox*) {}
const void* borrowed_clone(const void* self) { return self; }

// A host's layout checker calls these through the table: nothing may unwind
// into it, so running out of memory ends the process the plug-in's one way.
UnitUnitResult display_traits(ErasedRef self, FormattingMode, RString* out) noexcept {
  try {
    append(*out, required_traits_display(*static_cast<const RequiredTraits*>(self)));
  } catch (const std::bad_alloc&) {
    ::lmfs::abi::internal::out_of_memory();
  }
  return UnitUnitResult{kROk};
}
UnitUnitResult debug_traits(ErasedRef self, FormattingMode mode, RString* out) noexcept {
  try {
    append(*out, required_traits_debug(*static_cast<const RequiredTraits*>(self), mode == FormattingMode::Alternate));
  } catch (const std::bad_alloc&) {
    ::lmfs::abi::internal::out_of_memory();
  }
  return UnitUnitResult{kROk};
}

// The check object's own object-level table; its interface marker is not
// part of any comparison.
const PTStructLayout check_object_vtable_layout = pt_layout_of<ty::RObjectVtable<Unit>>;
const RObjectVtable required_traits_object_vtable{
    {kRObjectVtableMask, &check_object_vtable_layout},
    {&no_type_id, &static_value_drop, reinterpret_cast<const void*>(&borrowed_clone), &debug_traits, &display_traits}};

const PTStructLayout extra_checks_vtable_layout = pt_layout_of<ty::ExtraChecksVTable>;

}  // namespace

const ExtraChecksVTable kRequiredTraitsVTable{
    {kExtraChecksVTableMask, &extra_checks_vtable_layout},
    {PrefixRef<RObjectVtableFields>{&required_traits_object_vtable}, &required_traits_layout, &check_required_traits,
     &no_nested_layouts, &nothing_to_combine}};

std::string required_traits_display(const RequiredTraits& t) {
  std::string s = "RequiredTraits\nAuto traits:";
  if (t.auto_traits == 0) s += "<no_traits>";
  for (std::string_view name : names_of(t.auto_traits, kAutoTraitNames)) s.append(" ").append(name);
  s += "\nImpld traits:";
  if (t.regular_traits == 0) s += "<no_traits>";
  for (std::string_view name : names_of(t.regular_traits, kRegularTraitNames)) s.append(" ").append(name);
  return s + "\n";
}

std::string required_traits_debug(const RequiredTraits& t, bool alternate) {
  auto set = [&](std::uint64_t bits, const auto& names) {
    std::vector<std::string> quoted;
    for (std::string_view name : names_of(bits, names)) quoted.push_back(text::debug_str(name));
    return text::debug_set(alternate, quoted);
  };
  return text::debug_struct(alternate, "RequiredTraits",
                            {{"auto_traits_bits", std::to_string(t.auto_traits)},
                             {"auto_traits", set(t.auto_traits, kAutoTraitNames)},
                             {"regular_traits_bits", std::to_string(t.regular_traits)},
                             {"regular_traits", set(t.regular_traits, kRegularTraitNames)}});
}

}  // namespace lmfs::abi::tl
