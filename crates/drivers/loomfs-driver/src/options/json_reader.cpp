#include "json_reader.h"

#include <algorithm>
#include <array>

#include "lmfs_text/text.h"

namespace lmfs::loomfs::json {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes that end a run of plain string bytes: control characters, the
// quote and the backslash. A table: one load per byte of a string.
constexpr std::array<bool, 256> kSpecial = [] {
  std::array<bool, 256> t{};
  for (unsigned c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = t['\\'] = true;
  return t;
}();
bool special(char c) { return kSpecial[static_cast<unsigned char>(c)]; }

void append_utf8(std::string& out, unsigned c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_surrogate(unsigned c, unsigned first) { return c >= first && c <= first + 0x3FF; }

}  // namespace

std::unexpected<Stopped> Reader::peek_error(Code code) { return fail(syntax(code, std::min(in_.size(), pos_ + 1))); }

Status Reader::placed(Status status) {
  if (!status && failure_.index == Failure::kUnplaced) failure_.index = pos_;
  return status;
}

Status Reader::word(std::string_view word) {
  ++pos_;  // its first byte, seen by peek()
  for (const char expected : word.substr(1)) {
    if (pos_ >= in_.size()) return error(Code::EofWhileParsingValue);
    if (in_[pos_++] != expected) return error(Code::ExpectedSomeIdent);
  }
  return {};
}

Status Reader::colon() {
  const int c = peek_ws();
  if (c == ':') {
    eat();
    return {};
  }
  return peek_error(c == kEnd ? Code::EofWhileParsingObject : Code::ExpectedColon);
}

Status Reader::string(std::string* out) {
  if (out != nullptr) out->clear();
  std::size_t run = pos_;  // first byte not yet copied out
  unsigned char bytes = 0;  // every plain byte or-ed: escapes alone always give UTF-8
  for (;;) {
    pos_ = plain_run(pos_, bytes);
    if (pos_ == in_.size()) return error(Code::EofWhileParsingString);
    if (out != nullptr) out->append(in_.substr(run, pos_ - run));
    switch (in_[pos_]) {
      case '"':
        ++pos_;
        if (out != nullptr && bytes >= 0x80 && !text::is_utf8(*out)) return error(Code::InvalidUnicodeCodePoint);
        return {};
      case '\\':
        ++pos_;
        LMFS_TRY(escape(out));
        run = pos_;
        break;
      default:
        if (out != nullptr) ++pos_;
        return error(Code::ControlCharacterWhileParsingString);
    }
  }
}

std::size_t Reader::plain_run(std::size_t at, unsigned char& bytes) const {
  const char* const data = in_.data();
  const std::size_t size = in_.size();
  for (; at < size && !special(data[at]); ++at) bytes |= static_cast<unsigned char>(data[at]);
  return at;
}

Status Reader::string_view(std::string& scratch, std::string_view& out) {
  const std::size_t start = pos_;
  unsigned char bytes = 0;
  const std::size_t at = plain_run(start, bytes);
  const std::string_view plain = in_.substr(start, at - start);
  if (at < in_.size() && in_[at] == '"' && (bytes < 0x80 || text::is_utf8(plain))) {
    pos_ = at + 1;
    out = plain;
    return {};
  }
  // An escape, a control character, the end or invalid UTF-8: decoded (or
  // refused) as a value is.
  LMFS_TRY(string(&scratch));
  out = scratch;
  return {};
}

// After the backslash.
Status Reader::escape(std::string* out) {
  if (pos_ >= in_.size()) return error(Code::EofWhileParsingString);
  char plain = 0;
  switch (in_[pos_++]) {
    case '"': plain = '"'; break;
    case '\\': plain = '\\'; break;
    case '/': plain = '/'; break;
    case 'b': plain = '\b'; break;
    case 'f': plain = '\f'; break;
    case 'n': plain = '\n'; break;
    case 'r': plain = '\r'; break;
    case 't': plain = '\t'; break;
    case 'u': {
      unsigned c = 0;
      LMFS_TRY(hex4(c));
      if (out == nullptr) return {};
      if (is_surrogate(c, 0xDC00)) return error(Code::LoneLeadingSurrogateInHexEscape);
      if (is_surrogate(c, 0xD800)) {
        // Only a trailing surrogate escape may follow.
        for (const char expected : {'\\', 'u'}) {
          if (pos_ >= in_.size()) return error(Code::EofWhileParsingString);
          if (in_[pos_++] != expected) return error(Code::UnexpectedEndOfHexEscape);
        }
        unsigned trail = 0;
        LMFS_TRY(hex4(trail));
        if (!is_surrogate(trail, 0xDC00)) return error(Code::LoneLeadingSurrogateInHexEscape);
        c = 0x10000 + ((c - 0xD800) << 10) + (trail - 0xDC00);
      }
      append_utf8(*out, c);
      return {};
    }
    default: return error(Code::InvalidEscape);
  }
  if (out != nullptr) *out += plain;
  return {};
}

Status Reader::hex4(unsigned& out) {
  if (in_.size() - pos_ < 4) {
    pos_ = in_.size();
    return error(Code::EofWhileParsingString);
  }
  out = 0;
  for (int k = 0; k < 4; ++k) {
    const int digit = hex_value(in_[pos_++]);
    if (digit < 0) return error(Code::InvalidEscape);
    out = out * 16 + static_cast<unsigned>(digit);
  }
  return {};
}

}  // namespace lmfs::loomfs::json
