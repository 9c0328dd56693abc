// Failures of the parameter decoder, worded and placed as the host's JSON
// library (serde_json) words and places them.
//
// A failure is a message and a position index: the number of input bytes that
// precede the reported place. The index turns into "line L column C" the way
// the library counts (only LF starts a line; every other byte, CR and each
// UTF-8 byte included, is one column). A failure raised by a visitor (a wrong
// type, a missing field) starts unplaced, and takes the position of the reader
// when it reaches the value's reader, as the library's errors do.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "lmfs_base/try.h"  // LMFS_TRY, for the decoder's Status
#include "loomfs_driver/options.h"

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
  static constexpr std::size_t kUnplaced = static_cast<std::size_t>(-1);

  std::string message;
  std::size_t index = kUnplaced;  // bytes of input before the reported place
};

// The decoder stops at its first failure. The reader keeps that failure
// (Reader::failure()); what travels up through the readers is only this mark,
// so that a status fits in a register instead of carrying a string through
// every step.
struct Stopped {};

// Success, or stopped at a failure; values are written through out-parameters.
using Status = std::expected<void, Stopped>;

// A syntax failure at `index`.
[[nodiscard]] Failure syntax(Code code, std::size_t index);

// A visitor's failure, placed later.
[[nodiscard]] Failure custom(std::string message);

// `failure` with its place turned into the line and column within `input`.
[[nodiscard]] OptionsError placed_in(Failure failure, std::string_view input);

}  // namespace lmfs::loomfs::json

