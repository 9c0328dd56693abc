#include "script.h"

#include <cstring>
#include <map>
#include <optional>
#include <span>

#include "lmfs_text/text.h"
#include "lmfs_text/strcat.h"

namespace lmfs::host {
namespace {

using text::cat;

using namespace lmfs::abi;

// Argument counts of the operations.
const std::map<std::string, std::size_t, std::less<>>& arities() {
  static const std::map<std::string, std::size_t, std::less<>> table = {
      {"init", 0},          {"done", 0},          {"root", 0},          {"at_root", 1},
      {"stores", 0},        {"initialize_stores", 1}, {"attach_stores", 2}, {"detach_stores", 1},
      {"take_snapshot", 0}, {"next_snapshot", 0}, {"last_snapshot", 0}, {"edge_snapshot", 0},
      {"full_snapshot", 0}, {"snapshot", 2},      {"debug", 0},         {"debug_alt", 0},
  };
  return table;
}

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

}  // namespace

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
    auto it = arities().find(words[i]);
    if (it == arities().end()) return std::unexpected("unknown operation \"" + words[i] + "\"");
    Op op{words[i], {}};
    ++i;
    for (std::size_t k = 0; k < it->second; ++k, ++i) {
      if (i >= words.size()) return std::unexpected(cat(op.name, " needs ", it->second, " argument(s)"));
      auto arg = unescape(words[i]);
      if (!arg) return std::unexpected(arg.error());
      op.args.push_back(std::move(*arg));
    }
    if (op.name == "initialize_stores" || op.name == "attach_stores") {
      if (auto m = parse_media(op.args.back()); !m) return std::unexpected(m.error());
    }
    if (op.name == "snapshot" && op.args[1] != "true" && op.args[1] != "false") {
      return std::unexpected("snapshot takes true or false as its second argument");
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
  const VTableFields& t = object_.obj.vtable.get();
  void* self = object_.obj.ptr.data;
  const auto& n = op.name;
  if (n == "init") return unit(op, t.init(self));
  if (n == "done") return unit(op, t.done(self));
  if (n == "root") {
    PathBufOption r = t.root(self);
    if (!r.is_some()) return line(op, "\"result\":\"None\"");
    std::string out = line(op, "\"result\":\"Some\",\"path\":" + json(RString{r.value.inner}));
    release(r.value);
    return out;
  }
  if (n == "at_root") {
    const RPath p = RPath::borrow(op.args[0]);
    return path_result(op, t.at_root(self, &p));
  }
  if (n == "stores") {
    MediaResult r = t.stores(self);
    if (!r.is_ok()) return line(op, "\"result\":\"Err\"," + take_error(r.payload.err));
    std::string out = line(op, "\"result\":\"Ok\",\"media\":" + media_json(from_record(r.payload.ok)));
    release(r.payload.ok);
    return out;
  }
  if (n == "initialize_stores" || n == "attach_stores") {
    abi::StorageMedia media = to_record(*parse_media(op.args.back()));
    UnitResult r;
    if (n == "initialize_stores") {
      r = t.initialize_stores(self, &media, host_text());
    } else {
      const RPath root = RPath::borrow(op.args[0]);
      r = t.attach_stores(self, &root, &media, host_text());
    }
    release(media);
    return unit(op, r);
  }
  if (n == "detach_stores") {
    const RPath root = RPath::borrow(op.args[0]);
    return unit(op, t.detach_stores(self, &root));
  }
  if (n == "take_snapshot") return snapshot_result(op, t.take_snapshot(self));
  if (n == "next_snapshot") return snapshot_result(op, t.next_snapshot(self));
  if (n == "last_snapshot") return snapshot_result(op, t.last_snapshot(self));
  if (n == "edge_snapshot") return snapshot_result(op, t.edge_snapshot(self));
  if (n == "full_snapshot") return snapshot_result(op, t.full_snapshot(self));
  if (n == "snapshot") {
    const RPath p = RPath::borrow(op.args[0]);
    return snapshot_result(op, t.snapshot(self, &p, op.args[1] == "true"));
  }
  // debug, debug_alt: the object writes itself into a text of ours.
  const auto& object_table = t._sabi_vtable.get();
  RString buf = own_string("");
  const auto mode = n == "debug_alt" ? FormattingMode::Alternate : FormattingMode::Default;
  const UnitUnitResult r = object_table._sabi_debug(self, mode, &buf);
  std::string out = line(op, cat("\"result\":\"", r.tag == kROk ? "Ok" : "Err", "\",\"text\":", json(buf)));
  release(buf);
  return out;
}

}  // namespace lmfs::host
