#include "lmfs_base/unique.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include <vector>

namespace lmfs::base {
namespace {

// Records every release, so that each test can see exactly what went.
std::vector<int> released;
struct CountingTraits {
  using Handle = int;
  static constexpr int invalid() noexcept { return 0; }
  static void release(int h) noexcept { released.push_back(h); }
};
using Counted = Unique<CountingTraits>;

// Each handle is released exactly once, whichever way its owner goes.
TEST(Unique, ReleasesEachHandleOnceOnEveryPath) {
  released.clear();
  {
    Counted a(1);
    Counted b(std::move(a));  // moved: only b releases
    EXPECT_FALSE(a.valid());
    Counted c(3);
    c = std::move(b);  // c's 3 goes at once, 1 moves in
    EXPECT_EQ(released, std::vector<int>({3}));
    c.reset(4);
    EXPECT_EQ(released, std::vector<int>({3, 1}));
    Counted d(5);
    EXPECT_EQ(d.release(), 5);  // given up: never released by d
    Counted empty;
    EXPECT_FALSE(empty);
  }
  EXPECT_EQ(released, std::vector<int>({3, 1, 4}));
}

// Handing an owner the handle it already holds, or itself, keeps the handle:
// releasing it there would leave the owner holding a released handle.
TEST(Unique, ResetToItsOwnHandleAndSelfMoveKeepIt) {
  released.clear();
  {
    Counted a(7);
    a.reset(a.get());
    EXPECT_TRUE(released.empty());
    Counted& same = a;
    a = std::move(same);
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(a.get(), 7);
  }
  EXPECT_EQ(released, std::vector<int>({7}));
}

// A descriptor owner closes its descriptor.
TEST(Unique, ClosesDescriptors) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  { UniqueFd r(fds[0]); }
  UniqueFd w(fds[1]);
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_NE(::fcntl(w.get(), F_GETFD), -1);
}

// The stream owners give their descriptor back to the system.
TEST(Unique, ClosesStreams) {
  int dir_fd = -1;
  int file_fd = -1;
  {
    UniqueDir dir(::opendir("/"));
    UniqueFile file(std::fopen("/proc/self/stat", "re"));
    ASSERT_TRUE(dir && file);
    dir_fd = ::dirfd(dir.get());
    file_fd = ::fileno(file.get());
  }
  EXPECT_EQ(::fcntl(dir_fd, F_GETFD), -1);
  EXPECT_EQ(::fcntl(file_fd, F_GETFD), -1);
}

}  // namespace
}  // namespace lmfs::base
