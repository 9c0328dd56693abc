#include "lmfs_text/ownership.h"

#include <array>
#include <cstdio>

namespace lmfs::text {

std::string user_text(uid_t uid) { return "uid " + std::to_string(uid); }

std::string mode_text(mode_t mode) {
  std::array<char, 8> out{};
  std::snprintf(out.data(), out.size(), "%04o", static_cast<unsigned>(mode & 07777));
  return out.data();
}

}  // namespace lmfs::text
