// The decoder's handling of RapidJSON's events.
#include <algorithm>

#include "decoder.h"
#include "json_number.h"
#include "lmfs_text/text.h"

namespace lmfs::loomfs::json {

bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// RapidJSON reports brackets before taking them, other tokens after.
bool Decoder::Null() { return muted() || literal(4, Lit::Null); }
bool Decoder::Bool(bool b) { return muted() || literal(b ? 4 : 5, b ? Lit::True : Lit::False); }
bool Decoder::RawNumber(const char*, rapidjson::SizeType length, bool) {
  return muted() || number(tell() - length, tell());
}
bool Decoder::String(const char* s, rapidjson::SizeType length, bool) {
  return muted() || string(std::string_view(s, length), tell());
}
bool Decoder::Key(const char* s, rapidjson::SizeType length, bool) {
  return muted() || key(std::string_view(s, length), tell());
}
bool Decoder::StartObject() { return muted() || open('{', tell()); }
bool Decoder::StartArray() { return muted() || open('[', tell()); }
bool Decoder::EndObject(rapidjson::SizeType) { return muted() || close(tell()); }
bool Decoder::EndArray(rapidjson::SizeType) { return muted() || close(tell()); }

// The library's "peek" errors include the byte looked at.
std::size_t Decoder::peek_index(std::size_t at) const { return std::min(in_.size(), at + 1); }

std::size_t Decoder::skip_ws(std::size_t i) const {
  while (i < in_.size() && is_ws(in_[i])) ++i;
  return i;
}

// Start of the token after the last one: blanks and one separator skipped.
std::size_t Decoder::token_start() const {
  std::size_t i = skip_ws(last_);
  if (i < in_.size() && (in_[i] == ',' || in_[i] == ':')) i = skip_ws(i + 1);
  return i;
}

// Where a failure raised by a list or record visitor is reported: after the
// library has finished the container, eating blanks and the closing bracket
// (or a comma and the blanks after it).
std::size_t Decoder::after_list_end(std::size_t i) const {
  i = skip_ws(i);
  if (i < in_.size() && in_[i] == ']') return i + 1;
  if (i < in_.size() && in_[i] == ',') return skip_ws(i + 1);
  return i;
}

std::size_t Decoder::after_map_end(std::size_t i) const {
  i = skip_ws(i);
  return i < in_.size() && in_[i] == '}' ? i + 1 : i;
}

// A record in array form with all its fields read: the library calls any
// further element "trailing characters".
bool Decoder::seq_full() const {
  if (skipping_ || stack_.empty()) return false;
  const Frame& top = stack_.back();
  return top.kind == Frame::Kind::Seq && static_cast<std::size_t>(top.count) >= record_of(top.want)->fields.size();
}

// What the next value must be (not while skipping, nor for a full array).
Want Decoder::want() const {
  if (stack_.empty()) return Want::Options;
  const Frame& top = stack_.back();
  switch (top.kind) {
    case Frame::Kind::Map: return record_of(top.want)->fields[static_cast<std::size_t>(top.field)].want;
    case Frame::Kind::Seq: return record_of(top.want)->fields[static_cast<std::size_t>(top.count)].want;
    case Frame::Kind::List: return top.want;
    case Frame::Kind::Enum: break;
  }
  return want_of(top.kind_of_medium);
}

// RapidJSON takes a lone trailing surrogate escape (\uDC00-\uDFFF) that the
// library refuses. Looks for one in the string opened at `quote`, before
// `limit`, in text RapidJSON has accepted.
std::optional<Failure> Decoder::lone_trailing_surrogate(std::size_t quote, std::size_t limit) const {
  std::size_t i = quote + 1;
  while (i < limit) {
    if (in_[i] != '\\') {
      ++i;
    } else if (i + 5 < limit && in_[i + 1] == 'u') {
      int v = 0;
      for (std::size_t k = 2; k < 6; ++k) v = v * 16 + hex_value(in_[i + k]);
      if (v >= 0xDC00 && v <= 0xDFFF) return syntax(Code::LoneLeadingSurrogateInHexEscape, i + 6);
      i += (v >= 0xD800 && v <= 0xDBFF) ? 12 : 6;  // a leading one comes paired
    } else {
      i += 2;
    }
  }
  return std::nullopt;
}

// A string the library decodes (outside ignored values) holds no lone
// surrogate escape and is UTF-8, the latter checked at its end.
std::optional<Failure> Decoder::check_text(std::string_view s, std::size_t end) const {
  // RapidJSON writes the surrogate as three bytes ED A0..BF xx.
  for (std::size_t k = 0; k + 1 < s.size(); ++k) {
    if (static_cast<unsigned char>(s[k]) == 0xED && static_cast<unsigned char>(s[k + 1]) >= 0xA0) {
      if (auto f = lone_trailing_surrogate(token_start(), end - 1)) return f;
      break;
    }
  }
  if (!text::is_utf8(s)) return syntax(Code::InvalidUnicodeCodePoint, end);
  return std::nullopt;
}

bool Decoder::muted() {
  if (mute_ == 0) return false;
  --mute_;
  return true;
}

bool Decoder::fail(Failure f) {
  failure_ = std::move(f);
  return false;
}

// A value finished: the enclosing container moves on.
void Decoder::value_done() {
  if (stack_.empty()) {
    done_ = true;
    return;
  }
  Frame& top = stack_.back();
  switch (top.kind) {
    case Frame::Kind::Map: top.field = kAwaitKey; break;
    case Frame::Kind::Seq: ++top.count; break;
    case Frame::Kind::List: break;
    case Frame::Kind::Enum: top.stage = Stage::AwaitEnd; break;
  }
}

bool Decoder::scalar_done(std::size_t end) {
  phase_ = Phase::AfterValue;
  last_ = end;
  value_done();
  return true;
}

bool Decoder::skipped_scalar(std::size_t end) {
  phase_ = Phase::AfterValue;
  last_ = end;
  if (nest_.size() == skip_base_) {
    skipping_ = false;
    value_done();
  }
  return true;
}

void Decoder::commit_medium() { opts_.media.inner.push_back(std::move(medium_)); }

bool Decoder::literal(std::size_t length, Lit lit) {
  const std::size_t end = tell();
  const std::size_t start = end - length;
  if (skipping_) return skipped_scalar(end);
  if (seq_full()) return fail(syntax(Code::TrailingCharacters, peek_index(start)));
  const Want w = want();
  // A medium is an object or a string; the library looks no further.
  if (w == Want::Medium) return fail(syntax(Code::ExpectedSomeValue, peek_index(start)));
  if (lit == Lit::Null && w == Want::Flags) {
    opts_.flags.reset();
    return scalar_done(end);
  }
  if (lit == Lit::Null && w == Want::Unit) return scalar_done(end);
  const std::string_view unexpected =
      lit == Lit::Null ? "null" : (lit == Lit::True ? "boolean `true`" : "boolean `false`");
  return fail(invalid_type(unexpected, w, end));
}

bool Decoder::number(std::size_t start, std::size_t end) {
  if (skipping_) {
    // Only the leading-zero rule differs from RapidJSON's grammar here.
    if (auto skipped = skip_number(in_, start); !skipped) return fail(skipped.error());
    return skipped_scalar(end);
  }
  if (seq_full()) return fail(syntax(Code::TrailingCharacters, peek_index(start)));
  const Want w = want();
  if (w == Want::Medium) return fail(syntax(Code::ExpectedSomeValue, peek_index(start)));
  const auto n = read_number(in_, start);
  if (!n) return fail(n.error());
  if (auto f = number_verdict(w, *n)) return fail(std::move(*f));
  medium_.value.push_back(static_cast<char>(n->u));
  return scalar_done(n->end);
}

bool Decoder::string(std::string_view s, std::size_t end) {
  if (skipping_) return skipped_scalar(end);
  if (seq_full()) return fail(syntax(Code::TrailingCharacters, peek_index(token_start())));
  const Want w = want();
  if (auto f = check_text(s, end)) return fail(std::move(*f));
  switch (w) {
    case Want::Flags: opts_.flags = std::string(s); break;
    case Want::Path: {
      const Frame& top = stack_.back();
      const int field = top.kind == Frame::Kind::Map ? top.field : top.count;
      (field == 1 ? opts_.bin_dir : opts_.root) = std::string(s);
      break;
    }
    case Want::Text: medium_.value = std::string(s); break;
    case Want::Medium: {
      const auto kind = kind_named(s);
      if (!kind) return fail(unknown_variant(s, end));
      // Reported once the library has finished the list around it.
      if (*kind != MediumKind::None) return fail(unit_variant(after_list_end(end)));
      medium_ = StorageMedium::none();
      commit_medium();
      break;
    }
    default: return fail(invalid_type("string " + text::debug_str(s), w, end));
  }
  return scalar_done(end);
}

bool Decoder::key(std::string_view s, std::size_t end) {
  if (!skipping_) {
    Frame& top = stack_.back();
    if (top.kind == Frame::Kind::Enum) {
      // A second key: the library wanted the medium object closed at the comma.
      if (top.stage == Stage::AwaitEnd) return fail(syntax(Code::ExpectedSomeValue, skip_ws(last_)));
      if (auto f = check_text(s, end)) return fail(std::move(*f));
      const auto kind = kind_named(s);
      if (!kind) return fail(unknown_variant(s, end));
      top.kind_of_medium = *kind;
      top.stage = Stage::AwaitValue;
      medium_ = StorageMedium{*kind, {}};
    } else {
      if (auto f = check_text(s, end)) return fail(std::move(*f));
      const auto fields = record_of(top.want)->fields;
      const auto it = std::find_if(fields.begin(), fields.end(), [&](const Field& f) { return f.name == s; });
      if (it == fields.end()) {
        skipping_ = true;
        skip_base_ = nest_.size();
      } else {
        const int index = static_cast<int>(it - fields.begin());
        if ((top.seen >> index) & 1) return fail(duplicate_field(it->name, after_map_end(end)));
        top.seen = static_cast<std::uint8_t>(top.seen | (1u << index));
        top.field = index;
      }
    }
  }
  phase_ = Phase::AfterKey;
  last_ = end;
  return true;
}

bool Decoder::open(char bracket, std::size_t at) {
  if (!skipping_) {
    if (seq_full()) return fail(syntax(Code::TrailingCharacters, peek_index(at)));
    const Want w = want();
    if (bracket == '{') {
      if (record_of(w) != nullptr) {
        stack_.push_back({Frame::Kind::Map, w});
      } else if (w == Want::Medium) {
        stack_.push_back({Frame::Kind::Enum, w});
      } else {
        return fail(invalid_type("map", w, at));
      }
    } else {
      if (record_of(w) != nullptr) {
        stack_.push_back({Frame::Kind::Seq, w});
      } else if (w == Want::MediumList || w == Want::ByteList) {
        stack_.push_back({Frame::Kind::List, w == Want::MediumList ? Want::Medium : Want::Byte});
      } else if (w == Want::Medium) {
        return fail(syntax(Code::ExpectedSomeValue, peek_index(at)));
      } else {
        return fail(invalid_type("sequence", w, at));
      }
    }
  }
  nest_.push_back(bracket);
  phase_ = Phase::Open;
  last_ = at + 1;
  return true;
}

bool Decoder::close(std::size_t at) {
  const std::size_t end = at + 1;
  if (skipping_) {
    nest_.pop_back();
    return skipped_scalar(end);
  }
  const Frame& top = stack_.back();
  switch (top.kind) {
    case Frame::Kind::Map: {
      const Record& rec = *record_of(top.want);
      for (std::size_t k = 0; k < rec.fields.size(); ++k) {
        if (((rec.required & ~top.seen) >> k) & 1) return fail(missing_field(rec.fields[k].name, end));
      }
      break;
    }
    case Frame::Kind::Seq: {
      const Record& rec = *record_of(top.want);
      if (static_cast<std::size_t>(top.count) < rec.fields.size()) {
        return fail(invalid_length(static_cast<std::size_t>(top.count), rec, end));
      }
      break;
    }
    case Frame::Kind::List: break;
    case Frame::Kind::Enum:
      // `{}`: the library wanted a kind name and found the brace.
      if (top.stage == Stage::AwaitKind) return fail(syntax(Code::ExpectedSomeValue, peek_index(at)));
      commit_medium();
      break;
  }
  stack_.pop_back();
  nest_.pop_back();
  return scalar_done(end);
}

}  // namespace lmfs::loomfs::json
