// The file helpers, whose answers the suites compare directly.
#include "lmfs_testing/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace lmfs::testing {
namespace {

using Lines = std::vector<std::string>;

TEST(SplitLines, CutsAtNewlinesAndKeepsALastUnfinishedLine) {
  const std::pair<std::string, Lines> cases[] = {
      {"", {}},
      {"\n", {""}},
      {"a", {"a"}},
      {"a\nb\n", {"a", "b"}},
      {"a\n\nb", {"a", "", "b"}},
  };
  for (const auto& [text, lines] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(split_lines(text), lines);
  }
}

TEST(Files, WholeFilesRoundTripAndFailuresAreValues) {
  std::string kept;
  {
    TempDir dir;
    kept = dir.path();
    EXPECT_EQ(std::filesystem::canonical(kept), kept);
    const std::string bytes("a\0b\xff\n", 5);
    EXPECT_TRUE(write_file(dir / "f", bytes));
    EXPECT_EQ(read_file(dir / "f"), bytes);
    EXPECT_TRUE(write_file(dir / "f", "x"));
    EXPECT_EQ(read_file(dir / "f"), "x") << "replaced, not appended";
    EXPECT_FALSE(write_file(dir / "missing/f", "x"));
    EXPECT_EQ(read_file(dir / "missing/f"), "");
  }
  EXPECT_FALSE(std::filesystem::exists(kept)) << "removed with what it held";
}

TEST(Files, OpenDescriptorsOfThisProcess) {
  const auto before = open_fds();
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  auto now = open_fds();
  EXPECT_EQ(now.erase(fd), 1u);
  EXPECT_EQ(now, before);
  ::close(fd);
  EXPECT_EQ(open_fds(), before);
  EXPECT_TRUE(before.contains(0) && before.contains(1) && before.contains(2));
}

}  // namespace
}  // namespace lmfs::testing
