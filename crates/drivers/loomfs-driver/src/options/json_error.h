// Failures of the parameter decoder, worded and placed as the host's JSON
// library (serde_json) words and places them.
//
// A failure is a message and a position index: the number of input bytes that
// precede the reported place. The index turns into "line L column C" the way
// the library counts (only LF starts a line; every other byte, CR and each
// UTF-8 byte included, is one column).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lmfs::loomfs::json {

// The library's syntax error kinds, with their fixed messages.
enum class Code {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedSomeIdent,
  ExpectedSomeValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidUnicodeCodePoint,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
};

[[nodiscard]] std::string_view code_message(Code code);

struct Failure {
  std::string message;
  std::size_t index = 0;  // bytes of input before the reported place
};

// A syntax failure at `index`.
[[nodiscard]] Failure syntax(Code code, std::size_t index);

// "<message> at line L column C" for `failure` within `input`.
[[nodiscard]] std::string render(const Failure& failure, std::string_view input);

}  // namespace lmfs::loomfs::json
