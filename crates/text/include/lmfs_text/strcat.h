// Concatenation of texts and numbers into one string, and numbers in hex:
//   text::cat("mapped ", n, " bytes at ", text::hex(address))
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>

namespace lmfs::text {

namespace internal {
// Each part as a piece: texts as views (measured once), characters and
// integers as they are.
inline std::string_view piece(std::string_view s) { return s; }
inline std::string_view piece(const char* s) { return s; }
inline std::string_view piece(const std::string& s) { return s; }
inline char piece(char c) { return c; }
template <std::integral T>
  requires(!std::same_as<T, char>)
T piece(T v) {
  return v;
}

// A piece's length at most (a number's longest form for integers), so that
// cat allocates once.
inline std::size_t size_hint(std::string_view s) { return s.size(); }
inline std::size_t size_hint(char) { return 1; }
template <std::integral T>
  requires(!std::same_as<T, char>)
constexpr std::size_t size_hint(T) {
  return std::numeric_limits<T>::digits10 + 2;  // digits and a sign
}

// Writes a piece at `out`; returns the end of what it wrote. (Texts are
// copied out of line: one call, and no inlined copy for the compiler to
// misjudge against the string's in-place buffer.)
char* put(char* out, std::string_view s);
inline char* put(char* out, char c) {
  *out = c;
  return out + 1;
}
template <std::integral T>
  requires(!std::same_as<T, char>)
char* put(char* out, T v) {
  return std::to_chars(out, out + size_hint(v), v).ptr;
}

template <class... Pieces>
std::string cat_pieces(const Pieces&... pieces) {
  std::string out;
  out.resize_and_overwrite((std::size_t{0} + ... + size_hint(pieces)), [&](char* start, std::size_t) {
    char* end = start;
    ((end = put(end, pieces)), ...);
    return static_cast<std::size_t>(end - start);
  });
  return out;
}
}  // namespace internal

// The parts one after the other, written once into a string of their size.
template <class... Parts>
[[nodiscard]] std::string cat(const Parts&... parts) {
  return internal::cat_pieces(internal::piece(parts)...);
}

[[nodiscard]] inline std::string hex(unsigned long long v) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return "0x" + out;
}

}  // namespace lmfs::text
