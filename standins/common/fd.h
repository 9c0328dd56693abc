// Opening descriptors, pipes and whole-buffer positioned I/O.
// Every descriptor the stand-ins open is close-on-exec: the mount helper
// starts the daemon and nothing else may leak into it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>

#include "lmfs_base/unique.h"
#include "result.h"

namespace lmfs::standin {

// The project's descriptor owner: closes its descriptor once, never retried
// on EINTR.
using UniqueFd = lmfs::base::UniqueFd;

// Both ends of a close-on-exec pipe.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};
[[nodiscard]] Result<Pipe> make_pipe();

// open(2) with O_CLOEXEC added.
[[nodiscard]] Result<UniqueFd> open_fd(const std::string& path, int flags, mode_t mode = 0);

// Reads or writes all of `buf` at `offset`; a short transfer is an error (EIO).
[[nodiscard]] Result<void> pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t offset,
                                      const std::string& what);
[[nodiscard]] Result<void> pwrite_full(int fd, std::span<const std::uint8_t> buf,
                                       std::uint64_t offset, const std::string& what);

// Writes all of `text` to `fd` (a pipe, a log); used for short messages.
[[nodiscard]] Result<void> write_all(int fd, std::string_view text);

}  // namespace lmfs::standin
