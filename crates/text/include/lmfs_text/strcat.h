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
// Each part's length at most (a number's longest form for integers), so
// that cat allocates once.
inline std::size_t size_hint(std::string_view s) { return s.size(); }
inline std::size_t size_hint(const char* s) { return std::char_traits<char>::length(s); }
inline std::size_t size_hint(const std::string& s) { return s.size(); }
inline std::size_t size_hint(char) { return 1; }
template <std::integral T>
  requires(!std::same_as<T, char>)
std::size_t size_hint(T) {
  return std::numeric_limits<T>::digits10 + 2;  // digits and a sign
}

inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral T>
  requires(!std::same_as<T, char>)
void append(std::string& out, T v) {
  char digits[std::numeric_limits<T>::digits10 + 2];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), v).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}
}  // namespace internal

template <class... Parts>
[[nodiscard]] std::string cat(const Parts&... parts) {
  std::string out;
  out.reserve((std::size_t{0} + ... + internal::size_hint(parts)));
  (internal::append(out, parts), ...);
  return out;
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
