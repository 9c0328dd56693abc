// Reading type-layout records into the value model: hand-made records are
// read as written; malformed ones are refused with a reason instead of being
// followed.
#include "lmfs_abi/layout_reader.h"

#include <gtest/gtest.h>

#include <functional>

#include "lmfs_abi/layout_print.h"

namespace lmfs::abi::layout {
namespace {

// ---- hand-made records -------------------------------------------------------

abi::UTypeId zero_id() { return {}; }

const tl::MonoSharedVars kNoStrings{"", nullptr, 0, 0};
const tl::SharedVars kNoVars{&kNoStrings, nullptr, nullptr, 0, 0};

tl::MonoTypeLayout u8_mono() {
  tl::MonoTypeLayout m{};
  m.shared_vars = kNoStrings;
  m.name = "u8";
  m.name_len = 2;
  m.item_info = {{"std;1.0.0", 9}, 0, "<prelude>"};
  m.data.tag = tl::DataKind::Primitive;
  m.data.primitive = tl::Primitive::U8;
  m.generics = {"", 0, 0, 0};
  m.repr_attr = {tl::ReprKind::Primitive, 0};
  return m;
}
const tl::MonoTypeLayout kU8Mono = u8_mono();
const tl::TypeLayout kU8{&kNoVars, &kU8Mono, false, 0, 1, nullptr, {0, {}}, nullptr, zero_id};
const tl::TypeLayout* u8_layout() { return &kU8; }

// `Holder { value: u8 }`, every record writable so tests can spoil one.
struct Holder {
  std::uint64_t fields[1] = {tl::comp_field(0, 5, 0, tl::Accessor::Direct, 0, false)};
  tl::LayoutFn types[1] = {u8_layout};
  tl::MonoSharedVars strings{"value;", nullptr, 6, 0};
  tl::SharedVars vars{&strings, types, nullptr, 1, 0};
  tl::MonoTypeLayout mono = u8_mono();
  tl::TypeLayout layout{&vars, &mono, false, 0, 1, nullptr, {2, {}}, nullptr, zero_id};

