// JSON numbers as the host's JSON library holds and prints them.
//
// The library keeps an integer exact while it fits in 64 bits. Anything else
// becomes a double built by scaling the (at most 64-bit) leading digits with a
// power of ten, which is not always the correctly rounded value, and which it
// prints in messages as its language's shortest decimal form without an
// exponent. Reader::number (json_reader.h) reads them.
#pragma once

#include <cstdint>
#include <string>

namespace lmfs::loomfs::json {

struct Number {
  enum class Kind : std::uint8_t { Unsigned, Signed, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t u = 0;  // Unsigned
  std::int64_t i = 0;   // Signed (always negative)
  double f = 0;         // Float
};

// `integer `5`` or `floating point `1.5``, as in "invalid type: ..." messages.
[[nodiscard]] std::string describe(const Number& number);

// Shortest round-trip digits laid out without an exponent: 100, 0.1, -0,
// 18446744073709552000.
[[nodiscard]] std::string display_float(double value);

}  // namespace lmfs::loomfs::json
