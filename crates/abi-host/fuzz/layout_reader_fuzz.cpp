// The layout reader on type layouts whose contents come from the input: the
// string table, the packed field words, the function records, the lifetime
// table, the enum and prefix data, every index and range into those tables.
// The tables are real arrays, and the reader is given the loaded objects and
// exactly the records built here as its memory; the last input byte may make
// tables state more than they hold, which the reader must refuse rather than
// read past (the sanitizer would see that read). The root may carry an extra
// check whose type and nested layouts the input picks from real ones, so that
// the graph grows while the check is read. The graph read is then printed in
// both forms and checked, against itself and against a graph of the
// framework's own types.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lmfs_abi_host/layout_check.h"
#include "lmfs_abi_host/layout_reader.h"
#include "lmfs_abi_host/layout_print.h"
#include "lmfs_abi_host/mapped_memory.h"
#include "lmfs_abi/std_layouts.h"

namespace {

using namespace lmfs::abi;
using namespace lmfs::abi::tl;

// Hands out input bytes; zeros once they run out.
struct Input {
  const std::uint8_t* p;
  std::size_t n;

  template <class T>
  T take() {
    T v{};
    std::size_t k = n < sizeof v ? n : sizeof v;
    std::memcpy(&v, p, k);
    p += k;
    n -= k;
    return v;
  }
  std::size_t count(std::size_t most) { return take<std::uint8_t>() % (most + 1); }
};

const TypeLayout* fuzzed_root = nullptr;
const TypeLayout* self() { return fuzzed_root; }

// What the extra check answers: layouts picked from kPool.
const LayoutFn kPool[] = {&self, &layout_of<ty::U8>, &layout_of<Unit>, &layout_of<RString>,
                          &layout_of<RVec<std::uint8_t>>, &layout_of<ty::RequiredTraits>, &layout_of<ty::Bool>};
const TypeLayout* check_type = nullptr;
std::vector<const TypeLayout*> check_nested;

struct Fuzzed {
  std::vector<char> strings;
  std::vector<std::uint8_t> lifetimes;
  std::vector<std::uint64_t> fields;
  std::vector<std::uint64_t> phantom;
  std::vector<CompTLFunction> functions;
  std::vector<std::uint32_t> fn_ranges;
  std::vector<std::uint8_t> field_counts;
  std::vector<std::uint64_t> discriminants;
  std::vector<LayoutFn> layouts;
  std::string mod_path;
  std::string lifetime_names;
  ExtraChecksVTable check_vtable{};
  alignas(8) std::uint8_t check_value[sizeof(RequiredTraits)]{};
  StoredExtraChecks check{};
  TLFunctions fn_table{};
  MonoTypeLayout mono{};
  SharedVars shared{};
  TypeLayout layout{};
};

void build(Fuzzed& f, Input& in) {
  f.strings.resize(in.count(200));
  for (char& c : f.strings) c = in.take<char>();
  f.lifetimes.resize(in.count(8));
  for (auto& l : f.lifetimes) l = in.take<std::uint8_t>();
  f.layouts = {&self, &layout_of<ty::U8>, &layout_of<Unit>, &layout_of<RString>};
  f.layouts.resize(1 + in.count(3));
  f.fields.resize(in.count(6));
  for (auto& w : f.fields) w = in.take<std::uint64_t>();
  f.phantom.resize(in.count(2));
  for (auto& w : f.phantom) w = in.take<std::uint64_t>();
  f.functions.resize(in.count(4));
  for (auto& c : f.functions) c = in.take<CompTLFunction>();
  f.fn_ranges.resize(f.fields.size());
  for (auto& r : f.fn_ranges) r = in.take<std::uint32_t>();
  f.field_counts.resize(in.count(4));
  for (auto& c : f.field_counts) c = in.take<std::uint8_t>();
  f.discriminants.resize(in.count(4));
  for (auto& d : f.discriminants) d = in.take<std::uint64_t>();
  f.mod_path = "fuzz::mod";
  f.lifetime_names = in.take<std::uint8_t>() & 1 ? "'a,'b" : "";

  f.fn_table = TLFunctions{f.functions.data(), f.fn_ranges.data(), static_cast<std::uint16_t>(f.functions.size()),
                           static_cast<std::uint16_t>(f.fn_ranges.size())};
  CompTLFields fields{f.fields.data(), in.take<std::uint8_t>() & 1 ? &f.fn_table : nullptr,
                      static_cast<std::uint16_t>(f.fields.size())};

  MonoTypeLayout& m = f.mono;
  m.shared_vars = MonoSharedVars{f.strings.data(), f.lifetimes.data(), static_cast<std::uint16_t>(f.strings.size()),
                                 static_cast<std::uint16_t>(f.lifetimes.size())};
  m.name = f.strings.data();
  m.name_len = static_cast<std::uint16_t>(in.count(8) % (f.strings.size() + 1));
  std::size_t pkg = in.count(12) % (f.strings.size() + 1);
  m.item_info = ItemInfo{RStr{f.strings.data(), pkg}, 0, f.mod_path.c_str()};
  m.data.tag = static_cast<DataKind>(in.take<std::uint8_t>() % 7);
  m.data.primitive = static_cast<Primitive>(in.take<std::uint8_t>() % 20);
  switch (m.data.tag) {
    case DataKind::Struct:
    case DataKind::Union: m.data.u.fields = fields; break;
    case DataKind::Enum:
      m.data.u.enum_ = MonoTLEnum{f.field_counts.data(), static_cast<std::uint16_t>(f.field_counts.size()),
                                  in.take<std::uint32_t>(), fields};
      break;
    case DataKind::PrefixType: m.data.u.prefix = MonoTLPrefixType{in.take<std::uint8_t>(), in.take<std::uint64_t>(), fields}; break;
    default: break;
  }
  m.generics = CompGenericParams{f.lifetime_names.c_str(), in.take<std::uint32_t>(), 0, in.take<std::uint8_t>()};
  m.phantom_fields = f.phantom.data();
  m.phantom_fields_len = static_cast<std::uint8_t>(f.phantom.size());
  m.repr_attr = ReprAttr{static_cast<ReprKind>(in.take<std::uint8_t>() % 8), in.take<std::uint8_t>()};
  m.mod_refl_mode = ModReflMode{static_cast<ReflKind>(in.take<std::uint8_t>() % 4), in.take<std::uint8_t>()};

  f.shared = SharedVars{&f.mono.shared_vars, f.layouts.data(), kNoConstants, static_cast<std::uint16_t>(f.layouts.size()), 0};
  TypeLayout& l = f.layout;
  l.shared_vars = &f.shared;
  l.mono = &f.mono;
  // Any byte at all, as a library's record may hold.
  const auto nonzero = in.take<std::uint8_t>();
  std::memcpy(&l.is_nonzero, &nonzero, 1);
  l.alignment_power_of_two = in.take<std::uint8_t>() % 8;
  l.size = in.take<std::uint16_t>();
  l.data.tag = in.take<std::uint8_t>() % 7;
  if (l.data.tag == static_cast<std::uint32_t>(DataKind::Enum)) {
    l.data.u.enum_ = GenericTLEnum{nullptr, TLDiscriminants{static_cast<DiscriminantKind>(in.take<std::uint8_t>() % 11),
                                                            static_cast<std::uint16_t>(f.discriminants.size()),
                                                            f.discriminants.data()}};
  } else {
    l.data.u.accessible_fields = in.take<std::uint64_t>();
  }
  l.type_id = &type_id_of<ty::Bool>;

  if (in.take<std::uint8_t>() & 1) {
    check_type = kPool[in.count(std::size(kPool) - 1)]();
    check_nested.resize(in.count(8));
    for (auto& n : check_nested) n = kPool[in.count(std::size(kPool) - 1)]();
    for (auto& b : f.check_value) b = in.take<std::uint8_t>();
    f.check_vtable.metadata.field_accessibility = kExtraChecksVTableMask;
    f.check_vtable.fields.type_layout = [](const void*) { return check_type; };
    f.check_vtable.fields.nested_type_layouts = [](const void*) {
      NestedLayouts n{};
      n.tag = lmfs::abi::kCowBorrowed;
      n.value.borrowed = {check_nested.data(), check_nested.size()};
      return n;
    };
    f.check = StoredExtraChecks{&f.check_vtable, f.check_value};
    l.extra_checks = &f.check;
  }
}

// Tables that state more than they hold, chosen by the bits of `lies`; those
// of kAlwaysRead are read whatever the rest of the records say.
enum Lie : std::uint8_t {
  kStrings = 1,
  kLifetimes = 2,
  kFields = 4,
  kPhantom = 8,
  kFunctions = 16,
  kFieldCounts = 32,
  kDiscriminants = 64,
  kLayouts = 128,
};
constexpr std::uint8_t kAlwaysRead = kStrings | kLifetimes | kPhantom | kLayouts;

void lie(Fuzzed& f, std::uint8_t lies) {
  constexpr std::uint8_t k = 3;  // elements more than there are
  MonoTypeLayout& m = f.mono;
  if (lies & kStrings) m.shared_vars.strings_len += k;
  if (lies & kLifetimes) m.shared_vars.lifetime_indices_len += k;
  if (lies & kPhantom) m.phantom_fields_len += k;
  if (lies & kLayouts) f.shared.type_layouts_len += k;
  if (lies & kFunctions) {
    f.fn_table.functions_len += k;
    f.fn_table.field_fn_ranges_len += k;
  }
  CompTLFields* fields = nullptr;
  switch (m.data.tag) {
    case DataKind::Struct:
    case DataKind::Union: fields = &m.data.u.fields; break;
    case DataKind::Enum:
      fields = &m.data.u.enum_.fields;
      if (lies & kFieldCounts) m.data.u.enum_.field_count_len += k;
      break;
    case DataKind::PrefixType: fields = &m.data.u.prefix.fields; break;
    default: break;
  }
  if (fields != nullptr && (lies & kFields)) fields->comp_fields_len += k;
  if ((lies & kDiscriminants) && f.layout.data.tag == static_cast<std::uint32_t>(DataKind::Enum)) {
    f.layout.data.u.enum_.discriminants.len += k;
  }
}

// The loaded objects and exactly the records built here.
MappedMemory memory_of(const Fuzzed& f) {
  static const MappedMemory loaded = MappedMemory::loaded_objects();
  MappedMemory m = loaded;
  const auto add = [&m](const auto& v) {
    if (!v.empty()) m.add(v.data(), v.size() * sizeof v[0], MappedMemory::kRead);
  };
  add(f.strings);
  add(f.lifetimes);
  add(f.fields);
  add(f.phantom);
  add(f.functions);
  add(f.fn_ranges);
  add(f.field_counts);
  add(f.discriminants);
  add(f.layouts);
  add(check_nested);
  m.add(f.mod_path.c_str(), f.mod_path.size() + 1, MappedMemory::kRead);
  m.add(f.lifetime_names.c_str(), f.lifetime_names.size() + 1, MappedMemory::kRead);
  m.add(&f, sizeof f, MappedMemory::kRead);
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  Fuzzed f;
  build(f, in);
  const auto lies = in.take<std::uint8_t>();
  lie(f, lies);
  fuzzed_root = &f.layout;
  namespace layout = lmfs::abi::layout;
  auto graph = layout::read_graph(&f.layout, memory_of(f));
  if (graph && (lies & kAlwaysRead) != 0) __builtin_trap();  // read what no table holds
  if (graph) {
    (void)layout::print_facts(*graph);
    (void)layout::print_full(*graph);
    (void)layout::check_layout_compatibility(*graph, *graph);
    // Against a real graph of the framework's own types.
    static const auto reference = layout::read_graph(layout_of<RVec<std::uint8_t>>());
    if (reference) (void)layout::mismatch_report(layout::check_layout_compatibility(*reference, *graph));
  }
  fuzzed_root = nullptr;
  return 0;
}
