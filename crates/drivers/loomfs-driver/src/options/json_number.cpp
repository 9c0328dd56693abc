#include "json_number.h"

#include "json_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "lmfs_text/strcat.h"

namespace lmfs::loomfs::json {
namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Whether `a * 10 + b` exceeds `limit`.
bool overflows(std::uint64_t a, std::uint64_t b, std::uint64_t limit) {
  return a >= limit / 10 && (a > limit / 10 || b > limit % 10);
}

// The scale factors 1e0..1e308, each the correctly rounded double: written
// as literals, which the compiler rounds correctly, so the table is read-only
// data ready at load time.
#define LMFS_POW10(k) 1e##k
#define LMFS_POW10_DECADE(d)                                                                           \
  LMFS_POW10(d##0), LMFS_POW10(d##1), LMFS_POW10(d##2), LMFS_POW10(d##3), LMFS_POW10(d##4),          \
      LMFS_POW10(d##5), LMFS_POW10(d##6), LMFS_POW10(d##7), LMFS_POW10(d##8), LMFS_POW10(d##9)
constexpr std::array<double, 309> kPowersOfTen = {
    LMFS_POW10_DECADE(),   LMFS_POW10_DECADE(1),  LMFS_POW10_DECADE(2),  LMFS_POW10_DECADE(3),
    LMFS_POW10_DECADE(4),  LMFS_POW10_DECADE(5),  LMFS_POW10_DECADE(6),  LMFS_POW10_DECADE(7),
    LMFS_POW10_DECADE(8),  LMFS_POW10_DECADE(9),  LMFS_POW10_DECADE(10), LMFS_POW10_DECADE(11),
    LMFS_POW10_DECADE(12), LMFS_POW10_DECADE(13), LMFS_POW10_DECADE(14), LMFS_POW10_DECADE(15),
    LMFS_POW10_DECADE(16), LMFS_POW10_DECADE(17), LMFS_POW10_DECADE(18), LMFS_POW10_DECADE(19),
    LMFS_POW10_DECADE(20), LMFS_POW10_DECADE(21), LMFS_POW10_DECADE(22), LMFS_POW10_DECADE(23),
    LMFS_POW10_DECADE(24), LMFS_POW10_DECADE(25), LMFS_POW10_DECADE(26), LMFS_POW10_DECADE(27),
    LMFS_POW10_DECADE(28), LMFS_POW10_DECADE(29), 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};
#undef LMFS_POW10_DECADE
#undef LMFS_POW10
static_assert(kPowersOfTen[0] == 1.0 && kPowersOfTen[22] == 1e22 && kPowersOfTen[308] == 1e308);

// The library's exponent arithmetic is 32-bit: it wraps while counting digits
// and saturates when the written exponent is added.
std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
std::int32_t saturating_add(std::int32_t a, std::int64_t b) {
  const std::int64_t sum = std::int64_t{a} + b;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

// The double the library builds from the leading digits and a decimal scale;
// nothing when the scale takes it past the double range.
std::optional<double> from_parts(bool positive, std::uint64_t significand, std::int32_t exp) {
  const auto& pow10 = kPowersOfTen;
  double f = static_cast<double>(significand);
  for (;;) {
    const std::int64_t magnitude = exp < 0 ? -std::int64_t{exp} : std::int64_t{exp};
    if (magnitude < static_cast<std::int64_t>(pow10.size())) {
      const double scale = pow10[static_cast<std::size_t>(magnitude)];
      if (exp >= 0) {
        f *= scale;
        if (std::isinf(f)) return std::nullopt;
      } else {
        f /= scale;
      }
      break;
    }
    if (f == 0.0) break;
    if (exp >= 0) return std::nullopt;
    f /= 1e308;
    exp += 308;
  }
  return positive ? f : -f;
}

}  // namespace

// The library has two readers of the same grammar: its value reader and the
// skipper of ignored values. They differ in the code reported where a digit
// is due at the end of the input, in how the digit after a decimal point is
// asked for, and in the value reader's range failures; `out` picks one.
Status Reader::number(Number* out) {
  const bool value = out != nullptr;
  const Code digit_at_end = value ? Code::EofWhileParsingValue : Code::InvalidNumber;
  const auto digit = [this] { return is_digit(static_cast<unsigned char>(peek())) ? peek() - '0' : -1; };

  bool positive = true;
  if (peek() == '-') {
    eat();
    positive = false;
  }
  // The integer part: its digits past what fits in 64 bits only raise the scale.
  std::uint64_t significand = 0;
  std::int32_t exp = 0;
  bool is_float = false;
  if (peek() == kEnd) return error(digit_at_end);
  const int first = digit();
  eat();
  if (first < 0) return error(Code::InvalidNumber);
  if (first == 0) {
    if (digit() >= 0) return peek_error(Code::InvalidNumber);  // only one leading zero
  } else {
    significand = static_cast<std::uint64_t>(first);
    for (int d; (d = digit()) >= 0; eat()) {
      if (!is_float && overflows(significand, static_cast<std::uint64_t>(d), UINT64_MAX)) is_float = true;
      if (is_float) {
        exp = wrapping_add(exp, 1);
      } else {
        significand = significand * 10 + static_cast<std::uint64_t>(d);
      }
    }
  }
  // The fraction: digits past what fits are dropped.
  if (peek() == '.') {
    eat();
    is_float = true;
    bool any = false;
    bool dropped = false;
    for (int d; (d = digit()) >= 0; eat()) {
      any = true;
      if (!dropped && overflows(significand, static_cast<std::uint64_t>(d), UINT64_MAX)) dropped = true;
      if (!dropped) {
        significand = significand * 10 + static_cast<std::uint64_t>(d);
        exp = wrapping_add(exp, -1);
      }
    }
    // The value reader asks for a digit by looking at the scale, which a long
    // integer part can bring back to zero.
    if (value ? !dropped && exp == 0 : !any) {
      return peek_error(value && peek() == kEnd ? Code::EofWhileParsingValue : Code::InvalidNumber);
    }
  }
  // The exponent: past the 32-bit range the value is zero or out of range.
  bool vanishes = false;
  if (peek() == 'e' || peek() == 'E') {
    eat();
    is_float = true;
    bool positive_exp = true;
    if (peek() == '+' || peek() == '-') {
      positive_exp = peek() == '+';
      eat();
    }
    if (peek() == kEnd) return error(digit_at_end);
    std::int32_t written = digit();
    eat();
    if (written < 0) return error(Code::InvalidNumber);
    for (int d; (d = digit()) >= 0;) {
      eat();
      if (vanishes) continue;
      if (overflows(static_cast<std::uint64_t>(written), static_cast<std::uint64_t>(d), INT32_MAX)) {
        if (value && significand != 0 && positive_exp) return error(Code::NumberOutOfRange);
        vanishes = true;
      } else {
        written = written * 10 + d;
      }
    }
    exp = saturating_add(exp, positive_exp ? std::int64_t{written} : -std::int64_t{written});
  }
  if (!value) return {};

  if (!is_float) {
    if (positive) {
      *out = Number{.kind = Number::Kind::Unsigned, .u = significand};
      return {};
    }
    const auto negated = static_cast<std::int64_t>(std::uint64_t{0} - significand);
    // -0 and values below the i64 range become doubles.
    *out = negated >= 0 ? Number{.kind = Number::Kind::Float, .f = -static_cast<double>(significand)}
                        : Number{.kind = Number::Kind::Signed, .i = negated};
    return {};
  }
  const std::optional<double> f = vanishes ? (positive ? 0.0 : -0.0) : from_parts(positive, significand, exp);
  if (!f) return error(Code::NumberOutOfRange);
  *out = Number{.kind = Number::Kind::Float, .f = *f};
  return {};
}

std::string describe(const Number& number) {
  switch (number.kind) {
    case Number::Kind::Unsigned: return "integer `" + std::to_string(number.u) + "`";
    case Number::Kind::Signed: return "integer `" + std::to_string(number.i) + "`";
    case Number::Kind::Float: break;
  }
  return text::cat("floating point `", display_float(number.f), '`');
}

std::string display_float(double value) {
  // Shortest digits and decimal exponent, e.g. "-9.223372036854776e+18".
  char sci[64];
  const auto end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const std::string_view s(sci, static_cast<std::size_t>(end - sci));
  const bool negative = s.front() == '-';
  const std::size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits.push_back(c);
  }
  int exp10 = 0;
  const std::string_view exp_text = s.substr(e + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0), exp_text.data() + exp_text.size(), exp10);

  std::string out = negative ? "-" : "";
  if (digits.find_first_not_of('0') == std::string::npos) return out + "0";

  // When the value lies exactly halfway between two shortest candidates,
  // to_chars takes the even one and the library's formatter the upper one.
  // The exact expansion (a double has at most 767 significant digits) shows it.
  char exact[800];
  const auto exact_end = std::to_chars(exact, exact + sizeof exact, value, std::chars_format::scientific, 770).ptr;
  std::string exact_digits;
  for (const char* p = exact + (negative ? 1 : 0); p < exact_end && *p != 'e'; ++p) {
    if (*p != '.') exact_digits.push_back(*p);
  }
  const std::size_t n = digits.size();
  if (exact_digits.size() > n && exact_digits[n] == '5' &&
      exact_digits.find_first_not_of('0', n + 1) == std::string::npos) {
    std::string up = exact_digits.substr(0, n);
    int exact_exp10 = 0;
    const char* exp_at = std::find(exact, exact_end, 'e') + 1;
    std::from_chars(exp_at + (*exp_at == '+' ? 1 : 0), exact_end, exact_exp10);
    std::size_t k = n;
    while (k > 0 && up[k - 1] == '9') up[--k] = '0';
    if (k > 0) {
      ++up[k - 1];
    } else {
      up.insert(up.begin(), '1');
      up.pop_back();
      ++exact_exp10;
    }
    digits = up;
    exp10 = exact_exp10;
  }
  const long point = long{exp10} + 1;  // digits before the decimal point
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace lmfs::loomfs::json
