// Fixed tables of texts with no addresses in them: the texts lie end to end in
// one block of characters, found by their offsets. A table of string_views
// holds one address per text, which the dynamic loader must write into every
// process that loads the library (a private copy of each page it touches);
// a packed table is read-only data that needs nothing at load time.
//
//   constexpr std::array<std::string_view, 3> kList = {"", "SIGHUP", "SIGINT"};
//   constexpr auto kNames = text::pack<text::packed_size(kList)>(kList);
//   kNames[1] == "SIGHUP"
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lmfs::text {

template <std::size_t Count, std::size_t Bytes>
class PackedTexts {
 public:
  [[nodiscard]] static constexpr std::size_t size() { return Count; }
  [[nodiscard]] constexpr std::string_view operator[](std::size_t i) const {
    return {bytes_.data() + starts_[i], static_cast<std::size_t>(starts_[i + 1] - starts_[i])};
  }

  template <std::size_t B, std::size_t N>
  friend consteval PackedTexts<N, B> pack(const std::array<std::string_view, N>& texts);

 private:
  static_assert(Bytes < 0xFFFF, "offsets are 16 bits");
  std::array<char, Bytes == 0 ? 1 : Bytes> bytes_{};
  std::array<std::uint16_t, Count + 1> starts_{};
};

// The number of characters of all `texts`: the Bytes argument of pack.
template <std::size_t N>
consteval std::size_t packed_size(const std::array<std::string_view, N>& texts) {
  std::size_t bytes = 0;
  for (const std::string_view t : texts) bytes += t.size();
  return bytes;
}

template <std::size_t Bytes, std::size_t N>
consteval PackedTexts<N, Bytes> pack(const std::array<std::string_view, N>& texts) {
  PackedTexts<N, Bytes> table;
  std::size_t at = 0;
  for (std::size_t i = 0; i < N; ++i) {
    table.starts_[i] = static_cast<std::uint16_t>(at);
    for (const char c : texts[i]) table.bytes_[at++] = c;
  }
  table.starts_[N] = static_cast<std::uint16_t>(at);
  return table;
}

}  // namespace lmfs::text
