// Paths as text: joining two, and the path-safety check applied to device
// paths taken from media and to paths resolved against the store's root.
// Both look only at the text: no file is consulted and no link is resolved.
// (What the files on a path are: trusted_path.h.)
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace lmfs::path_safety {

// The error of the check. One variant: UnsafePath, with the refused path as
// text (invalid UTF-8 replaced by U+FFFD).
struct SecurityError {
  enum class Kind : unsigned char { UnsafePath = 0 };
  Kind kind = Kind::UnsafePath;
  std::string path;

  // "Invalid path: " + path
  [[nodiscard]] std::string message() const;
  friend bool operator==(const SecurityError&, const SecurityError&) = default;
};

// `folder` joined with `name`: "/" between them unless `folder` is empty or
// already ends in "/" ("" and "mkfs.loomfs" give the bare name).
[[nodiscard]] std::string join_path(std::string_view folder, std::string_view name);

// Returns `path` unchanged, or UnsafePath when a component (between "/"
// separators, empty ones ignored) is exactly "..".
[[nodiscard]] std::expected<std::string_view, SecurityError> ensure_safe_path(std::string_view path);

}  // namespace lmfs::path_safety
