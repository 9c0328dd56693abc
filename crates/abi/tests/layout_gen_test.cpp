// The layout generator: the packed encodings read back as written, and a
// small described type comes out as the records a host would decode.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lmfs_abi/required_traits.h"
#include "lmfs_abi/std_layouts.h"

namespace lmfs::abi::tl {
namespace {

struct Sample {
  std::uint64_t count;
  std::uint8_t flag;
  RString label;
};
struct SampleTable {
  void (*run)(void* self, const RStr* where);
  bool (*probe)();
};
struct Choice;  // described only

}  // namespace

template <> struct Describe<Sample> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("Sample", "sample;1.2.3", "sample::records", 7, 48, 8, desc::kReprC, DataKind::Struct,
                            desc::kModule)
                     .of_record<Sample>();
    desc::add(d, field<ty::U64>("count").at(LMFS_MEMBER(Sample, count)));
    desc::add(d, field<ty::U8>("flag").at(LMFS_MEMBER(Sample, flag)));
    desc::add(d, with_lifetimes(field<RString>("label"), {S}).at(LMFS_MEMBER(Sample, label)));
    return d;
  }();
};
template <> struct Describe<SampleTable> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("SampleTable", "sample;1.2.3", "sample::records", 9, 8, 8, desc::kReprC,
                            DataKind::PrefixType, desc::kModule)
                     .of_record<SampleTable>();
    d.first_suffix_field = 1;
    d.accessible_fields = 0x3;
    desc::add(d, fn_field<ty::AUnsafeFn>("run", fn<void, ty::RMut<Unit>, ty::Ref<RStr>>("this,where,", {A, A}, true),
                                         Accessor::Method)
                     .at(LMFS_MEMBER(SampleTable, run)));
    desc::add(d, fn_field<ty::AFn>("probe", fn<ty::Bool>(""), Accessor::Method).at(LMFS_MEMBER(SampleTable, probe)));
    return d;
  }();
};
template <> struct Describe<Choice> {
  static constexpr TypeDesc desc = [] {
    TypeDesc d = desc::type("Choice", "sample;1.2.3", "sample::records", 11, 56, 8, desc::kReprU8, DataKind::Enum,
                            desc::kModule);
    desc::variant(d, "First", 1);
    desc::variant(d, "Second", 0);
    desc::variant(d, "Third", 1);
    desc::add(d, field<RString>("field_0"));
    desc::add(d, field<Sample>("field_0"));
    return d;
  }();
};

