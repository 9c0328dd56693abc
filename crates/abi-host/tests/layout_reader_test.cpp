// Reading type-layout records into the value model: hand-made records are
// read as written; malformed ones, and ones pointing outside the memory the
// reader is given, are refused with a reason instead of being followed.
#include "lmfs_abi_host/layout_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "lmfs_abi_host/layout_print.h"

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

// The loaded objects and the records `h` holds itself (on the stack).
MappedMemory memory_of(const Holder& h) {
  MappedMemory m = MappedMemory::loaded_objects();
  m.add(&h, sizeof h, MappedMemory::kRead);
  return m;
}

TEST(LayoutGraph, ReadsHandMadeRecords) {
  Holder h;
  auto g = read_graph(&h.layout, memory_of(h));
  ASSERT_TRUE(g) << g.error().message();
  ASSERT_EQ(g->nodes.size(), 2u);
  EXPECT_EQ(g->nodes[0].package, "lmfs-storage-driver");
  EXPECT_EQ(g->nodes[0].version, "0.0.0-next");
  ASSERT_EQ(g->nodes[0].fields.size(), 1u);
  EXPECT_EQ(g->nodes[0].fields[0].name, "value");
  EXPECT_EQ(g->nodes[g->nodes[0].fields[0].type].full_type, "u8");
  EXPECT_NE(print_facts(*g).find("## 2. `u8`\n\n- name: `u8`\n"), std::string::npos);
}

TEST(LayoutGraph, RefusesMalformedRecordsWithAReason) {
  static const tl::CompTLFunction two_functions[1] = {};
  static const std::uint32_t fn_ranges[1] = {tl::start_len(0, 2)};
  static const tl::TLFunctions functions{two_functions, fn_ranges, 1, 1};
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
      {"functions out of their table", [](Holder& h) { h.mono.data.u.fields.functions = &functions; },
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
    auto g = read_graph(&h.layout, memory_of(h));
    ASSERT_FALSE(g);
    EXPECT_NE(g.error().message().find(r.reason), std::string::npos) << g.error().message();
  }
}

// Records that point where the memory given holds nothing: each refused
// before it is read or called. The records of `Holder` are readable; what a
// row points at is not (heap or stack bytes outside it, data as code).
const tl::TypeLayout* heap_layout() {
  static const auto* const layout = new tl::TypeLayout(kU8);
  return layout;
}

TEST(LayoutGraph, RefusesPointersOutsideTheMemoryGiven) {
  // Heap bytes the memory given leaves out, and some it holds exactly: one
  // field word, a string table of six bytes, a module path of four bytes
  // none of which is its end.
  static const auto heap_words = std::make_unique<std::uint64_t[]>(4);
  static const auto one_word = std::make_unique<std::uint64_t[]>(1);
  static const auto six_chars = std::make_unique<char[]>(6);
  static const auto unended = std::make_unique<char[]>(4);
  one_word[0] = tl::comp_field(0, 5, 0, tl::Accessor::Direct, 0, false);
  std::memcpy(six_chars.get(), "value;", 6);
  std::memcpy(unended.get(), "abcd", 4);
  struct Row {
    const char* what;
    std::function<void(Holder&)> spoil;
    const char* reason;
  };
  const Row rows[] = {
      {"nothing spoiled", [](Holder&) {}, ""},
      {"fields on the heap", [](Holder& h) { h.mono.data.u.fields.comp_fields = heap_words.get(); },
       "type layout #1 (Holder): its fields: outside the readable segments (8 bytes at 0x"},
      {"field words running past their range",
       [](Holder& h) {
         h.mono.data.u.fields.comp_fields = one_word.get();
         h.mono.data.u.fields.comp_fields_len = 2;
       },
       "its fields: outside the readable segments (16 bytes at 0x"},
      {"string table longer than its bytes",
       [](Holder& h) {
         h.strings.strings = six_chars.get();
         h.strings.strings_len = 7;
       },
       "the string table: outside the readable segments (7 bytes at 0x"},
      {"a type-layout function that is data",
       [](Holder& h) { h.types[0] = reinterpret_cast<tl::LayoutFn>(const_cast<tl::TypeLayout*>(&kU8)); },
       "the field's type: entry 0 of the type-layout table: outside the executable segments (at 0x"},
      {"a type-layout function answering a heap layout", [](Holder& h) { h.types[0] = heap_layout; },
       "a type layout: outside the readable segments (88 bytes at 0x"},
      {"module path without an end in its range", [](Holder& h) { h.mono.item_info.mod_path = unended.get(); },
       "the module path has no end within its segment (4 bytes at 0x"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Holder h;
    r.spoil(h);
    MappedMemory memory = memory_of(h);
    memory.add(one_word.get(), 8, MappedMemory::kRead)
        .add(six_chars.get(), 6, MappedMemory::kRead)
        .add(unended.get(), 4, MappedMemory::kRead);
    auto g = read_graph(&h.layout, memory);
    if (*r.reason == '\0') {
      EXPECT_TRUE(g) << g.error().message();
      continue;
    }
    ASSERT_FALSE(g);
    EXPECT_NE(g.error().message().find(r.reason), std::string::npos) << g.error().message();
  }
  // The root itself, when the memory given does not hold it.
  Holder h;
  auto g = read_graph(&h.layout, MappedMemory::loaded_objects());
  ASSERT_FALSE(g);
  EXPECT_NE(g.error().message().find("the root type layout: outside the readable segments (88 bytes at 0x"), std::string::npos)
      << g.error().message();
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
  auto g = read_graph(&links[0], memory_of(h).add(links.data(), links.size() * sizeof links[0], MappedMemory::kRead));
  ASSERT_FALSE(g);
  EXPECT_NE(g.error().message().find("the graph has more than 1024 type layouts"), std::string::npos) << g.error().message();
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
  MappedMemory memory = memory_of(h);
  memory.add(links.data(), links.size() * sizeof links[0], MappedMemory::kRead)
      .add(list.data(), list.size() * sizeof list[0], MappedMemory::kRead)
      .add(&vtable, sizeof vtable, MappedMemory::kRead)
      .add(&value, sizeof value, MappedMemory::kRead)
      .add(&stored, sizeof stored, MappedMemory::kRead);

  auto g = read_graph(&h.layout, memory);
  ASSERT_TRUE(g) << g.error().message();
  ASSERT_TRUE(g->nodes[0].extra_checks.has_value());
  const ExtraChecks& checks = *g->nodes[0].extra_checks;
  ASSERT_EQ(checks.nested.size(), links.size());
  EXPECT_EQ(g->nodes.size(), 2 + links.size());
  for (NodeId id : checks.nested) EXPECT_EQ(g->node(id).name, "u8");
}

}  // namespace
}  // namespace lmfs::abi::layout
