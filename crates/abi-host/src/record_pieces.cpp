// Reading the pieces of layout records, each checked first.
#include "record_pieces.h"

#include <algorithm>
#include <cstring>

#include "lmfs_abi_host/layout_text.h"
#include "lmfs_text/strcat.h"

namespace lmfs::abi::layout::pieces {

using text::cat;
using text::hex;

// A record that cannot be read, described where it is found.
std::unexpected<LayoutError> Error(std::string problem) {
  return std::unexpected(LayoutError::malformed(std::move(problem)));
}

// `what` and the tail of a refusal: "its fields: outside the readable ...".
std::string outside(std::string_view what, const void* p, std::size_t bytes) {
  return cat(what, ": ", outside_readable(p, bytes));
}

std::expected<std::string, LayoutError> counted_text(const MappedMemory& mem, const char* p, std::size_t n,
                                                     std::string_view what) {
  if (n == 0) return std::string{};
  if (p == nullptr) return Error(cat(what, " is a null pointer with length ", n));
  if (n > kMaxText) return Error(cat(what, " is ", n, " bytes long"));
  if (!mem.contains(p, n)) return Error(outside(what, p, n));
  return std::string(p, n);
}

// Read no further than the end of the segment `p` lies in.
std::expected<std::string, LayoutError> nul_text(const MappedMemory& mem, const char* p, std::string_view what) {
  if (p == nullptr) return Error(cat(what, " is a null pointer"));
  const std::size_t readable = mem.readable_from(p);
  if (readable == 0) return Error(outside(what, p, 1));
  const std::size_t most = std::min(readable, kMaxNulText);
  const std::size_t n = ::strnlen(p, most);
  if (n == kMaxNulText) return Error(cat(what, " has no end within ", kMaxNulText, " bytes"));
  if (n == most) {
    return Error(cat(what, " has no end within its segment (", most, " bytes at ", hex(reinterpret_cast<std::uintptr_t>(p)),
                     ")"));
  }
  return std::string(p, n);
}

std::expected<std::string, LayoutError> string_range(const Tables& t, std::size_t start, std::size_t len,
                                                     std::string_view what) {
  if (start + len > t.strings.size()) {
    return Error(cat(what, " (", start, "..", start + len, ") lies outside the string table of ", t.strings.size(),
                     " bytes"));
  }
  return std::string(t.strings.substr(start, len));
}

std::expected<LifetimeIndices, LayoutError> decode_lifetimes(const Tables& t, std::uint32_t bits) {
  const tl::LifetimeRangeBits range = tl::decode_lifetime_range(bits);
  LifetimeIndices l;
  if (range.is_range) {
    const std::size_t start = range.start;
    const std::size_t count = range.len;
    if (start + count > t.lifetimes_len) {
      return Error(cat("lifetime range ", start, "..", start + count, " lies outside the table of ", t.lifetimes_len,
                       " pairs"));
    }
    l.is_range = true;
    l.len = static_cast<std::uint16_t>(count);
    l.pairs.assign(t.lifetimes + start, t.lifetimes + start + count);
  } else {
    const std::uint32_t v = range.inline_bits;
    l.len = static_cast<std::uint16_t>((range.len + 1) / 2);
    l.pairs = {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>((v >> 8) & 0xFF),
               static_cast<std::uint8_t>((v >> 16) & 0xF)};
  }
  return l;
}

// A little-endian integer of `width` bytes, sign-extended for signed kinds.
std::uint64_t load_integer(const void* p, std::size_t width, bool is_signed) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, width);
  if (is_signed && width < 8 && ((v >> (8 * width - 1)) & 1) != 0) v |= ~std::uint64_t{0} << (8 * width);
  return v;
}

}  // namespace lmfs::abi::layout::pieces
