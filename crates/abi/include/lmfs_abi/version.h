// Version numbers as the framework reads them: from a library header's version
// text (the loader's check) and from a type's "package;version" (the layout
// checker's), with one parser and the framework's two compatibility rules.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace lmfs::abi {

struct VersionNumber {
  std::uint32_t major = 0, minor = 0, patch = 0;
  friend bool operator==(const VersionNumber&, const VersionNumber&) = default;
};

// "MAJOR.MINOR.PATCH": major and minor are the texts before the first and
// second dot, each a u32 (an optional '+', then digits only); the patch is the
// first run of digits in what follows the second dot (0 when there is none),
// so "0.0.0-next" is 0.0.0. The error names the part that is not a number.
[[nodiscard]] std::expected<VersionNumber, std::string> parse_version(std::string_view text);

// The layout checker's rule: the same major version and, for major 0, the
// same minor version.
[[nodiscard]] bool loosely_compatible(VersionNumber expected, VersionNumber found);

// The loader's rule for a host expecting `expected` of a library that is
// `found`: the same major version and, for major 0, the library's minor
// version at least the host's.
[[nodiscard]] bool library_compatible(VersionNumber expected, VersionNumber found);

}  // namespace lmfs::abi
