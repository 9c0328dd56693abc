// Owned file descriptors and whole-buffer positioned I/O.
// Every descriptor the stand-ins open is close-on-exec: the mount helper
// starts the daemon and nothing else may leak into it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>

#include "result.h"

namespace lmfs::standin {

// Move-only owner of one descriptor; closes it once (never retried on EINTR).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] explicit operator bool() const { return fd_ >= 0; }
  [[nodiscard]] int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

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
