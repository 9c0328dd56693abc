#include "json_number.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

namespace lmfs::loomfs::json {
namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Whether `a * 10 + b` exceeds `limit`.
bool overflows(std::uint64_t a, std::uint64_t b, std::uint64_t limit) {
  return a >= limit / 10 && (a > limit / 10 || b > limit % 10);
}

// The scale factors 1e0..1e308, each the correctly rounded double.
const std::array<double, 309>& powers_of_ten() {
  static const std::array<double, 309> table = [] {
    std::array<double, 309> t{};
    for (int k = 0; k < 309; ++k) {
      char text[8] = "1e";
      const auto end = std::to_chars(text + 2, text + sizeof text, k).ptr;
      std::from_chars(text, end, t[static_cast<std::size_t>(k)]);
    }
    return t;
  }();
  return table;
}

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

// Byte-level cursor with the library's two error places: "error" reports the
// bytes consumed so far, "peek error" includes the byte being looked at.
class Cursor {
 public:
  Cursor(std::string_view text, std::size_t pos) : text_(text), pos_(pos) {}

  [[nodiscard]] bool at_end() const { return pos_ >= text_.size(); }
  [[nodiscard]] unsigned char peek_or_null() const {
    return at_end() ? 0 : static_cast<unsigned char>(text_[pos_]);
  }
  [[nodiscard]] std::optional<unsigned char> next() {
    if (at_end()) return std::nullopt;
    return static_cast<unsigned char>(text_[pos_++]);
  }
  void eat() { ++pos_; }
  [[nodiscard]] std::size_t pos() const { return pos_; }

  [[nodiscard]] Failure error(Code code) const { return syntax(code, pos_); }
  [[nodiscard]] Failure peek_error(Code code) const {
    return syntax(code, std::min(text_.size(), pos_ + 1));
  }

 private:
  std::string_view text_;
  std::size_t pos_;
};

using Fail = std::unexpected<Failure>;

// Reading a number as a value (the library's integer/decimal/exponent parsers
// without its exact-float option).
class ValueReader {
 public:
  ValueReader(std::string_view text, std::size_t start) : cur_(text, start) {}

  std::expected<Number, Failure> read() {
    bool positive = true;
    if (cur_.peek_or_null() == '-') {
      cur_.eat();
      positive = false;
    }
    auto number = integer(positive);
    if (number) number->end = cur_.pos();
    return number;
  }

 private:
  static std::expected<Number, Failure> as_float(std::expected<double, Failure> f) {
    if (!f) return Fail(f.error());
    return Number{.kind = Number::Kind::Float, .f = *f};
  }

  std::expected<Number, Failure> integer(bool positive) {
    const auto first = cur_.next();
    if (!first) return Fail(cur_.error(Code::EofWhileParsingValue));
    if (*first == '0') {
      // Only one leading zero.
      if (is_digit(cur_.peek_or_null())) return Fail(cur_.peek_error(Code::InvalidNumber));
      return number(positive, 0);
    }
    if (!is_digit(*first)) return Fail(cur_.error(Code::InvalidNumber));
    std::uint64_t significand = *first - '0';
    for (;;) {
      const unsigned char c = cur_.peek_or_null();
      if (!is_digit(c)) return number(positive, significand);
      const std::uint64_t digit = c - '0';
      if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
        return as_float(long_integer(positive, significand));
      }
      cur_.eat();
      significand = significand * 10 + digit;
    }
  }

  std::expected<Number, Failure> number(bool positive, std::uint64_t significand) {
    const unsigned char c = cur_.peek_or_null();
    if (c == '.') return as_float(decimal(positive, significand, 0));
    if (c == 'e' || c == 'E') return as_float(exponent(positive, significand, 0));
    if (positive) return Number{.kind = Number::Kind::Unsigned, .u = significand};
    const auto negated = static_cast<std::int64_t>(std::uint64_t{0} - significand);
    // -0 and values below the i64 range become doubles.
    if (negated >= 0) return Number{.kind = Number::Kind::Float, .f = -static_cast<double>(significand)};
    return Number{.kind = Number::Kind::Signed, .i = negated};
  }

