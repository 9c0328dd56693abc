// decode_options: one pass over the text with the grammar of the host's JSON
// library, serde_json's deserializer driven by derived record visitors.
//
// Each reader below stands for the library's reader of the same kind of value
// and fails where that one fails: syntax failures are placed by the Reader as
// they arise; a visitor's failure (a wrong type, a missing field) is placed
// where the library places it, after the reader of the value, or of the
// container around it, has finished. The records nest a fixed few levels
// deep; values under unknown keys, which may nest to any depth, are skipped on
// an explicit stack, so the C++ stack depth does not depend on the input.
#include <algorithm>
#include <new>
#include <tuple>

#include "json_reader.h"
#include "lmfs_abi/records.h"
#include "lmfs_text/text.h"
#include "loomfs_driver/options.h"
#include "schema.h"

namespace lmfs::loomfs {
namespace json {
namespace {

constexpr int kEnd = Reader::kEnd;

bool is_digit(int c) { return c >= '0' && c <= '9'; }

template <class T>
T& target(const Field& field) {
  return **std::get_if<T*>(&field.slot);
}

class Decoder {
 public:
  explicit Decoder(std::string_view in) : r_(in) {}

  // What options() stopped at.
  [[nodiscard]] Failure& failure() { return r_.failure(); }

  // The whole text: the options, then nothing but blanks.
  Status options(LoomFsDriverOptions& out) {
    const Field fields[] = {{"flags", Want::Flags, &out.flags},
                            {"bin_dir", Want::Path, &out.bin_dir},
                            {"media", Want::Media, &out.media},
                            {"root", Want::Path, &out.root}};
    LMFS_TRY(record(Want::Options, fields));
    if (r_.peek_ws() != kEnd) return r_.peek_error(Code::TrailingCharacters);
    return {};
  }

 private:
  Status value(const Field& field) {
    switch (field.want) {
      case Want::Flags: return flags(target<std::optional<std::string>>(field));
      case Want::Path:
      case Want::Text: return string(field.want, target<std::string>(field));
      case Want::Media: return media(target<StorageMedia>(field));
      case Want::MediumList: return medium_list(target<std::vector<StorageMedium>>(field));
      case Want::ByteList: return byte_list(target<std::string>(field));
      default: return unexpected_value(field.want);  // no field holds anything else
    }
  }

  // --- records and lists

  // A record: an object of its fields by name, or an array of them in order.
  Status record(Want want, std::span<const Field> fields) {
    LMFS_TRY(value_start(want, "{["));
    const int b = r_.peek();
    r_.eat();
    Status visited = b == '{' ? members(fields) : elements(want, fields);
    return closed(std::move(visited), b);
  }

  Status members(std::span<const Field> fields) {
    std::uint8_t seen = 0;  // bit k: fields[k] was given
    std::string scratch;
    std::string_view key;
    for (bool first = true;; first = false) {
      bool more = false;
      LMFS_TRY(next(first, '}', more));
      if (!more) break;
      r_.eat();
      LMFS_TRY(r_.string_view(scratch, key));
      const auto field = std::ranges::find(fields, key, &Field::name);
      if (field == fields.end()) {
        LMFS_TRY(r_.colon());
        LMFS_TRY(skip());
        continue;
      }
      const auto bit = static_cast<std::uint8_t>(1u << (field - fields.begin()));
      if (seen & bit) return r_.fail(duplicate_field(field->name));
      seen |= bit;
      LMFS_TRY(r_.colon());
      LMFS_TRY(value(*field));
    }
    for (std::size_t k = 0; k < fields.size(); ++k) {
      if (required(fields[k]) && !((seen >> k) & 1)) return r_.fail(missing_field(fields[k].name));
    }
    return {};
  }

  Status elements(Want want, std::span<const Field> fields) {
    for (std::size_t k = 0; k < fields.size(); ++k) {
      bool more = false;
      LMFS_TRY(next(k == 0, ']', more));
      if (!more) return r_.fail(invalid_length(k, want, fields.size()));
      LMFS_TRY(value(fields[k]));
    }
    return {};
  }

  Status media(StorageMedia& out) { return record(Want::Media, {{{"inner", Want::MediumList, &out.inner}}}); }

  Status medium_list(std::vector<StorageMedium>& out) {
    // Room for a few at once: a store has a handful of media, and growing
    // one by one would move them each time.
    constexpr std::size_t kUsualMedia = 4;
    return list(Want::MediumList, [&] {
      if (out.capacity() < kUsualMedia) out.reserve(kUsualMedia);
      return medium(out.emplace_back());
    });
  }

  Status byte_list(std::string& out) {
    return list(Want::ByteList, [&]() -> Status {
      char c = 0;
      LMFS_TRY(byte(c));
      out += c;
      return {};
    });
  }

