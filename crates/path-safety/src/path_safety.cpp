#include "lmfs_sec/path_safety.h"

#include "lmfs_storage_driver/text.h"

namespace lmfs::sec {

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

}  // namespace lmfs::sec
