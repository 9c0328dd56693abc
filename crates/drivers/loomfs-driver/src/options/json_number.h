// JSON numbers as the host's JSON library reads them.
//
// The library keeps an integer exact while it fits in 64 bits. Anything else
// becomes a double built by scaling the (at most 64-bit) leading digits with a
// power of ten, which is not always the correctly rounded value, and which it
// prints in messages as its language's shortest decimal form without an
// exponent. A few inputs that the JSON grammar allows are still refused
// (a value past the double range, and a fraction after a 20-digit integer that
// brings the scale back to zero). These readers reproduce all of that, so
// messages quote the same numbers and fail at the same places.
//
// Both readers look at `text` from `start`, which holds '-' or a digit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json_error.h"

namespace lmfs::loomfs::json {

struct Number {
  enum class Kind : std::uint8_t { Unsigned, Signed, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t u = 0;  // Unsigned
  std::int64_t i = 0;   // Signed (always negative)
  double f = 0;         // Float
  std::size_t end = 0;  // offset just past the number
};

// The number as a value, for places that decode or report it.
[[nodiscard]] std::expected<Number, Failure> read_number(std::string_view text, std::size_t start);

// The number as the library skips it inside an ignored value: the same grammar
// with its own error places, no value and no range limit. Gives the offset just
// past the number.
[[nodiscard]] std::expected<std::size_t, Failure> skip_number(std::string_view text, std::size_t start);

// `integer `5`` or `floating point `1.5``, as in "invalid type: ..." messages.
[[nodiscard]] std::string describe(const Number& number);

// Shortest round-trip digits laid out without an exponent: 100, 0.1, -0,
// 18446744073709552000.
[[nodiscard]] std::string display_float(double value);

}  // namespace lmfs::loomfs::json
