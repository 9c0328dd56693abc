// Standard error written whole: a line in one write, a text larger than a
// pipe holds in as many as it takes.
#include "lmfs_diag/stderr.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace lmfs::diag {
namespace {

// Descriptor 2 is the write end of a pipe for the life of the object.
class StderrPipe {
 public:
  StderrPipe() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    saved_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    ::dup2(fds_[1], 2);
    ::close(fds_[1]);
  }
  ~StderrPipe() {
    restore();
    ::close(fds_[0]);
  }
  // Puts descriptor 2 back; the pipe then sees its end.
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  [[nodiscard]] int read_end() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

std::string read_all(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

TEST(WriteStderr, AShortLineArrivesInOneRead) {
  StderrPipe pipe;
  write_stderr("Snap shot #42\n");
  char buf[64];
  const ssize_t n = ::read(pipe.read_end(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "Snap shot #42\n");
}

// The kernel takes such a text in parts; every part is written, in order.
TEST(WriteStderr, ATextLargerThanThePipeArrivesWhole) {
  std::string text;
  for (int i = 0; text.size() < 1 << 20; ++i) text += std::to_string(i) + "\n";
  StderrPipe pipe;
  std::string got;
  std::thread reader([&] { got = read_all(pipe.read_end()); });
  write_stderr(text);
  pipe.restore();
  reader.join();
  EXPECT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text);
}

}  // namespace
}  // namespace lmfs::diag
