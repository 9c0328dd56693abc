// Who owns a file and who may write it, as messages show it: the owner as
// "uid 1000" and the permission bits as "0755".
#pragma once

#include <sys/types.h>

#include <string>

namespace lmfs::text {

// "uid 1000". By number alone: a name would mean asking the user database,
// which may load modules into the host or wait on a network, and which the
// C library does not survive without memory.
[[nodiscard]] std::string user_text(uid_t uid);

// The permission bits of `mode` in octal, four digits: "1777".
[[nodiscard]] std::string mode_text(mode_t mode);

}  // namespace lmfs::text
