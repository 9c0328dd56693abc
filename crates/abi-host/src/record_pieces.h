// The pieces of a library's layout records the reader takes apart, each
// checked before it is read: texts bounded in length and by the segment they
// lie in, ranges of the string and lifetime tables, little-endian integers.
// Every refusal is a LayoutError naming `what` was being read. Internal to
// the layout reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "lmfs_abi/type_layout.h"
#include "lmfs_abi_host/layout_error.h"
#include "lmfs_abi_host/layout_graph.h"
#include "lmfs_abi_host/mapped_memory.h"

namespace lmfs::abi::layout::pieces {

inline constexpr std::size_t kMaxText = 1 << 16;   // longest counted text read
inline constexpr std::size_t kMaxNulText = 4096;   // longest NUL-terminated text read

// A record that cannot be read, described where it is found.
[[nodiscard]] std::unexpected<LayoutError> Error(std::string problem);

// `what` and the tail of a refusal: "its fields: outside the readable ...".
[[nodiscard]] std::string outside(std::string_view what, const void* p, std::size_t bytes);

// The `n` bytes at `p`, when `mem` holds them all and n <= kMaxText.
[[nodiscard]] std::expected<std::string, LayoutError> counted_text(const MappedMemory& mem, const char* p,
                                                                   std::size_t n, std::string_view what);

// The NUL-terminated text at `p`, read no further than the end of the
// segment it lies in (nor kMaxNulText bytes).
[[nodiscard]] std::expected<std::string, LayoutError> nul_text(const MappedMemory& mem, const char* p,
                                                               std::string_view what);

// The tables a type's ranges and indices point into.
struct Tables {
  std::string_view strings;
  const std::uint8_t* lifetimes = nullptr;
  std::size_t lifetimes_len = 0;
  const tl::LayoutFn* layouts = nullptr;
  std::size_t layouts_len = 0;
  const tl::ConstGeneric* consts = nullptr;
  std::size_t consts_len = 0;
};

[[nodiscard]] std::expected<std::string, LayoutError> string_range(const Tables& t, std::size_t start,
                                                                   std::size_t len, std::string_view what);

[[nodiscard]] std::expected<LifetimeIndices, LayoutError> decode_lifetimes(const Tables& t, std::uint32_t bits);

// A little-endian integer of `width` bytes, sign-extended for signed kinds.
[[nodiscard]] std::uint64_t load_integer(const void* p, std::size_t width, bool is_signed);

}  // namespace lmfs::abi::layout::pieces
