#include "json_error.h"

#include <algorithm>

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

std::unexpected<Failure> custom(std::string message) { return std::unexpected(Failure{std::move(message)}); }

std::string render(const Failure& failure, std::string_view input) {
  const std::string_view before = input.substr(0, std::min(failure.index, input.size()));
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_lf = before.rfind('\n');
  const std::size_t column = last_lf == std::string_view::npos ? before.size() : before.size() - last_lf - 1;
  return text::cat(failure.message, " at line ", line, " column ", column);
}

}  // namespace lmfs::loomfs::json