  template <class Element>
  Status list(Want want, Element element) {
    LMFS_TRY(value_start(want, "["));
    r_.eat();
    Status visited = [&]() -> Status {
      for (bool first = true;; first = false) {
        bool more = false;
        LMFS_TRY(next(first, ']', more));
        if (!more) return {};
        LMFS_TRY(element());
      }
    }();
    return closed(std::move(visited), '[');
  }

  // The library closes a container even when its visitor failed, and places
  // the visitor's failure after the close (a failure of the close itself is
  // then dropped).
  Status closed(Status visited, int bracket) {
    if (visited) return bracket == '{' ? end_object() : end_list();
    Failure kept = std::move(r_.failure());
    std::ignore = bracket == '{' ? end_object() : end_list();
    std::ignore = r_.fail(std::move(kept));
    return r_.placed(visited);
  }

  // Before each member of a list or object: `more` is false at its close;
  // otherwise the comma before it is taken (but for the first) and the byte
  // that starts it is peeked at.
  Status next(bool first, char close, bool& more) {
    const bool list = close == ']';
    int b = r_.peek_ws();
    more = b != close;
    if (!more) return {};
    if (b == ',' && !first) {
      r_.eat();
      b = r_.peek_ws();
    } else if (b == kEnd) {
      return r_.peek_error(list ? Code::EofWhileParsingList : Code::EofWhileParsingObject);
    } else if (!first) {
      return r_.peek_error(list ? Code::ExpectedListCommaOrEnd : Code::ExpectedObjectCommaOrEnd);
    }
    if (b == close) return r_.peek_error(Code::TrailingComma);
    if (b == kEnd) return r_.peek_error(Code::EofWhileParsingValue);
    if (!list && b != '"') return r_.peek_error(Code::KeyMustBeAString);
    return {};
  }

  Status end_list() {
    const int b = r_.peek_ws();
    if (b == ']') {
      r_.eat();
      return {};
    }
    if (b == ',') {
      r_.eat();
      return r_.peek_error(r_.peek_ws() == ']' ? Code::TrailingComma : Code::TrailingCharacters);
    }
    return r_.peek_error(b == kEnd ? Code::EofWhileParsingList : Code::TrailingCharacters);
  }

  Status end_object() {
    const int b = r_.peek_ws();
    if (b == '}') {
      r_.eat();
      return {};
    }
    return r_.peek_error(b == ',' ? Code::TrailingComma : b == kEnd ? Code::EofWhileParsingObject : Code::TrailingCharacters);
  }

  // --- media

  // `"None"`, or an object with one kind name and its value. A failure of a
  // bare kind name that needs a value stays unplaced up to the list.
  Status medium(StorageMedium& out) {
    const int b = r_.peek_ws();
    if (b == '"') {
      LMFS_TRY(kind(out.kind));
      if (out.kind != MediumKind::None) return r_.fail(unit_variant());
      return {};
    }
    if (b != '{') return r_.peek_error(b == kEnd ? Code::EofWhileParsingValue : Code::ExpectedSomeValue);
    r_.eat();
    LMFS_TRY(kind(out.kind));
    LMFS_TRY(r_.colon());
    switch (out.kind) {
      case MediumKind::Block: LMFS_TRY(record(Want::OsString, {{{"inner", Want::Text, &out.value}}})); break;
      case MediumKind::Path: LMFS_TRY(record(Want::PathBuf, {{{"inner", Want::ByteList, &out.value}}})); break;
      case MediumKind::URN: LMFS_TRY(string(Want::Text, out.value)); break;
      case MediumKind::None: LMFS_TRY(unit()); break;
    }
    // The object holds that one key; what else comes is placed before itself.
    const int e = r_.peek_ws();
    if (e == '}') {
      r_.eat();
      return {};
    }
    return r_.error(e == kEnd ? Code::EofWhileParsingObject : Code::ExpectedSomeValue);
  }

  Status kind(MediumKind& out) {
    std::string scratch;
    std::string_view name;
    LMFS_TRY(string_view(Want::VariantName, scratch, name));
    const auto k = kind_named(name);
    if (!k) return r_.placed(r_.fail(unknown_variant(name)));
    out = *k;
    return {};
  }

  // --- scalars

  Status string(Want want, std::string& out) {
    LMFS_TRY(value_start(want, "\""));
    r_.eat();
    return r_.string(&out);
  }
  // A string only compared: see Reader::string_view.
  Status string_view(Want want, std::string& scratch, std::string_view& out) {
    LMFS_TRY(value_start(want, "\""));
    r_.eat();
    return r_.string_view(scratch, out);
  }

  Status flags(std::optional<std::string>& out) {
    if (r_.peek_ws() != 'n') return string(Want::Flags, out.emplace());
    out.reset();
    return r_.word("null");
  }