namespace {

static_assert(matches_record(Describe<Sample>::desc) && matches_record(Describe<SampleTable>::desc));

// A description whose stated size does not follow from its fields is caught,
// and so is one whose fields stand elsewhere than its record's members.
constexpr TypeDesc misstated = [] {
  TypeDesc d = Describe<Sample>::desc;
  d.size = 40;
  return d;
}();
static_assert(!consistent(misstated));
static_assert(consistent(Describe<Choice>::desc));
constexpr TypeDesc misplaced = [] {
  TypeDesc d = Describe<Sample>::desc;
  std::swap(d.fields[1], d.fields[2]);  // label before flag: the offsets no longer follow
  return d;
}();
static_assert(!matches_record(misplaced));
constexpr TypeDesc resized = [] {
  TypeDesc d = Describe<Sample>::desc;
  d.fields[0].member.size = 4;  // a 4-byte member described as a u64
  return d;
}();
static_assert(!matches_record(resized));

std::string_view text(const TypeLayout& l, std::uint32_t start, std::uint32_t len) {
  return {l.mono->shared_vars.strings + start, len};
}
std::string_view field_name(const TypeLayout& l, std::uint64_t word) {
  FieldBits b = decode_field(word);
  return text(l, b.name_start, b.name_len);
}
const TypeLayout* field_type(const TypeLayout& l, std::uint64_t word) {
  return l.shared_vars->type_layouts[decode_field(word).layout_index]();
}

TEST(LayoutEncoding, PackedWordsReadBackAsWritten) {
  const std::uint8_t lts[] = {A, S, P0};
  std::uint64_t w = comp_field(300, 17, lifetime_array(lts, 3), Accessor::Opaque, 1000, true);
  FieldBits b = decode_field(w);
  EXPECT_EQ(b.name_start, 300U);
  EXPECT_EQ(b.name_len, 17U);
  EXPECT_EQ(b.accessor, Accessor::Opaque);
  EXPECT_EQ(b.layout_index, 1000U);
  EXPECT_TRUE(b.is_function);
  EXPECT_EQ(decode_lifetime_range(b.lifetimes).len, 3U);
  EXPECT_EQ(b.lifetimes, 0x321U);

  const std::uint16_t idx[5] = {1, 2, 1023, 4, 5};
  TypeLayoutRange r = type_layout_range(7, idx);
  EXPECT_EQ(tlr_len(r), 7U);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(tlr_index(r, i), idx[i]);
  EXPECT_EQ(tlr_index(r, 6), 7U);  // past the fifth, contiguous after it

  EXPECT_EQ(sl_start(start_len(65535, 9)), 65535U);
  EXPECT_EQ(sl_len(start_len(65535, 9)), 9U);
  const LifetimeRangeBits range = decode_lifetime_range(lifetime_range(12, 3));
  EXPECT_TRUE(range.is_range);
  EXPECT_EQ(range.start, 12U);
  EXPECT_EQ(range.len, 3U);
  EXPECT_EQ(lifetime_pair(A, P0), A | (P0 << 4));
}

TEST(LayoutGeneration, StructRecordsDecode) {
  const TypeLayout& l = *layout_of<Sample>();
  EXPECT_EQ(std::string_view(l.mono->name, l.mono->name_len), "Sample");
  EXPECT_EQ(l.mono->item_info.package_and_version.view(), "sample;1.2.3");
  EXPECT_STREQ(l.mono->item_info.mod_path, "sample::records");
  EXPECT_EQ(l.size, sizeof(Sample));
  EXPECT_EQ(std::size_t{1} << l.alignment_power_of_two, alignof(Sample));
  ASSERT_EQ(l.mono->data.tag, DataKind::Struct);
  ASSERT_EQ(l.data.tag, static_cast<std::uint32_t>(DataKind::Struct));
  const CompTLFields& f = l.mono->data.u.fields;
  ASSERT_EQ(f.comp_fields_len, 3);
  EXPECT_EQ(f.functions, nullptr);
  EXPECT_EQ(field_name(l, f.comp_fields[0]), "count");
  EXPECT_EQ(field_name(l, f.comp_fields[2]), "label");
  EXPECT_EQ(field_type(l, f.comp_fields[0]), layout_of<ty::U64>());
  EXPECT_EQ(field_type(l, f.comp_fields[2]), layout_of<RString>());
  EXPECT_EQ(decode_field(f.comp_fields[2]).lifetimes, S);
  // Shared types appear once in the table.
  EXPECT_EQ(l.shared_vars->type_layouts_len, 3);
}

TEST(LayoutGeneration, FunctionsAndPrefixData) {
  const TypeLayout& l = *layout_of<SampleTable>();
  ASSERT_EQ(l.mono->data.tag, DataKind::PrefixType);
  const MonoTLPrefixType& p = l.mono->data.u.prefix;
  EXPECT_EQ(p.first_suffix_field, 1);
  EXPECT_EQ(l.data.u.accessible_fields, 0x3U);
  EXPECT_EQ(l.size, 8U);  // the prefix alone
  ASSERT_NE(p.fields.functions, nullptr);
  const TLFunctions& fns = *p.fields.functions;
  ASSERT_EQ(fns.functions_len, 2);
  ASSERT_EQ(fns.field_fn_ranges_len, 2);

  const CompTLFunction& run = fns.functions[sl_start(fns.field_fn_ranges[0])];
  EXPECT_EQ(text(l, sl_start(run.name), sl_len(run.name)), "run");
  EXPECT_EQ(text(l, run.contiguous_strings_offset + run.bound_lifetimes_len, run.param_names_len), "this,where,");
  ASSERT_EQ(tlr_len(run.param_type_layouts), 2U);
  EXPECT_EQ(l.shared_vars->type_layouts[tlr_index(run.param_type_layouts, 0)](), layout_of<ty::RMut<Unit>>());
  EXPECT_EQ(l.shared_vars->type_layouts[tlr_index(run.param_type_layouts, 1)](), layout_of<ty::Ref<RStr>>());
  EXPECT_GE(run.return_type_layout, l.shared_vars->type_layouts_len);  // returns ()
  EXPECT_EQ(run.fn_qualifs, 1);
  EXPECT_EQ(decode_lifetime_range(run.paramret_lifetime_range).len, 2U);

  const CompTLFunction& probe = fns.functions[sl_start(fns.field_fn_ranges[1])];
  EXPECT_EQ(l.shared_vars->type_layouts[probe.return_type_layout](), layout_of<ty::Bool>());
  EXPECT_EQ(probe.fn_qualifs, 0);
  EXPECT_TRUE(decode_field(p.fields.comp_fields[0]).is_function);
  EXPECT_EQ(field_type(l, p.fields.comp_fields[0]), layout_of<ty::AUnsafeFn>());
}

TEST(LayoutGeneration, EnumVariantsAndDiscriminants) {
  const TypeLayout& l = *layout_of<Choice>();
  ASSERT_EQ(l.mono->data.tag, DataKind::Enum);
  const MonoTLEnum& e = l.mono->data.u.enum_;
  EXPECT_EQ(text(l, sl_start(e.variant_names), sl_len(e.variant_names)), "First;Second;Third;");
  ASSERT_EQ(e.field_count_len, 3);
  EXPECT_EQ(e.field_count[0], 1);
  EXPECT_EQ(e.field_count[1], 0);
  const GenericTLEnum& g = l.data.u.enum_;
  EXPECT_EQ(g.nonexhaustive, nullptr);
  EXPECT_EQ(g.discriminants.kind, DiscriminantKind::U8);
  ASSERT_EQ(g.discriminants.len, 3);
  const auto* d = static_cast<const std::uint8_t*>(g.discriminants.discriminants);
  EXPECT_EQ(d[0] + d[1] + d[2], 0 + 1 + 2);
  EXPECT_EQ(l.mono->repr_attr.kind, ReprKind::Int);
}

int checker_calls = 0;
ExtraChecksResult checker_accepts(const void*, const TypeLayout* interface, const TypeLayout* implementation) {
  ++checker_calls;
  ExtraChecksResult r{};
  r.tag = interface == implementation ? kROk : kRErr;
  return r;
}

// A layout's identity as a host keys its comparisons by it: this binary's
// identity and the layout's address (least significant byte first, the rest
// zero), the same at every call, told apart from every other type's; the
// layout's own function gives it, and UnsafeIgnoredType takes ()'s.
std::vector<std::uint8_t> id_bytes(const UTypeId& id) {
  std::vector<std::uint8_t> out(sizeof id);
  std::memcpy(out.data(), &id, sizeof id);
  return out;
}
template <class T>
void expect_identity_of_its_layout() {
  const UTypeId id = type_id_of<T>();
  EXPECT_EQ(id.executable_identity, own_type_id().executable_identity);
  auto addr = reinterpret_cast<std::uintptr_t>(layout_of<T>());
  for (std::size_t i = 0; i < sizeof id.type_id_array; ++i)
    EXPECT_EQ(id.type_id_array[i], i < sizeof addr ? static_cast<std::uint8_t>(addr >> (8 * i)) : 0) << i;
  EXPECT_EQ(id_bytes(layout_of<T>()->type_id()), id_bytes(id));
  EXPECT_EQ(id_bytes(type_id_of<T>()), id_bytes(id));
}

TEST(LayoutTypeIds, EachTypeHasItsLayoutsIdentity) {
  expect_identity_of_its_layout<Sample>();
  expect_identity_of_its_layout<SampleTable>();
  expect_identity_of_its_layout<RString>();
  expect_identity_of_its_layout<ty::U8>();
  const std::set<std::vector<std::uint8_t>> ids{id_bytes(type_id_of<Sample>()), id_bytes(type_id_of<SampleTable>()),
                                                id_bytes(type_id_of<Choice>()), id_bytes(type_id_of<RString>()),
                                                id_bytes(type_id_of<ty::U8>()), id_bytes(type_id_of<Unit>())};
  EXPECT_EQ(ids.size(), 6U);
  EXPECT_EQ(id_bytes(layout_of<ty::UnsafeIgnoredType>()->type_id()), id_bytes(type_id_of<Unit>()));
}

// The identity is there before the binary's ordinary static initialisers run:
// one of them asking for a layout's identity gets the binary's, not a null.
const UTypeId id_at_static_init = type_id_of<Sample>();

TEST(LayoutTypeIds, KnownBeforeStaticInitialisers) {
  EXPECT_EQ(id_at_static_init.executable_identity, own_type_id().executable_identity);
  EXPECT_EQ(id_bytes(id_at_static_init), id_bytes(type_id_of<Sample>()));
}

const WithMetadata<TypeCheckerFields> checker_table{{0x7, nullptr}, {nullptr, &checker_accepts, nullptr}};

using Traits = RequiredTraits;

// The extra check of trait objects, called as a host calls it when our graph
// is the interface: through its table, with the host's type checker.
TEST(RequiredTraitsCheck, ComparesTraitsThroughTheHostsChecker) {
  static constexpr RequiredTraits debug_only{0, kDebugTrait};
  static constexpr StoredExtraChecks ours = required_traits_checks(&debug_only);
  const auto* table = &static_cast<const ExtraChecksVTable*>(ours.vtable)->fields;
  TypeLayout with_check = *layout_of<Sample>();
  with_check.extra_checks = &ours;
  const TypeLayout* object = &with_check;
  EXPECT_EQ(table->type_layout(ours.ptr), layout_of<ty::RequiredTraits>());
  ObjectRef checker{&checker_table, nullptr};

  // The same traits on the other side: accepted, after the checker compared
  // the two RequiredTraits layouts.
  checker_calls = 0;
  EXPECT_EQ(table->check_compatibility(ours.ptr, object, object, checker).tag, kROk);
  EXPECT_EQ(checker_calls, 1);

  // More traits on the other side are fine; other auto traits are not.
  Traits more{0, (1U << 4) | (1U << 1)};
  Traits sendable{1, 1U << 4};
  for (auto [traits, accepted] : {std::pair{&more, true}, std::pair{&sendable, false}}) {
    StoredExtraChecks theirs{ours.vtable, traits};
    TypeLayout other = *object;
    other.extra_checks = &theirs;
    ExtraChecksResult r = table->check_compatibility(ours.ptr, object, &other, checker);
    EXPECT_EQ(r.tag, accepted ? kROk : kRErr);
  }

  // No extra check at all on the other side: NoneExtraChecks (2).
  TypeLayout bare = *object;
  bare.extra_checks = nullptr;
  ExtraChecksResult r = table->check_compatibility(ours.ptr, object, &bare, checker);
  EXPECT_EQ(r.tag, kRErr);
  EXPECT_EQ(r.payload.err.tag, kExtraChecksNone);
}

// What the check writes for a host: its Display, and its Debug in both forms
// as the framework's own RequiredTraits writes it.
TEST(RequiredTraitsCheck, Texts) {
  const RequiredTraits t{0, kDebugTrait};
  EXPECT_EQ(required_traits_display(t), "RequiredTraits\nAuto traits:<no_traits>\nImpld traits: Debug\n");
  EXPECT_EQ(required_traits_debug(t, false),
            "RequiredTraits { auto_traits_bits: 0, auto_traits: {}, regular_traits_bits: 16, regular_traits: {\"Debug\"} }");
  EXPECT_EQ(required_traits_debug({3, 0}, true),
            "RequiredTraits {\n    auto_traits_bits: 3,\n    auto_traits: {\n        \"Send\",\n        \"Sync\",\n    },\n"
            "    regular_traits_bits: 0,\n    regular_traits: {},\n}");
  // Through the object's own table, as a host's printer calls it.
  const auto& object = static_cast<const ExtraChecksVTable*>(required_traits_checks(&t).vtable)->fields.sabi_vtable.get();
  RString out = own_string("");
  EXPECT_EQ(object._sabi_debug(&t, FormattingMode::Default, &out).tag, kROk);
  EXPECT_EQ(out.view(), required_traits_debug(t, false));
  release(out);
}

}  // namespace
}  // namespace lmfs::abi::tl
