// Concatenation of texts and numbers into one string, and numbers in hex:
//   text::cat("mapped ", n, " bytes at ", text::hex(address))
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace lmfs::text {

namespace internal {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral T>
  requires(!std::same_as<T, char>)
void append(std::string& out, T v) {
  out.append(std::to_string(v));
}
}  // namespace internal

template <class... Parts>
[[nodiscard]] std::string cat(const Parts&... parts) {
  std::string out;
  (internal::append(out, parts), ...);
  return out;
}

// "0x" followed by the value in lower-case hexadecimal.
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
