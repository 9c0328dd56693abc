#include "json_error.h"

#include <algorithm>
#include <cstring>

#include "lmfs_text/strcat.h"

namespace lmfs::loomfs::json {

std::string_view code_message(Code code) {
  switch (code) {
    case Code::EofWhileParsingList: return "EOF while parsing a list";
    case Code::EofWhileParsingObject: return "EOF while parsing an object";
    case Code::EofWhileParsingString: return "EOF while parsing a string";
    case Code::EofWhileParsingValue: return "EOF while parsing a value";
    case Code::ExpectedColon: return "expected `:`";
    case Code::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Code::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Code::ExpectedSomeIdent: return "expected ident";
    case Code::ExpectedSomeValue: return "expected value";
    case Code::InvalidEscape: return "invalid escape";
    case Code::InvalidNumber: return "invalid number";
    case Code::NumberOutOfRange: return "number out of range";
    case Code::InvalidUnicodeCodePoint: return "invalid unicode code point";
    case Code::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Code::KeyMustBeAString: return "key must be a string";
    case Code::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
    case Code::TrailingComma: return "trailing comma";
    case Code::TrailingCharacters: return "trailing characters";
    case Code::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
  }
  return "invalid JSON";
}

Failure syntax(Code code, std::size_t index) { return {std::string(code_message(code)), index}; }

Failure custom(std::string message) { return Failure{std::move(message)}; }

OptionsError placed_in(Failure failure, std::string_view input) {
  // One pass over the bytes before the place: the lines end at each LF.
  const std::size_t end = std::min(failure.index, input.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  while (line_start < end) {
    const void* lf = std::memchr(input.data() + line_start, '\n', end - line_start);
    if (lf == nullptr) break;
    ++line;
    line_start = static_cast<std::size_t>(static_cast<const char*>(lf) - input.data()) + 1;
  }
  return {std::move(failure.message), line, end - line_start};
}

}  // namespace lmfs::loomfs::json

namespace lmfs::loomfs {

std::string OptionsError::text(std::string_view prefix) const {
  return lmfs::text::cat(prefix, message, " at line ", line, " column ", column);
}

}  // namespace lmfs::loomfs