  Status byte(char& out) {
    LMFS_TRY(value_start(Want::Byte, "-0123456789"));
    Number n;
    LMFS_TRY(r_.number(&n));
    if (n.kind == Number::Kind::Unsigned && n.u <= 0xFF) {
      out = static_cast<char>(n.u);
      return {};
    }
    const std::string quoted = describe(n);
    return r_.placed(r_.fail(n.kind == Number::Kind::Float ? invalid_type(quoted, Want::Byte) : invalid_value(quoted, Want::Byte)));
  }

  Status unit() {
    LMFS_TRY(value_start(Want::Unit, "n"));
    return r_.word("null");
  }

  // After blanks, the first byte of a value `want` takes is due: one of
  // `starts`, or else a failure that names what came instead.
  Status value_start(Want want, std::string_view starts) {
    const int b = r_.peek_ws();
    if (b == kEnd) return r_.peek_error(Code::EofWhileParsingValue);
    if (std::ranges::find(starts, static_cast<char>(b)) == starts.end()) return unexpected_value(want);
    return {};
  }

  // The value at the reader (after blanks) is not one `want` takes: it is
  // read to be named in the message, placed after it.
  Status unexpected_value(Want want) {
    std::string unexpected;
    const int b = r_.peek();
    switch (b) {
      case 'n': LMFS_TRY(r_.word("null")); unexpected = "null"; break;
      case 't': LMFS_TRY(r_.word("true")); unexpected = "boolean `true`"; break;
      case 'f': LMFS_TRY(r_.word("false")); unexpected = "boolean `false`"; break;
      case '"': {
        r_.eat();
        std::string s;
        LMFS_TRY(r_.string(&s));
        unexpected = "string " + text::debug_str(s);
        break;
      }
      case '[': unexpected = "sequence"; break;
      case '{': unexpected = "map"; break;
      default: {
        if (b != '-' && !is_digit(b)) return r_.peek_error(Code::ExpectedSomeValue);
        Number n;
        LMFS_TRY(r_.number(&n));
        unexpected = describe(n);
      }
    }
    return r_.placed(r_.fail(json::invalid_type(unexpected, want)));
  }

  // A value under an unknown key: any JSON value, its strings and numbers
  // checked only for their grammar (lone surrogate escapes and numbers of any
  // size pass). `open_` holds the brackets of the containers it is inside.
  Status skip() {
    open_.clear();
    for (;;) {
      // A value, then the closes and the separator after it.
      bool after_value = true;
      switch (const int b = r_.peek_ws()) {
        case 'n': LMFS_TRY(r_.word("null")); break;
        case 't': LMFS_TRY(r_.word("true")); break;
        case 'f': LMFS_TRY(r_.word("false")); break;
        case '"': r_.eat(); LMFS_TRY(r_.string(nullptr)); break;
        case '[':
        case '{':
          r_.eat();
          open_.push_back(static_cast<char>(b));
          after_value = false;
          break;
        default:
          if (b == '-' || is_digit(b)) {
            LMFS_TRY(r_.number(nullptr));
            break;
          }
          return r_.peek_error(b == kEnd ? Code::EofWhileParsingValue : Code::ExpectedSomeValue);
      }
      for (;;) {
        if (open_.empty()) return {};
        const bool list = open_.back() == '[';
        const int c = r_.peek_ws();
        if (c == kEnd) return r_.peek_error(list ? Code::EofWhileParsingList : Code::EofWhileParsingObject);
        if (c == (list ? ']' : '}')) {
          r_.eat();
          open_.pop_back();
          after_value = true;
          continue;
        }
        if (!after_value) break;
        if (c != ',') return r_.peek_error(list ? Code::ExpectedListCommaOrEnd : Code::ExpectedObjectCommaOrEnd);
        r_.eat();
        break;
      }
      if (open_.back() == '{') {
        const int c = r_.peek_ws();
        if (c != '"') return r_.peek_error(c == kEnd ? Code::EofWhileParsingObject : Code::KeyMustBeAString);
        r_.eat();
        LMFS_TRY(r_.string(nullptr));
        LMFS_TRY(r_.colon());
      }
    }
  }

  Reader r_;
  std::vector<char> open_;
};

}  // namespace
}  // namespace json

std::expected<LoomFsDriverOptions, OptionsError> decode_options(std::string_view text) {
  // Allocation failures end the process the plug-in's one way.
  try {
    LoomFsDriverOptions opts;
    json::Decoder decoder(text);
    if (!decoder.options(opts)) return std::unexpected(json::placed_in(std::move(decoder.failure()), text));
    return opts;
  } catch (const std::bad_alloc&) {
    abi::internal::out_of_memory();
  }
}

}  // namespace lmfs::loomfs
