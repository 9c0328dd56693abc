#include "fd.h"

#include <fcntl.h>
#include <unistd.h>

#include "lmfs_text/errno_text.h"

namespace lmfs::standin {

std::string Error::message() const {
  if (err == 0) {
    return what;
  }
  return what + ": " + text::libc_error_text(err);
}

Result<UniqueFd> open_fd(const std::string& path, int flags, mode_t mode) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) {
    return sys_fail("cannot open " + path);
  }
  return UniqueFd(fd);
}

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return sys_fail("cannot create a pipe");
  }
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

namespace {

// Repeats a positional read or write until the whole buffer is done; EINTR
// is retried, an end of file is a short transfer (EIO).
template <class Byte, class Call>
Result<void> transfer_full(Call call, int fd, std::span<Byte> buf, std::uint64_t offset, const std::string& what,
                           const char* short_text) {
  std::size_t done = 0;
  while (done < buf.size()) {
    const ssize_t n = call(fd, buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return sys_fail(what);
    }
    if (n == 0) {
      return fail(what + short_text, EIO);
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

Result<void> pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t offset,
                        const std::string& what) {
  return transfer_full(::pread, fd, buf, offset, what, ": short read");
}

Result<void> pwrite_full(int fd, std::span<const std::uint8_t> buf, std::uint64_t offset,
                         const std::string& what) {
  return transfer_full(::pwrite, fd, buf, offset, what, ": short write");
}

Result<void> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return sys_fail("write");
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace lmfs::standin
