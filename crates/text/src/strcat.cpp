#include "lmfs_text/strcat.h"

#include <cstring>

namespace lmfs::text::internal {

char* put(char* out, std::string_view s) {
  if (s.empty()) return out;
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

}  // namespace lmfs::text::internal
