// The framework's reading of version texts.
#include "lmfs_abi/version.h"

#include <optional>

#include "lmfs_text/strcat.h"

namespace lmfs::abi {

using text::cat;
namespace {


// Rust's u32 parsing: an optional '+', then decimal digits only.
std::optional<std::uint32_t> parse_u32(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > 0xFFFF'FFFFULL) return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

// "MAJOR.MINOR.PATCH": the patch is the first run of digits in what follows
// the second dot (0 when there is none).
}  // namespace

std::expected<VersionNumber, std::string> parse_version(std::string_view text) {
  const std::size_t dot1 = text.find('.');
  const std::string_view major_text = text.substr(0, dot1);
  std::string_view minor_text, rest;
  if (dot1 != std::string_view::npos) {
    const std::string_view after = text.substr(dot1 + 1);
    const std::size_t dot2 = after.find('.');
    minor_text = after.substr(0, dot2);
    if (dot2 != std::string_view::npos) rest = after.substr(dot2 + 1);
  }
  const auto major = parse_u32(major_text);
  if (!major) return std::unexpected(cat("the major version of \"", text, "\" is not a number"));
  const auto minor = parse_u32(minor_text);
  if (!minor) return std::unexpected(cat("the minor version of \"", text, "\" is not a number"));
  const std::size_t digits_at = rest.find_first_of("0123456789");
  std::string_view patch_text = "0";
  if (digits_at != std::string_view::npos) {
    const std::size_t digits_end = rest.find_first_not_of("0123456789", digits_at);
    patch_text = rest.substr(digits_at, digits_end == std::string_view::npos ? digits_end : digits_end - digits_at);
  }
  const auto patch = parse_u32(patch_text);
  if (!patch) return std::unexpected(cat("the patch version of \"", text, "\" is not a number"));
  return VersionNumber{*major, *minor, *patch};
}

bool loosely_compatible(VersionNumber expected, VersionNumber found) {
  if (expected.major == 0 && found.major == 0) return expected.minor == found.minor;
  return expected.major == found.major;
}

bool library_compatible(VersionNumber expected, VersionNumber found) {
  return expected.major == found.major && (expected.major != 0 || expected.minor <= found.minor);
}

}  // namespace lmfs::abi
