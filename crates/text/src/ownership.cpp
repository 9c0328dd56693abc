#include "lmfs_text/ownership.h"

#include <pwd.h>

#include <array>
#include <cstdio>
#include <vector>

namespace lmfs::text {

std::string user_text(uid_t uid) {
  std::string out = "uid " + std::to_string(uid);
  std::vector<char> buf(4096);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    out.append(" (").append(found->pw_name).append(")");
  }
  return out;
}

std::string mode_text(mode_t mode) {
  std::array<char, 8> out{};
  std::snprintf(out.data(), out.size(), "%04o", static_cast<unsigned>(mode & 07777));
  return out.data();
}

}  // namespace lmfs::text
