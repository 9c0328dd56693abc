// Who owns a file and who may write it, as messages show it: the owner as
// "uid 1000 (mallory)" and the permission bits as "0755".
#pragma once

#include <sys/types.h>

#include <string>

namespace lmfs::text {

// "uid 1000 (mallory)", or "uid 1000" when the user database has no name.
[[nodiscard]] std::string user_text(uid_t uid);

// The permission bits of `mode` in octal, four digits: "1777".
[[nodiscard]] std::string mode_text(mode_t mode);

}  // namespace lmfs::text