  Holder() {
    mono.shared_vars = strings;
    mono.name = "Holder";
    mono.name_len = 6;
    mono.item_info = {{"lmfs-storage-driver;0.0.0-next", 30}, 1, "holder"};
    mono.data = {};
    mono.data.tag = tl::DataKind::Struct;
    mono.data.u.fields = {fields, nullptr, 1};
    mono.repr_attr = {tl::ReprKind::C, 0};
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
};

TEST(LayoutGraph, ReadsHandMadeRecords) {
  Holder h;
  auto g = read_graph(&h.layout);
  ASSERT_TRUE(g) << g.error();
  ASSERT_EQ(g->nodes.size(), 2u);
  EXPECT_EQ(g->nodes[0].package, "lmfs-storage-driver");
  EXPECT_EQ(g->nodes[0].version, "0.0.0-next");
  ASSERT_EQ(g->nodes[0].fields.size(), 1u);
  EXPECT_EQ(g->nodes[0].fields[0].name, "value");
  EXPECT_EQ(g->nodes[g->nodes[0].fields[0].type].full_type, "u8");
  EXPECT_NE(print_facts(*g).find("## 2. `u8`\n\n- name: `u8`\n"), std::string::npos);
}

TEST(LayoutGraph, RefusesMalformedRecordsWithAReason) {
  tl::CompTLFunction two_functions[1] = {};
  std::uint32_t fn_ranges[1] = {tl::start_len(0, 2)};
  tl::TLFunctions functions{two_functions, fn_ranges, 1, 1};
  struct Row {
    const char* what;
    std::function<void(Holder&)> spoil;
    const char* reason;
  };
  const Row rows[] = {
      {"field type out of the table", [](Holder& h) { h.fields[0] = tl::comp_field(0, 5, 0, tl::Accessor::Direct, 3, false); },
       "type layout #1 (Holder): field 0: the field's type names type layout 3 of a table of 1"},
      {"field name out of the strings", [](Holder& h) { h.fields[0] = tl::comp_field(2, 9, 0, tl::Accessor::Direct, 0, false); },
       "the name (2..11) lies outside the string table of 6 bytes"},
      {"lifetimes out of the table",
       [](Holder& h) { h.fields[0] = tl::comp_field(0, 5, tl::kLifetimeRangeIsRange | (1U << 13), tl::Accessor::Direct, 0, false); },
       "lifetime range 0..1 lies outside the table of 0 pairs"},
      {"type parameters out of the table", [](Holder& h) { h.mono.generics.types = tl::start_len(0, 2); },
       "a type parameter names type layout 1 of a table of 1"},
      {"functions out of their table", [&](Holder& h) { h.mono.data.u.fields.functions = &functions; },
       "its functions 0..2 lie outside the table of 1"},
      {"no monomorphic layout", [](Holder& h) { h.layout.mono = nullptr; }, "its monomorphic layout is a null pointer"},
      {"no fields", [](Holder& h) { h.mono.data.u.fields.comp_fields = nullptr; }, "its fields are a null pointer"},
      {"null name", [](Holder& h) { h.mono.name = nullptr; }, "the name is a null pointer with length 6"},
      {"kinds disagree", [](Holder& h) { h.layout.data.tag = 4; }, "its data kinds disagree (2 and 4)"},
      {"unknown repr", [](Holder& h) { h.mono.repr_attr.kind = static_cast<tl::ReprKind>(9); },
       "its repr attribute 9 is unknown"},
      {"no type id", [](Holder& h) { h.layout.type_id = nullptr; }, "its type-id function is a null pointer"},
      {"no module path", [](Holder& h) { h.mono.item_info.mod_path = nullptr; }, "the module path is a null pointer"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Holder h;
    r.spoil(h);
    auto g = read_graph(&h.layout);
    ASSERT_FALSE(g);
    EXPECT_NE(g.error().find(r.reason), std::string::npos) << g.error();
  }
}

// Each call answers a layout not seen before: an endless graph.
std::vector<tl::TypeLayout>* endless_links = nullptr;
std::size_t endless_next = 0;
const tl::TypeLayout* next_link() { return &(*endless_links)[endless_next++ % endless_links->size()]; }

TEST(LayoutGraph, RefusesAGraphOfMoreThanTheMostNodes) {
  Holder h;
  h.types[0] = next_link;
  std::vector<tl::TypeLayout> links(kMaxNodes + 8, h.layout);
  endless_links = &links;
  endless_next = 1;
  auto g = read_graph(&links[0]);
  ASSERT_FALSE(g);
  EXPECT_NE(g.error().find("the graph has more than 1024 type layouts"), std::string::npos) << g.error();
}

// An extra check that nests many layouts the graph has not met yet: each
// becomes a node of its own, and the check keeps every one of them.
std::vector<tl::TypeLayout>* nested_links = nullptr;
const tl::TypeLayout* const* nested_list = nullptr;
std::size_t nested_count = 0;

TEST(LayoutGraph, ReadsEveryLayoutAnExtraCheckNests) {
  std::vector<tl::TypeLayout> links(200, kU8);  // distinct records, so distinct nodes
  std::vector<const tl::TypeLayout*> list;
  for (const tl::TypeLayout& l : links) list.push_back(&l);
  nested_links = &links;
  nested_list = list.data();
  nested_count = list.size();

  tl::ExtraChecksVTable vtable{};
  vtable.metadata.field_accessibility = tl::kExtraChecksVTableMask;
  vtable.fields.type_layout = [](const void*) { return u8_layout(); };
  vtable.fields.nested_type_layouts = [](const void*) {
    tl::NestedLayouts n{};
    n.tag = kCowBorrowed;
    n.value.borrowed = {nested_list, nested_count};
    return n;
  };
  const std::uint8_t value = 0;
  const tl::StoredExtraChecks stored{&vtable, &value};
  Holder h;
  h.layout.extra_checks = &stored;

  auto g = read_graph(&h.layout);
  ASSERT_TRUE(g) << g.error();
  ASSERT_TRUE(g->nodes[0].extra_checks.has_value());
  const ExtraChecks& checks = *g->nodes[0].extra_checks;
  ASSERT_EQ(checks.nested.size(), links.size());
  EXPECT_EQ(g->nodes.size(), 2 + links.size());
  for (NodeId id : checks.nested) EXPECT_EQ(g->node(id).name, "u8");
}

}  // namespace
}  // namespace lmfs::abi::layout
