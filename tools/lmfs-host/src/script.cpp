#include "script.h"

#include <cstring>
#include <optional>
#include <span>

#include "lmfs_text/text.h"
#include "lmfs_text/strcat.h"

namespace lmfs::host {
namespace {

using text::cat;

using namespace lmfs::abi;

std::expected<std::string, std::string> unescape(const std::string& word) {
  std::string out;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      out.push_back(word[i]);
      continue;
    }
    if (i + 2 >= word.size() || !std::isxdigit(static_cast<unsigned char>(word[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(word[i + 2]))) {
      return std::unexpected("bad %XX escape in \"" + word + "\"");
    }
    out.push_back(static_cast<char>(std::stoi(word.substr(i + 1, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// A JSON string literal for bytes shown as text (invalid UTF-8 replaced).
std::string json(std::string_view bytes) { return lmfs::text::json_string(lmfs::text::lossy_utf8(bytes)); }

std::string line(const Op& op, const std::string& rest) { return cat("{\"op\":", json(op.name), ",", rest, "}"); }

// A text or byte list the library handed over, as JSON: `null` when its
// record cannot be read (a null buffer for a non-empty list, or a length
// beyond its capacity), which only a damaged library makes.
template <class T>
std::optional<std::span<const T>> readable(const RVec<T>& v) {
  if (v.length == 0) return std::span<const T>{};
  if (v.buffer == nullptr || v.length > v.capacity) return std::nullopt;
  return std::span<const T>{v.buffer, v.length};
}
std::string json(const RString& s) {
  const auto bytes = readable(s.inner);
  if (!bytes) return "null";
  return json(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}
std::string json(const RStr& s) { return s.len != 0 && s.data == nullptr ? "null" : json(s.view()); }

// Renders an error and releases it through the vtables it carries.
std::string take_error(abi::StorageDriverError& e) {
  std::string out = cat("\"error\":{\"variant\":", json(variant_name(e.tag)));
  switch (e.tag) {
    case StorageDriverErrorKind::InvalidParameterValue:
      out += cat(",\"name\":", json(e.payload.parameter.name), ",\"value\":",
                 json(e.payload.parameter.value));
      break;
    case StorageDriverErrorKind::InvalidMediaType:
    case StorageDriverErrorKind::NotApplicable:
      out += cat(",\"cow\":\"", e.payload.cow.tag == kCowBorrowed ? "Borrowed" : "Owned", "\",\"text\":",
                 e.payload.cow.tag == kCowBorrowed ? json(e.payload.cow.payload.borrowed) : json(e.payload.cow.payload.owned));
      break;
    case StorageDriverErrorKind::SecurityError:
      out += cat(",\"security\":\"UnsafePath\",\"text\":", json(e.payload.security.unsafe_path));
      break;
    default:
      out += cat(",\"text\":", json(e.payload.text));
      break;
  }
  release(e);
  return out + "}";
}

std::string unit(const Op& op, UnitResult r) {
  if (r.is_ok()) return line(op, "\"result\":\"Ok\"");
  return line(op, "\"result\":\"Err\"," + take_error(r.payload.err));
}

std::string path_result(const Op& op, PathBufResult r) {
  if (!r.is_ok()) return line(op, "\"result\":\"Err\"," + take_error(r.payload.err));
  std::string out = line(op, "\"result\":\"Ok\",\"path\":" + json(RString{r.payload.ok.inner}));
  release(r.payload.ok);
  return out;
}

std::string snapshot_result(const Op& op, SnapshotResult r) {
  if (!r.is_ok()) return line(op, "\"result\":\"Err\"," + take_error(r.payload.err));
  RSnapshot& s = r.payload.ok;
  std::string metadata = "null";
  if (s.metadata.is_some()) {
    if (auto bytes = readable(s.metadata.value)) {
      metadata = "[";
      for (auto b : *bytes) metadata += cat(metadata.size() > 1 ? "," : "", b);
      metadata += "]";
    }
  }
  std::string out = line(op, cat("\"result\":\"Ok\",\"snapshot\":{\"id\":", json(s.id), ",\"timestamp\":",
                                 s.timestamp, ",\"metadata\":", metadata, "}"));
  release(s);
  return out;
}

std::string media_json(const lmfs::StorageMedia& media) {
  static constexpr const char* kinds[] = {"Block", "Path", "URN", "None"};
  std::string out = "[";
  for (const auto& m : media.inner) {
    if (out.size() > 1) out += ",";
    out += cat("{\"kind\":\"", kinds[static_cast<int>(m.kind)], "\",\"value\":", json(m.value), "}");
  }
  return out + "]";
}

// A text the host passes by value: the plug-in releases it.
StringOption host_text() { return StringOption::some(own_string("lmfs-host")); }

// ---- the operations ------------------------------------------------------------

std::string_view ordinal(std::size_t position) {
  static constexpr std::string_view words[] = {"first", "second", "third", "fourth"};
  return position < std::size(words) ? words[position] : "last";
}

std::expected<void, std::string> check_media(std::string_view, std::size_t, const std::string& value) {
  if (auto m = parse_media(value); !m) return std::unexpected(m.error());
  return {};
}

std::expected<void, std::string> check_flag(std::string_view op, std::size_t position, const std::string& value) {
  if (value == "true" || value == "false") return {};
  return std::unexpected(cat(op, " takes true or false as its ", ordinal(position), " argument"));
}

const Argument kPath{"PATH"};
const Argument kRoot{"ROOT"};
const Argument kMedia{"MEDIA", check_media};  // read with parse_media
const Argument kFlag{"true|false", check_flag};

std::string root_result(const Op& op, PathBufOption r) {
  if (!r.is_some()) return line(op, "\"result\":\"None\"");
  std::string out = line(op, "\"result\":\"Some\",\"path\":" + json(RString{r.value.inner}));
  release(r.value);
  return out;
}

std::string media_result(const Op& op, MediaResult r) {
  if (!r.is_ok()) return line(op, "\"result\":\"Err\"," + take_error(r.payload.err));
  std::string out = line(op, "\"result\":\"Ok\",\"media\":" + media_json(from_record(r.payload.ok)));
  release(r.payload.ok);
  return out;
}

// The media list of an argument that passed check_media, as the record the
// driver borrows; released once the call returns.
template <class F>
UnitResult with_media(const std::string& text, F call) {
  abi::StorageMedia media = to_record(*parse_media(text));
  const UnitResult r = call(&media);
  release(media);
  return r;
}

// The object writes itself into a text of ours.
std::string debug_result(const Op& op, const VTableFields& t, void* self, FormattingMode mode) {
  RString buf = own_string("");
  const UnitUnitResult r = t._sabi_vtable.get()._sabi_debug(self, mode, &buf);
  std::string out = line(op, cat("\"result\":\"", r.tag == kROk ? "Ok" : "Err", "\",\"text\":", json(buf)));
  release(buf);
  return out;
}

using T = const VTableFields&;

}  // namespace

const std::vector<Operation>& operations() {
  static const std::vector<Operation> table = {
      {"init", {}, Access::Exclusive, [](const Op& op, T t, void* self) { return unit(op, t.init(self)); }},
      {"done", {}, Access::Exclusive, [](const Op& op, T t, void* self) { return unit(op, t.done(self)); }},
      {"root", {}, Access::Shared, [](const Op& op, T t, void* self) { return root_result(op, t.root(self)); }},
      {"at_root", {kPath}, Access::Shared,
       [](const Op& op, T t, void* self) {
         const RPath path = RPath::borrow(op.args[0]);
         return path_result(op, t.at_root(self, &path));
       }},
      {"stores", {}, Access::Shared, [](const Op& op, T t, void* self) { return media_result(op, t.stores(self)); }},
      {"initialize_stores", {kMedia}, Access::Exclusive,
       [](const Op& op, T t, void* self) {
         return unit(op, with_media(op.args[0], [&](abi::StorageMedia* media) {
                       return t.initialize_stores(self, media, host_text());
                     }));
       }},
      {"attach_stores", {kRoot, kMedia}, Access::Exclusive,
       [](const Op& op, T t, void* self) {
         const RPath root = RPath::borrow(op.args[0]);
         return unit(op, with_media(op.args[1], [&](abi::StorageMedia* media) {
                       return t.attach_stores(self, &root, media, host_text());
                     }));
       }},
      {"detach_stores", {kRoot}, Access::Exclusive,
       [](const Op& op, T t, void* self) {
         const RPath root = RPath::borrow(op.args[0]);
         return unit(op, t.detach_stores(self, &root));
       }},
      {"take_snapshot", {}, Access::Shared,
       [](const Op& op, T t, void* self) { return snapshot_result(op, t.take_snapshot(self)); }},
      {"next_snapshot", {}, Access::Shared,
       [](const Op& op, T t, void* self) { return snapshot_result(op, t.next_snapshot(self)); }},
      {"last_snapshot", {}, Access::Shared,
       [](const Op& op, T t, void* self) { return snapshot_result(op, t.last_snapshot(self)); }},
      {"edge_snapshot", {}, Access::Shared,
       [](const Op& op, T t, void* self) { return snapshot_result(op, t.edge_snapshot(self)); }},
      {"full_snapshot", {}, Access::Shared,
       [](const Op& op, T t, void* self) { return snapshot_result(op, t.full_snapshot(self)); }},
      {"snapshot", {kPath, kFlag}, Access::Shared,
       [](const Op& op, T t, void* self) {
         const RPath path = RPath::borrow(op.args[0]);
         return snapshot_result(op, t.snapshot(self, &path, op.args[1] == "true"));
       }},
      {"debug", {}, Access::Shared,
       [](const Op& op, T t, void* self) { return debug_result(op, t, self, FormattingMode::Default); }},
      {"debug_alt", {}, Access::Shared,
       [](const Op& op, T t, void* self) { return debug_result(op, t, self, FormattingMode::Alternate); }},
  };
  return table;
}

const Operation* find_operation(std::string_view name) {
  for (const Operation& operation : operations()) {
    if (operation.name == name) return &operation;
  }
  return nullptr;
}

std::string argument_names(const Operation& operation) {
  std::string out;
  for (const Argument& a : operation.arguments) out += cat(out.empty() ? "" : " ", a.shown);
  return out;
}

std::string operations_help() {
  // Each operation with its arguments, never split, filled into lines of at
  // most 99 columns, as the rest of --help is.
  constexpr std::size_t kWidth = 99;
  std::string out;
  std::string current = "Operations:";
  const auto& all = operations();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::string args = argument_names(all[i]);
    const std::string item = cat(all[i].name, args.empty() ? "" : " ", args, i + 1 < all.size() ? "," : ".");
    if (current.size() + 1 + item.size() > kWidth) {
      out += current + "\n";
      current = "  " + item;
    } else {
      current += " " + item;
    }
  }
  return out + current + "\n";
}

std::vector<std::string> split_script(const std::string& text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else {
      const std::size_t start = i;
      while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      words.push_back(text.substr(start, i - start));
    }
  }
  return words;
}

std::expected<std::vector<Op>, std::string> parse_ops(const std::vector<std::string>& words) {
  std::vector<Op> ops;
  for (std::size_t i = 0; i < words.size();) {
    const Operation* operation = find_operation(words[i]);
    if (operation == nullptr) return std::unexpected("unknown operation \"" + words[i] + "\"");
    Op op{words[i], {}};
    ++i;
    const std::size_t count = operation->arguments.size();
    for (std::size_t k = 0; k < count; ++k, ++i) {
      if (i >= words.size()) return std::unexpected(cat(op.name, " needs ", count, " argument(s)"));
      auto arg = unescape(words[i]);
      if (!arg) return std::unexpected(arg.error());
      op.args.push_back(std::move(*arg));
    }
    for (std::size_t k = 0; k < count; ++k) {
      const Argument& argument = operation->arguments[k];
      if (argument.check == nullptr) continue;
      if (auto checked = argument.check(op.name, k, op.args[k]); !checked) return std::unexpected(checked.error());
    }
    ops.push_back(std::move(op));
  }
  return ops;
}

std::expected<lmfs::StorageMedia, std::string> parse_media(const std::string& text) {
  lmfs::StorageMedia media;
  if (text == "-") return media;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, end - start);
    if (item.starts_with("block:")) {
      media.inner.push_back(lmfs::StorageMedium::block(item.substr(6)));
    } else if (item.starts_with("path:")) {
      media.inner.push_back(lmfs::StorageMedium::path(item.substr(5)));
    } else if (item.starts_with("urn:")) {
      media.inner.push_back(lmfs::StorageMedium::urn(item.substr(4)));
    } else if (item == "none") {
      media.inner.push_back(lmfs::StorageMedium::none());
    } else {
      return std::unexpected("bad medium \"" + item + "\" (block:NAME, path:BYTES, urn:TEXT or none)");
    }
    start = end + 1;
  }
  return media;
}

namespace {

// A driver object is only used when every table it brings is whole: the
// operation table with all its operations, the object-level table with its
// drop and Debug, and a box with its data.
std::expected<void, std::string> check_object(const StorageDriver_TO& object) {
  const VTable* table = object.obj.vtable.ptr;
  if (table == nullptr) return std::unexpected(std::string("a driver object without an operation table"));
  if ((table->metadata.field_accessibility & kVTableMask) != kVTableMask) {
    return std::unexpected(cat("a driver object whose operation table lacks operations (mask ",
                               text::hex(table->metadata.field_accessibility), ")"));
  }
  void* ops[14];
  static_assert(sizeof ops == sizeof(VTableFields) - sizeof(PrefixRef<RObjectVtableFields>));
  std::memcpy(&ops, static_cast<const void*>(&table->fields.init), sizeof ops);
  for (void* op : ops) {
    if (op == nullptr) return std::unexpected(std::string("a driver object whose operation table has a null operation"));
  }
  const RObjectVtable* object_table = table->fields._sabi_vtable.ptr;
  constexpr std::uint64_t kDropAndDebug = (1U << 2) | (1U << 4);
  if (object_table == nullptr || (object_table->metadata.field_accessibility & kDropAndDebug) != kDropAndDebug ||
      object_table->fields._sabi_drop == nullptr || object_table->fields._sabi_debug == nullptr) {
    return std::unexpected(std::string("a driver object without its drop and Debug functions"));
  }
  if (object.obj.ptr.data == nullptr) return std::unexpected(std::string("a driver object with no object in its box"));
  return {};
}

}  // namespace

std::expected<Driver, std::string> Driver::create(const LoadedPlugin& plugin, const std::string& params) {
  const Op op{"new", {}};
  NewResult r = plugin.root_module->fields.new_(RawValueBox{own_string(params)});
  Driver d;
  if (r.tag == kRErr) {
    d.result_line = line(op, "\"result\":\"Err\"," + take_error(r.payload.err));
    return d;
  }
  if (r.tag != kROk) return std::unexpected(cat("`new` answered with an unknown result tag ", unsigned{r.tag}));
  // A damaged object is left alone: dropping it would follow its tables.
  if (auto checked = check_object(r.payload.ok); !checked) return std::unexpected("`new` answered with " + checked.error());
  d.result_line = line(op, "\"result\":\"Ok\"");
  d.object = std::make_unique<DriverObject>(r.payload.ok);
  return d;
}

DriverObject::~DriverObject() {
  const auto& object_table = object_.obj.vtable.get()._sabi_vtable.get();
  object_table._sabi_drop(&object_.obj.ptr);
}

std::string DriverObject::run(const Op& op) {
  const Operation* operation = find_operation(op.name);
  if (operation == nullptr) {
    return line(op, cat("\"result\":\"Err\",\"error\":{\"variant\":\"Other\",\"text\":",
                        json("unknown operation \"" + op.name + "\""), "}"));
  }
  return operation->call(op, object_.obj.vtable.get(), object_.obj.ptr.data);
}

}  // namespace lmfs::host
