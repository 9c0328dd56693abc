// The layout checker on small value models: a module holding a prefix table
// of functions, an enum, a trait object with extra checks and a pointer back
// to the module (a cycle).
#include "lmfs_abi_host/layout_check.h"
#include "lmfs_abi_host/layout_text.h"

#include <gtest/gtest.h>

#include <functional>

namespace lmfs::abi::layout {
namespace {

Node type(std::string name, tl::DataKind kind, std::size_t size, std::string package = "lmfs-storage-driver",
          std::string version = "0.0.0-next") {
  Node n;
  n.name = std::move(name);
  n.kind = kind;
  n.size = size;
  n.alignment_power = size >= 8 ? 3 : 0;
  n.package = std::move(package);
  n.version = std::move(version);
  return n;
}

Field field(std::string name, NodeId type) {
  Field f;
  f.name = std::move(name);
  f.type = type;
  f.lifetimes = {false, 0, {0, 0, 0}};
  return f;
}

Field fn_field(std::string name, NodeId afp, Function fn) {
  Field f = field(std::move(name), afp);
  f.is_function = true;
  fn.name = f.name;
  f.functions.push_back(std::move(fn));
  return f;
}

enum : NodeId { kModule, kTable, kKind, kObj, kLink, kAfp, kU64, kTraits };

Graph driver_like() {
  Graph g;
  g.nodes.resize(8);
  Node& module = g.nodes[kModule] = type("Module", tl::DataKind::Struct, 24);
  module.fields = {field("table", kTable), field("kind", kKind), field("obj", kObj), field("next", kLink)};

  Node& table = g.nodes[kTable] = type("Table", tl::DataKind::PrefixType, 16);
  table.prefix = {1, 0, 0b11};
  Function open;
  open.param_names = "_self,param_0,";
  open.params = {kU64, kKind};
  open.returns = kU64;
  open.lifetimes = {false, 1, {0x11, 0, 0}};
  Function close;
  close.param_names = ",";
  close.params = {kU64};
  close.qualifiers = 1;
  table.fields = {fn_field("open", kAfp, open), fn_field("close", kAfp, close)};

  Node& kind = g.nodes[kKind] = type("Kind", tl::DataKind::Enum, 16);
  kind.repr = {tl::ReprKind::Int, 0};
  kind.enum_data.field_counts = {1, 0};
  kind.enum_data.variant_names = "Wide;Empty;";
  kind.enum_data.discriminants = {0, 1};
  kind.fields = {field("field_0", kU64)};

  Node& obj = g.nodes[kObj] = type("Obj", tl::DataKind::Struct, 8, "abi_stable", "0.11.3");
  obj.extra_checks = ExtraChecks{kTraits, tl::RequiredTraits{0, 0x10}, {}, {}};
  obj.fields = {field("ptr", kU64)};

  Node& link = g.nodes[kLink] = type("*const", tl::DataKind::Primitive, 8, "std", "1.0.0");
  link.primitive = tl::Primitive::ConstPtr;
  link.repr = {tl::ReprKind::Primitive, 0};
  link.generics.types = {kModule};
  link.phantom_fields = {field("0", kModule)};

  Node& afp = g.nodes[kAfp] = type("AFunctionPointer", tl::DataKind::Opaque, 8, "abi_stable", "0.11.3");
  afp.is_nonzero = true;

  Node& u64 = g.nodes[kU64] = type("u64", tl::DataKind::Primitive, 8, "std", "1.0.0");
  u64.primitive = tl::Primitive::U64;
  u64.repr = {tl::ReprKind::Primitive, 0};

  g.nodes[kTraits] = type("RequiredTraits", tl::DataKind::Struct, 16, "abi_stable", "0.11.3");
  g.reachable = 7;
  compute_full_types(g);
  return g;
}

std::vector<LayoutMismatch> check_changed(const std::function<void(Graph&)>& change) {
  Graph found = driver_like();
  change(found);
  compute_full_types(found);
  return check_layout_compatibility(driver_like(), found);
}

// Where the module's enum is first met: as a parameter of the table's `open`.
const std::string kOpen =
    "Module | table: Table | open: fn(_self,param_0,: u64, param_1: Kind)->u64 lifetime indices:Array(ArrayLen { "
    "len: 1, array: [[ANONYMOUS, ANONYMOUS], [NONE, NONE], [NONE, NONE]] })";
const std::string kKindParam = kOpen + " | param_1: Kind";

std::string joined(const std::vector<std::string>& path) {
  std::string out;
  for (const auto& p : path) out += (out.empty() ? "" : " | ") + p;
  return out;
}

TEST(LayoutCheck, IdenticalGraphsAreCompatibleAndTheCycleEnds) {
  EXPECT_EQ(driver_like().nodes[kLink].full_type, "*const Module ");
  const auto m = check_layout_compatibility(driver_like(), driver_like());
  EXPECT_TRUE(m.empty()) << mismatch_report(m);
}

TEST(LayoutCheck, RefusesEachDifferenceWithItsKindAndWhereItIs) {
  struct Row {
    const char* what;
    std::function<void(Graph&)> change;
    std::vector<MismatchKind> kinds;
    std::string path;  // of the first mismatch, elements joined by " | "
  };
  const Row rows[] = {
      {"field renamed", [](Graph& g) { g.nodes[kModule].fields[1].name = "kinds"; },
       {MismatchKind::UnexpectedField}, "Module"},
      {"enum discriminant changed", [](Graph& g) { g.nodes[kKind].enum_data.discriminants[1] = 2; },
       {MismatchKind::EnumDiscriminant}, kKindParam},
      {"discriminant type changed", [](Graph& g) { g.nodes[kKind].enum_data.discriminant_kind = tl::DiscriminantKind::I32; },
       {MismatchKind::ReprAttr}, kKindParam},
      {"prefix field count changed", [](Graph& g) { g.nodes[kTable].prefix.first_suffix_field = 2; },
       {MismatchKind::MismatchedPrefixSize}, "Module | table: Table"},
      {"conditional prefix field", [](Graph& g) { g.nodes[kTable].prefix.conditional_prefix_fields = 1; },
       {MismatchKind::MismatchedPrefixConditionality}, "Module | table: Table"},
      {"auto trait added", [](Graph& g) { g.nodes[kObj].extra_checks->required_traits->auto_traits = 1; },
       {MismatchKind::ExtraChecks}, "Module | obj: Obj"},
      {"required trait missing", [](Graph& g) { g.nodes[kObj].extra_checks->required_traits->regular_traits = 2; },
       {MismatchKind::ExtraChecks}, "Module | obj: Obj"},
      {"extra checks missing", [](Graph& g) { g.nodes[kObj].extra_checks.reset(); },
       {MismatchKind::NoneExtraChecks}, "Module | obj: Obj"},
      {"parameter renamed", [](Graph& g) { g.nodes[kTable].fields[0].functions[0].param_names = "_self,arg,"; },
       {MismatchKind::UnexpectedField}, kOpen},
      {"unsafe dropped", [](Graph& g) { g.nodes[kTable].fields[1].functions[0].qualifiers = 0; },
       {MismatchKind::FnQualifierMismatch}, "Module | table: Table | close: unsafe fn(,: u64)->()"},
      {"function lifetimes changed", [](Graph& g) { g.nodes[kTable].fields[0].functions[0].lifetimes.pairs[0] = 0x21; },
       {MismatchKind::FnLifetimeMismatch}, kOpen},
      {"return type dropped", [](Graph& g) { g.nodes[kTable].fields[0].functions[0].returns = kUnitNode; },
       {MismatchKind::Name}, ""},
      {"field lifetimes changed", [](Graph& g) { g.nodes[kModule].fields[0].lifetimes = {false, 1, {0x03, 0, 0}}; },
       {MismatchKind::FieldLifetimeMismatch}, "Module"},
      {"variant renamed", [](Graph& g) { g.nodes[kKind].enum_data.variant_names = "Wide;Void;"; },
       {MismatchKind::UnexpectedVariant}, kKindParam},
      {"variant added",
       [](Graph& g) {
         auto& e = g.nodes[kKind].enum_data;
         e.field_counts.push_back(0);
         e.variant_names += "Extra;";
         e.discriminants.push_back(2);
       },
       {MismatchKind::TooManyVariants}, kKindParam},
      {"fields moved between variants", [](Graph& g) { g.nodes[kKind].enum_data.field_counts = {0, 1}; },
       {MismatchKind::FieldCountMismatch, MismatchKind::FieldCountMismatch}, kKindParam},
      {"enum made nonexhaustive", [](Graph& g) { g.nodes[kKind].enum_data.exhaustive = false; },
       {MismatchKind::MismatchedExhaustiveness}, kKindParam},
      {"size changed deep inside",
       [](Graph& g) {
         g.nodes[kU64].size = 4;
         g.nodes[kU64].alignment_power = 2;
       },
       {MismatchKind::Size, MismatchKind::Alignment}, kOpen + " | _self,param_0,: u64"},
      {"other primitive", [](Graph& g) { g.nodes[kU64].primitive = tl::Primitive::I64; },
       {MismatchKind::MismatchedPrimitive}, ""},
      {"non-zero-ness", [](Graph& g) { g.nodes[kAfp].is_nonzero = false; }, {MismatchKind::NonZeroness}, ""},
      {"repr attribute", [](Graph& g) { g.nodes[kModule].repr = {tl::ReprKind::Transparent, 0}; },
       {MismatchKind::ReprAttr}, "Module"},
      {"type renamed", [](Graph& g) { g.nodes[kObj].name = "Object"; }, {MismatchKind::Name}, "Module | obj: Obj"},
      {"package", [](Graph& g) { g.nodes[kModule].package = "other"; }, {MismatchKind::Package}, "Module"},
      {"incompatible version", [](Graph& g) { g.nodes[kModule].version = "0.1.0"; },
       {MismatchKind::PackageVersion}, "Module"},
      {"unreadable version", [](Graph& g) { g.nodes[kModule].version = "next"; },
       {MismatchKind::PackageVersionParseError}, "Module"},
      {"lifetime parameter added", [](Graph& g) { g.nodes[kModule].generics.lifetime_count = 1; },
       {MismatchKind::GenericParamCount}, "Module"},
      {"data kind", [](Graph& g) { g.nodes[kObj].kind = tl::DataKind::Union; },
       {MismatchKind::TLDataDiscriminant}, "Module | obj: Obj"},
      {"inside the cycle", [](Graph& g) { g.nodes[kLink].alignment_power = 2; },
       {MismatchKind::Alignment}, "Module | next: *const Module "},
      {"phantom field renamed", [](Graph& g) { g.nodes[kLink].phantom_fields[0].name = "1"; },
       {MismatchKind::UnexpectedField}, "Module | next: *const Module "},
      {"a field fewer", [](Graph& g) { g.nodes[kModule].fields.pop_back(); },
       {MismatchKind::FieldCountMismatch}, "Module"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const auto m = check_changed(r.change);
    std::vector<MismatchKind> kinds;
    for (const auto& x : m) kinds.push_back(x.kind);
    if (r.kinds.front() == MismatchKind::Name || r.kinds.front() == MismatchKind::MismatchedPrimitive ||
        r.kinds.front() == MismatchKind::NonZeroness) {
      // A shared type: reported once, wherever it is met first.
      ASSERT_FALSE(kinds.empty());
      EXPECT_EQ(kinds.front(), r.kinds.front()) << mismatch_report(m);
      continue;
    }
    EXPECT_EQ(kinds, r.kinds) << mismatch_report(m);
    if (!m.empty()) {
      EXPECT_EQ(joined(m.front().path), r.path);
    }
  }
}

TEST(LayoutCheck, AcceptsWhatTheFrameworkAccepts) {
  struct Row {
    const char* what;
    std::function<void(Graph&)> change;
  };
  const Row rows[] = {
      {"a newer patch version", [](Graph& g) { g.nodes[kModule].version = "0.0.7"; }},
      {"a suffix field more in the library's prefix table",
       [](Graph& g) {
         Node& t = g.nodes[kTable];
         t.fields.push_back(field("extra", kU64));
         t.size = 24;
         t.prefix.accessible_fields = 0b111;
       }},
      {"an inaccessible field differing in everything but size and alignment",
       [](Graph& g) {
         g.nodes[kTable].prefix.accessible_fields = 0b01;
         g.nodes[kTable].fields[1].functions[0].params = {kKind, kKind};
       }},
      {"more traits than required", [](Graph& g) { g.nodes[kObj].extra_checks->required_traits->regular_traits = 0x1A; }},
      {"module paths and lines", [](Graph& g) {
         g.nodes[kModule].mod_path = "elsewhere";
         g.nodes[kModule].line = 99;
       }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const auto m = check_changed(r.change);
    EXPECT_TRUE(m.empty()) << mismatch_report(m);
  }
  // The other way round the grown table is refused.
  Graph grown = driver_like();
  grown.nodes[kTable].fields.push_back(field("extra", kU64));
  grown.nodes[kTable].size = 24;
  compute_full_types(grown);
  const auto m = check_layout_compatibility(grown, driver_like());
  ASSERT_EQ(m.size(), 2u) << mismatch_report(m);
  EXPECT_EQ(m[0].kind, MismatchKind::Size);
  EXPECT_EQ(m[1].kind, MismatchKind::FieldCountMismatch);
}

TEST(LayoutCheck, InaccessibleFieldsStillCompareSizeAndAlignment) {
  const auto m = check_changed([](Graph& g) {
    g.nodes[kTable].prefix.accessible_fields = 0b01;
    Node wide = type("Wide", tl::DataKind::Opaque, 16);
    g.nodes.push_back(wide);
    g.nodes[kTable].fields[1].type = static_cast<NodeId>(g.nodes.size() - 1);
  });
  ASSERT_EQ(m.size(), 1u) << mismatch_report(m);
  EXPECT_EQ(m[0].kind, MismatchKind::Size);
  EXPECT_EQ(m[0].expected, "8");
  EXPECT_EQ(m[0].found, "16");
}

TEST(LayoutCheck, TagsOfTheLibraryMayHoldMore) {
  auto str = [](std::string s) {
    Tag t;
    t.kind = Tag::Kind::String;
    t.string = std::move(s);
    return t;
  };
  auto set = [](std::vector<Tag> items) {
    Tag t;
    t.kind = Tag::Kind::Set;
    t.items = std::move(items);
    return t;
  };
  auto with_tags = [](Tag expected, Tag found) {
    Graph e = driver_like();
    Graph f = driver_like();
    e.nodes[kObj].tag = std::move(expected);
    f.nodes[kObj].tag = std::move(found);
    return check_layout_compatibility(e, f);
  };
  EXPECT_TRUE(with_tags(set({str("a")}), set({str("b"), str("a"), Tag{}})).empty());
  EXPECT_TRUE(with_tags(Tag{}, str("anything")).empty());
  const auto missing = with_tags(set({str("a"), str("c")}), set({str("b"), str("a")}));
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].kind, MismatchKind::TagError);
  EXPECT_NE(missing[0].note.find("'c'"), std::string::npos) << missing[0].note;
  EXPECT_EQ(with_tags(str("a"), str("b")).size(), 1u);
}

TEST(LayoutCheck, ARootPrefixTypeIsRefused) {
  Graph g = driver_like();
  std::swap(g.nodes[kModule], g.nodes[kTable]);
  const auto m = check_layout_compatibility(g, g);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].kind, MismatchKind::TLDataDiscriminant);
}

TEST(LayoutCheck, ReportNamesKindPathAndBothValues) {
  const auto m = check_changed([](Graph& g) { g.nodes[kKind].enum_data.discriminants[1] = 7; });
  const std::string report = mismatch_report(m);
  EXPECT_NE(report.find("1 layout mismatch "), std::string::npos) << report;
  EXPECT_NE(report.find("different discriminants [EnumDiscriminant]"), std::string::npos) << report;
  EXPECT_NE(report.find("at:       Module \u2192 table: Table \u2192 open: fn(_self,param_0,"), std::string::npos)
      << report;
  EXPECT_NE(report.find("expected: 1\n"), std::string::npos) << report;
  EXPECT_NE(report.find("found:    7\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace lmfs::abi::layout
