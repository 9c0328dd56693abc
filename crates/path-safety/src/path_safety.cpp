#include "lmfs_path_safety/path_safety.h"

#include "lmfs_text/text.h"

namespace lmfs::path_safety {

std::string join_path(std::string_view folder, std::string_view name) {
  const bool slash = !folder.empty() && !folder.ends_with('/');
  std::string out;
  out.reserve(folder.size() + (slash ? 1 : 0) + name.size());  // one allocation
  out.append(folder);
  if (slash) out.push_back('/');
  out.append(name);
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
