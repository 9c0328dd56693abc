// Altered copies of the interface's own descriptions, generated into real
// layout records, read back and checked against the interface: each
// alteration is refused for its own reason, and an unaltered copy passes.
//
// An altered type deep in the graph is reached from a new root: every type on
// the path from the root to it is copied with its reference to the original
// swapped for the altered one.
#include <gtest/gtest.h>

#include <algorithm>

#include "lmfs_abi_host/layout_check.h"
#include "lmfs_abi_host/layout_print.h"
#include "lmfs_abi_host/layout_reader.h"
#include "lmfs_interface/layouts.h"

namespace lmfs::abi::tl {
namespace {

// T's description with every reference to From made to To.
template <class T, class From, class To>
struct Swap;

constexpr void swap_ref(TypeRef& f, const TypeRef& from, const TypeRef& to) {
  if (f == from) f = to;
}
constexpr void swap_in_field(FieldDesc& f, const TypeRef& from, const TypeRef& to) {
  swap_ref(f.type, from, to);
  for (std::size_t i = 0; i < f.fn.nparams; ++i) swap_ref(f.fn.params[i], from, to);
  swap_ref(f.fn.ret, from, to);
}
// A copy describes no C++ record of its own.
constexpr TypeDesc copy_of(TypeDesc d) {
  d.record_size = 0;
  d.record_align = 0;
  return d;
}
constexpr TypeDesc swapped(TypeDesc d, const TypeRef& from, const TypeRef& to) {
  d = copy_of(d);
  for (std::size_t i = 0; i < d.ntype_params; ++i) swap_ref(d.type_params[i], from, to);
  for (std::size_t i = 0; i < d.nphantom; ++i) swap_in_field(d.phantom[i], from, to);
  for (std::size_t i = 0; i < d.nfields; ++i) swap_in_field(d.fields[i], from, to);
  return d;
}

// The root that reaches `To` in place of `From`: Ancestors run from From's
// parent up to the root.
template <class From, class To, class... Ancestors>
struct Rooted {
  using type = To;
};
template <class From, class To, class Parent, class... Rest>
struct Rooted<From, To, Parent, Rest...> {
  using type = typename Rooted<Parent, Swap<Parent, From, To>, Rest...>::type;
};

using Mod = StorageDriverModFields;
using ModRef = PrefixRef<StorageDriverModFields>;

// The alterations.
struct SameObject;
struct RenamedField;
struct ResizedError;
struct RenumberedError;
struct ShorterPrefix;
struct SendObject;
struct RenamedParam;

// RequiredTraits that also demand Send.
constexpr RequiredTraits send_and_debug{1, kDebugTrait};
constexpr StoredExtraChecks send_checks = required_traits_checks(&send_and_debug);

}  // namespace

template <class T, class From, class To>
struct Describe<Swap<T, From, To>> {
  static constexpr TypeDesc desc = swapped(Describe<T>::desc, ref_of<From>(), ref_of<To>());
};
template <> struct Describe<SameObject> { static constexpr TypeDesc desc = copy_of(Describe<StorageDriver_TO>::desc); };
template <> struct Describe<RenamedField> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = copy_of(Describe<StorageDriver_TO>::desc);
    d.fields[0].name = "object";
    return d;
  }();
};
template <> struct Describe<ResizedError> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = copy_of(Describe<StorageDriverError>::desc);
    d.size = 80;
    d.unchecked_size = true;
    return d;
  }();
};
template <> struct Describe<RenumberedError> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = copy_of(Describe<StorageDriverError>::desc);
    d.discr_first = 1;
    return d;
  }();
};
template <> struct Describe<ShorterPrefix> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = copy_of(Describe<Mod>::desc);
    d.first_suffix_field = 0;
    d.unchecked_size = true;
    return d;
  }();
};
template <> struct Describe<SendObject> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = copy_of(Describe<RObject<VTableFields>>::desc);
    d.extra_checks = &send_checks;
    return d;
  }();
};
template <> struct Describe<RenamedParam> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = copy_of(Describe<Mod>::desc);
    d.fields[0].fn.param_names = "options,";
    return d;
  }();
};

namespace {

using abi::layout::MismatchKind;

std::vector<abi::layout::LayoutMismatch> check(const TypeLayout* library_root) {
  auto expected = abi::layout::read_graph(layouts::root_module_layout());
  auto found = abi::layout::read_graph(library_root);
  EXPECT_TRUE(expected.has_value()) << expected.error().message();
  EXPECT_TRUE(found.has_value()) << found.error().message();
  if (!expected || !found) return {};
  return abi::layout::check_layout_compatibility(*expected, *found);
}

bool refused_for(const std::vector<abi::layout::LayoutMismatch>& m, MismatchKind kind) {
  return std::any_of(m.begin(), m.end(), [&](const auto& x) { return x.kind == kind; });
}

template <class Root>
void expect_refused(MismatchKind kind) {
  auto m = check(layout_of<Root>());
  EXPECT_TRUE(refused_for(m, kind)) << "expected " << abi::layout::kind_name(kind) << ", got:\n"
                                    << abi::layout::mismatch_report(m);
}

// The paths from the altered types to the root.
template <class Altered>
using ViaObject = typename Rooted<StorageDriver_TO, Altered, NewResult, Mod, ModRef>::type;
template <class Altered>
using ViaError = typename Rooted<StorageDriverError, Altered, NewResult, Mod, ModRef>::type;
template <class Altered>
using ViaRObject = typename Rooted<RObject<VTableFields>, Altered, StorageDriver_TO, NewResult, Mod, ModRef>::type;
template <class Altered>
using ViaModule = typename Rooted<Mod, Altered, ModRef>::type;

TEST(AlteredLayouts, AnUnalteredCopyPasses) {
  auto m = check(layout_of<ViaObject<SameObject>>());
  EXPECT_TRUE(m.empty()) << abi::layout::mismatch_report(m);
}

TEST(AlteredLayouts, EachAlterationIsRefusedForItsReason) {
  expect_refused<ViaObject<RenamedField>>(MismatchKind::UnexpectedField);
  expect_refused<ViaError<ResizedError>>(MismatchKind::Size);
  expect_refused<ViaError<RenumberedError>>(MismatchKind::EnumDiscriminant);
  expect_refused<ViaModule<ShorterPrefix>>(MismatchKind::MismatchedPrefixSize);
  expect_refused<ViaRObject<SendObject>>(MismatchKind::ExtraChecks);
  expect_refused<ViaModule<RenamedParam>>(MismatchKind::UnexpectedField);
}

// The report leads from the root to the renamed field.
TEST(AlteredLayouts, ReportNamesThePathToTheDifference) {
  auto m = check(layout_of<ViaObject<RenamedField>>());
  ASSERT_FALSE(m.empty());
  std::string report = abi::layout::mismatch_report(m);
  EXPECT_NE(report.find("PrefixRef<'a, StorageDriverMod>"), std::string::npos) << report;
  EXPECT_NE(report.find("obj"), std::string::npos) << report;
  EXPECT_NE(report.find("object"), std::string::npos) << report;
}

}  // namespace
}  // namespace lmfs::abi::tl
