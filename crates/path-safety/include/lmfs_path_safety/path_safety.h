// Paths as text: joining two, and the path-safety check applied to device
// paths taken from media and to paths resolved against the store's root.
// Both look only at the text: no file is consulted and no link is resolved.
// (What the files on a path are: trusted_path.h.)
#pragma once

#include <cstddef>
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
//
// A JoinedPath is that join before it is written out, so that whoever keeps
// the result writes it once, straight into its own buffer. It borrows both
// texts, which must outlive it; it refuses temporary strings.
class JoinedPath {
 public:
  JoinedPath(std::string_view folder, std::string_view name) : folder_(folder), name_(name) {}
  JoinedPath(const std::string&&, std::string_view) = delete;
  JoinedPath(std::string_view, const std::string&&) = delete;

  [[nodiscard]] std::string_view folder() const { return folder_; }
  [[nodiscard]] std::string_view name() const { return name_; }
  [[nodiscard]] std::size_t size() const { return folder_.size() + (slash() ? 1 : 0) + name_.size(); }
  // Writes the size() bytes of the path at `out`.
  void write_to(char* out) const;
  [[nodiscard]] std::string str() const;

 private:
  // Whether a "/" goes between the two. (Worked out where it is needed: a
  // flag kept beside the views would be written and read back in pieces of
  // different widths, which stalls the copy of a fresh join.)
  [[nodiscard]] bool slash() const { return !folder_.empty() && !folder_.ends_with('/'); }

  std::string_view folder_;
  std::string_view name_;
};

[[nodiscard]] inline std::string join_path(std::string_view folder, std::string_view name) {
  return JoinedPath(folder, name).str();
}

// Returns `path` unchanged, or UnsafePath when a component (between "/"
// separators, empty ones ignored) is exactly "..".
[[nodiscard]] std::expected<std::string_view, SecurityError> ensure_safe_path(std::string_view path);

}  // namespace lmfs::path_safety