  std::expected<double, Failure> decimal(bool positive, std::uint64_t significand, std::int32_t exp) {
    cur_.eat();  // '.'
    for (;;) {
      const unsigned char c = cur_.peek_or_null();
      if (!is_digit(c)) break;
      const std::uint64_t digit = c - '0';
      if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
        return decimal_overflow(positive, significand, exp);
      }
      cur_.eat();
      significand = significand * 10 + digit;
      exp = wrapping_add(exp, -1);
    }
    // The library asks for a digit after the point by looking at the scale,
    // which a long integer part can bring back to zero.
    if (exp == 0) {
      return Fail(cur_.peek_error(cur_.at_end() ? Code::EofWhileParsingValue : Code::InvalidNumber));
    }
    const unsigned char c = cur_.peek_or_null();
    if (c == 'e' || c == 'E') return exponent(positive, significand, exp);
    return from_parts(positive, significand, exp);
  }

  std::expected<double, Failure> exponent(bool positive, std::uint64_t significand, std::int32_t start) {
    cur_.eat();  // 'e' or 'E'
    bool positive_exp = true;
    if (const unsigned char c = cur_.peek_or_null(); c == '+' || c == '-') {
      positive_exp = c == '+';
      cur_.eat();
    }
    const auto first = cur_.next();
    if (!first) return Fail(cur_.error(Code::EofWhileParsingValue));
    if (!is_digit(*first)) return Fail(cur_.error(Code::InvalidNumber));
    std::int32_t exp = *first - '0';
    for (;;) {
      const unsigned char c = cur_.peek_or_null();
      if (!is_digit(c)) break;
      cur_.eat();
      const std::int32_t digit = c - '0';
      if (overflows(static_cast<std::uint64_t>(exp), static_cast<std::uint64_t>(digit),
                    std::numeric_limits<std::int32_t>::max())) {
        return exponent_overflow(positive, significand == 0, positive_exp);
      }
      exp = exp * 10 + digit;
    }
    const std::int32_t final_exp = saturating_add(start, positive_exp ? std::int64_t{exp} : -std::int64_t{exp});
    return from_parts(positive, significand, final_exp);
  }

  std::expected<double, Failure> exponent_overflow(bool positive, bool zero_significand, bool positive_exp) {
    if (!zero_significand && positive_exp) return Fail(cur_.error(Code::NumberOutOfRange));
    while (is_digit(cur_.peek_or_null())) cur_.eat();
    return positive ? 0.0 : -0.0;
  }

  // Digits past what fits in 64 bits are dropped.
  std::expected<double, Failure> decimal_overflow(bool positive, std::uint64_t significand, std::int32_t exp) {
    while (is_digit(cur_.peek_or_null())) cur_.eat();
    const unsigned char c = cur_.peek_or_null();
    if (c == 'e' || c == 'E') return exponent(positive, significand, exp);
    return from_parts(positive, significand, exp);
  }

  // Integer digits past what fits in 64 bits only raise the scale.
  std::expected<double, Failure> long_integer(bool positive, std::uint64_t significand) {
    std::int32_t exp = 0;
    for (;;) {
      const unsigned char c = cur_.peek_or_null();
      if (is_digit(c)) {
        cur_.eat();
        exp = wrapping_add(exp, 1);
      } else if (c == '.') {
        return decimal(positive, significand, exp);
      } else if (c == 'e' || c == 'E') {
        return exponent(positive, significand, exp);
      } else {
        return from_parts(positive, significand, exp);
      }
    }
  }

  std::expected<double, Failure> from_parts(bool positive, std::uint64_t significand, std::int32_t exp) {
    const auto& pow10 = powers_of_ten();
    double f = static_cast<double>(significand);
    for (;;) {
      const std::int64_t magnitude = exp < 0 ? -std::int64_t{exp} : std::int64_t{exp};
      if (magnitude < static_cast<std::int64_t>(pow10.size())) {
        const double scale = pow10[static_cast<std::size_t>(magnitude)];
        if (exp >= 0) {
          f *= scale;
          if (std::isinf(f)) return Fail(cur_.error(Code::NumberOutOfRange));
        } else {
          f /= scale;
        }
        break;
      }
      if (f == 0.0) break;
      if (exp >= 0) return Fail(cur_.error(Code::NumberOutOfRange));
      f /= 1e308;
      exp += 308;
    }
    return positive ? f : -f;
  }

  Cursor cur_;
};

}  // namespace

std::expected<Number, Failure> read_number(std::string_view text, std::size_t start) {
  return ValueReader(text, start).read();
}

std::expected<std::size_t, Failure> skip_number(std::string_view text, std::size_t start) {
  Cursor cur(text, start);
  if (cur.peek_or_null() == '-') cur.eat();
  const unsigned char first = cur.next().value_or(0);
  if (first == '0') {
    if (is_digit(cur.peek_or_null())) return Fail(cur.peek_error(Code::InvalidNumber));
  } else if (is_digit(first)) {
    while (is_digit(cur.peek_or_null())) cur.eat();
  } else {
    return Fail(cur.error(Code::InvalidNumber));
  }
  if (cur.peek_or_null() == '.') {
    cur.eat();
    if (!is_digit(cur.peek_or_null())) return Fail(cur.peek_error(Code::InvalidNumber));
    while (is_digit(cur.peek_or_null())) cur.eat();
  }
  if (const unsigned char c = cur.peek_or_null(); c == 'e' || c == 'E') {
    cur.eat();
    if (const unsigned char s = cur.peek_or_null(); s == '+' || s == '-') cur.eat();
    if (!is_digit(cur.next().value_or(0))) return Fail(cur.error(Code::InvalidNumber));
    while (is_digit(cur.peek_or_null())) cur.eat();
  }
  return cur.pos();
}

std::string describe(const Number& number) {
  switch (number.kind) {
    case Number::Kind::Unsigned: return "integer `" + std::to_string(number.u) + "`";
    case Number::Kind::Signed: return "integer `" + std::to_string(number.i) + "`";
    case Number::Kind::Float: break;
  }
  return "floating point `" + display_float(number.f) + "`";
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
