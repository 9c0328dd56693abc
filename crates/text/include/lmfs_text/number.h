// Numbers read from text the system or a user hands us (/proc entries,
// command-line values): the whole text must be the number, in range, with
// no blanks and no '+'; anything else is no number at all.
//
//   whole_number<int>("42") == 42;  whole_number<unsigned>("fe", 16) == 254;
//   whole_number<int>("4 2"), whole_number<int>(""), whole_number<unsigned char>("256")  -> nullopt
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>
#include <system_error>

namespace lmfs::text {

template <std::integral T>
[[nodiscard]] std::optional<T> whole_number(std::string_view text, int base = 10) {
  T value{};
  const char* first = text.data();
  const char* end = first + text.size();
  const auto [stop, ec] = std::from_chars(first, end, value, base);
  if (ec != std::errc{} || stop != end) return std::nullopt;
  return value;
}

}  // namespace lmfs::text
