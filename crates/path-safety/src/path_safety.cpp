#include "lmfs_path_safety/path_safety.h"

#include <algorithm>

#include "lmfs_text/text.h"

namespace lmfs::path_safety {

void JoinedPath::write_to(char* out) const {
  if (!folder_.empty()) out = std::copy(folder_.begin(), folder_.end(), out);
  if (slash()) *out++ = '/';
  if (!name_.empty()) std::copy(name_.begin(), name_.end(), out);
}

std::string JoinedPath::str() const {
  std::string out(size(), '\0');
  write_to(out.data());
  return out;
}

std::string SecurityError::message() const { return "Invalid path: " + path; }

std::expected<std::string_view, SecurityError> ensure_safe_path(std::string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (path.substr(start, end - start) == "..") {
      return std::unexpected(SecurityError{SecurityError::Kind::UnsafePath, text::lossy_utf8(path)});
    }
    start = end + 1;
  }
  return path;
}

}  // namespace lmfs::path_safety
