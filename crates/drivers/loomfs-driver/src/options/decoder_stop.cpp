// What the decoder makes of RapidJSON stopping with an error: the failure the
// library reports instead, or where to resume when the library would go on.
#include <expected>

#include "decoder.h"
#include "json_number.h"

namespace lmfs::loomfs::json {

// Follows the library from the end of the last token.
Outcome Decoder::explain(const rapidjson::ParseResult& err) const {
  const std::size_t len = in_.size();
  std::size_t i = skip_ws(last_);
  const bool eof = i >= len;
  const auto peek_fail = [&](Code c) -> Outcome { return syntax(c, peek_index(i)); };

  if (skipping_) {
    // Just after the unknown key, or after a key inside the ignored value.
    if (nest_.size() == skip_base_ || phase_ == Phase::AfterKey) return after_key(last_, Want::Ignored, err);
    const bool list = nest_.back() == '[';
    if (eof) return peek_fail(list ? Code::EofWhileParsingList : Code::EofWhileParsingObject);
    if (phase_ == Phase::AfterValue) {
      if (in_[i] != ',') return peek_fail(list ? Code::ExpectedListCommaOrEnd : Code::ExpectedObjectCommaOrEnd);
      if (list) return value(i + 1, Want::Ignored, err);
      i = skip_ws(i + 1);
      if (i >= len) return peek_fail(Code::EofWhileParsingObject);
    }
    if (list) return token(i, Want::Ignored, err);
    if (in_[i] != '"') return peek_fail(Code::KeyMustBeAString);
    return string_token(i, false, err);
  }

  if (stack_.empty()) return value(last_, Want::Options, err);
  const Frame& top = stack_.back();
  switch (top.kind) {
    case Frame::Kind::Map:
      if (top.field != kAwaitKey) return after_key(last_, want(), err);
      if (eof) return peek_fail(Code::EofWhileParsingObject);
      if (phase_ != Phase::Open) {
        if (in_[i] != ',') return peek_fail(Code::ExpectedObjectCommaOrEnd);
        i = skip_ws(i + 1);
        if (i >= len) return peek_fail(Code::EofWhileParsingValue);
        if (in_[i] == '}') return peek_fail(Code::TrailingComma);
      }
      if (in_[i] != '"') return peek_fail(Code::KeyMustBeAString);
      return string_token(i, true, err);
    case Frame::Kind::Seq:
    case Frame::Kind::List:
      if (eof) return peek_fail(Code::EofWhileParsingList);
      if (seq_full()) {
        if (in_[i] == ',') {
          i = skip_ws(i + 1);
          if (i < len && in_[i] == ']') return peek_fail(Code::TrailingComma);
        }
        return peek_fail(Code::TrailingCharacters);
      }
      if (phase_ != Phase::Open) {
        if (in_[i] != ',') return peek_fail(Code::ExpectedListCommaOrEnd);
        i = skip_ws(i + 1);
        if (i >= len) return peek_fail(Code::EofWhileParsingValue);
        if (in_[i] == ']') return peek_fail(Code::TrailingComma);
      }
      return token(i, want(), err);
    case Frame::Kind::Enum:
      if (top.stage == Stage::AwaitKind) return value(last_, Want::VariantName, err);
      if (top.stage == Stage::AwaitValue) return after_key(last_, want(), err);
      // The library reports the end of a medium object before the byte it dislikes.
      return syntax(eof ? Code::EofWhileParsingObject : Code::ExpectedSomeValue, i);
  }
  return unexplained(err);
}

Outcome Decoder::after_key(std::size_t i, Want w, const rapidjson::ParseResult& err) const {
  i = skip_ws(i);
  if (i >= in_.size()) return syntax(Code::EofWhileParsingObject, in_.size());
  if (in_[i] != ':') return syntax(Code::ExpectedColon, peek_index(i));
  return value(i + 1, w, err);
}

Outcome Decoder::value(std::size_t i, Want w, const rapidjson::ParseResult& err) const {
  i = skip_ws(i);
  if (i >= in_.size()) return syntax(Code::EofWhileParsingValue, in_.size());
  return token(i, w, err);
}

// The token at `i` (not at the end), read as the library reads a value for `w`.
Outcome Decoder::token(std::size_t i, Want w, const rapidjson::ParseResult& err) const {
  const char b = in_[i];
  const bool numeric = b == '-' || (b >= '0' && b <= '9');
  if (w == Want::Ignored) {
    if (b == 'n' || b == 't' || b == 'f') return literal_token(i, w, err);
    if (b == '"') return string_token(i, false, err);
    if (numeric) {
      const auto end = skip_number(in_, i);
      if (!end) return end.error();
      // Any size is fine to the library's skipper.
      if (err.Code() == rapidjson::kParseErrorNumberTooBig) return Resume{*end, false};
      return unexplained(err);
    }
    if (b == '[' || b == '{') return unexplained(err);
    return syntax(Code::ExpectedSomeValue, peek_index(i));
  }
  if (w == Want::Medium) {
    if (b == '"') return string_token(i, true, err);
    if (b == '{') return unexplained(err);
    return syntax(Code::ExpectedSomeValue, peek_index(i));
  }
  switch (b) {
    case 'n':
    case 't':
    case 'f': return literal_token(i, w, err);
    case '"': return string_token(i, true, err);
    case '[': return invalid_type("sequence", w, i);
    case '{': return invalid_type("map", w, i);
    default: break;
  }
  if (!numeric) return syntax(Code::ExpectedSomeValue, peek_index(i));
  const auto n = read_number(in_, i);
  if (!n) return n.error();
  if (auto f = number_verdict(w, *n)) return *f;
  return unexplained(err);
}

Outcome Decoder::literal_token(std::size_t i, Want w, const rapidjson::ParseResult& err) const {
  const std::string_view word = in_[i] == 'n' ? "null" : (in_[i] == 't' ? "true" : "false");
  for (std::size_t k = 1; k < word.size(); ++k) {
    if (i + k >= in_.size()) return syntax(Code::EofWhileParsingValue, in_.size());
    if (in_[i + k] != word[k]) return syntax(Code::ExpectedSomeIdent, i + k + 1);
  }
  // A whole word reaches here unread by RapidJSON only where a kind name was due.
  if (w == Want::Ignored || (word == "null" && (w == Want::Flags || w == Want::Unit))) return unexplained(err);
  const std::size_t end = i + word.size();
  if (word == "null") return invalid_type("null", w, end);
  return invalid_type(word == "true" ? "boolean `true`" : "boolean `false`", w, end);
}

// A string RapidJSON stopped in. `checked`: the library decodes it (rather
// than skipping it inside an ignored value) and refuses lone surrogates.
Outcome Decoder::string_token(std::size_t quote, bool checked, const rapidjson::ParseResult& err) const {
  const std::size_t x = err.Offset();
  if (x <= quote) return unexplained(err);
  if (checked) {
    if (auto f = lone_trailing_surrogate(quote, x)) return *f;
  }
  // The library's decoder reports a control character after the byte, its
  // skipper before it.
  const std::size_t control_at = checked ? x + 1 : x;
  switch (err.Code()) {
    case rapidjson::kParseErrorStringMissQuotationMark:  // end of input or a NUL byte
      if (x >= in_.size()) return syntax(Code::EofWhileParsingString, in_.size());
      return syntax(Code::ControlCharacterWhileParsingString, control_at);
    case rapidjson::kParseErrorStringEscapeInvalid:
      if (in_[x] != '\\') return syntax(Code::ControlCharacterWhileParsingString, control_at);
      if (x + 1 >= in_.size()) return syntax(Code::EofWhileParsingString, in_.size());
      return syntax(Code::InvalidEscape, x + 2);
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid: return escape(x, checked, err);
    default: return unexplained(err);
  }
}

// The \u escape at `at` that RapidJSON refused, as the library reads it.
Outcome Decoder::escape(std::size_t at, bool checked, const rapidjson::ParseResult& err) const {
  const auto hex4 = [&](std::size_t from) -> std::expected<int, Failure> {
    if (from + 4 > in_.size()) return std::unexpected(syntax(Code::EofWhileParsingString, in_.size()));
    int v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int digit = hex_value(in_[from + k]);
      if (digit < 0) return std::unexpected(syntax(Code::InvalidEscape, from + k + 1));
      v = v * 16 + digit;
    }
    return v;
  };
  const auto first = hex4(at + 2);
  if (!first) return first.error();
  // Skipping, the library takes any four hex digits; what RapidJSON disliked
  // comes after them.
  if (!checked) return Resume{at + 6, true};
  if (*first >= 0xD800 && *first <= 0xDBFF) {
    const std::size_t y = at + 6;
    if (y >= in_.size()) return syntax(Code::EofWhileParsingString, in_.size());
    if (in_[y] != '\\') return syntax(Code::UnexpectedEndOfHexEscape, y + 1);
    if (y + 1 >= in_.size()) return syntax(Code::EofWhileParsingString, in_.size());
    if (in_[y + 1] != 'u') return syntax(Code::UnexpectedEndOfHexEscape, y + 2);
    const auto second = hex4(y + 2);
    if (!second) return second.error();
    if (*second < 0xDC00 || *second > 0xDFFF) return syntax(Code::LoneLeadingSurrogateInHexEscape, y + 6);
  }
  return unexplained(err);
}

// Should RapidJSON ever stop where the library would not, its stop is
// reported plainly rather than not at all.
Failure Decoder::unexplained(const rapidjson::ParseResult& err) const {
  return syntax(Code::ExpectedSomeValue, peek_index(err.Offset()));
}

std::pair<std::string, std::size_t> Decoder::lead_in(bool inside_string) const {
  const std::size_t base = nest_.size() > kLeadInDepth ? nest_.size() - kLeadInDepth : 0;
  std::string lead;
  std::size_t events = 0;
  for (std::size_t k = base; k < nest_.size(); ++k) {
    const bool innermost = k + 1 == nest_.size();
    if (nest_[k] == '[') {
      lead += '[';
      events += 1;
    } else if (innermost && inside_string && phase_ != Phase::AfterKey) {
      lead += '{';  // the string is a key
      events += 1;
    } else {
      lead += "{\"\":";
      events += 2;
    }
  }
  if (inside_string) {
    lead += '"';
  } else {
    lead += "true";  // stands for the value that just ended
    events += 1;
  }
  return {std::move(lead), events};
}

}  // namespace lmfs::loomfs::json
