#include "lmfs_path_safety/path_safety.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace lmfs::path_safety {
namespace {

TEST(EnsureSafePath, RefusesParentComponentsWherever) {
  for (std::string_view p : {"..", "/..", "../x", "/dev/../etc/x", "a/../b", "a/..", "a/../", "//..//"}) {
    SCOPED_TRACE(p);
    auto r = ensure_safe_path(p);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().path, p);
    EXPECT_EQ(r.error().message(), "Invalid path: " + std::string(p));
  }
}

TEST(EnsureSafePath, AcceptsNamesThatOnlyContainDots) {
  for (std::string_view p : {"", "/", "/dev/x..y", "/dev/./sdb", "/dev//sdb", "...", "a..b", "./a", "..a", "a.."}) {
    SCOPED_TRACE(p);
    auto r = ensure_safe_path(p);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, p);
  }
}

TEST(EnsureSafePath, RefusedPathIsShownWithReplacementCharacter) {
  auto r = ensure_safe_path(std::string_view("/\xff/../x", 7));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().path, "/\xEF\xBF\xBD/../x");
}

// A join borrows its parts: a temporary string is refused at compile time.
static_assert(!std::is_constructible_v<JoinedPath, std::string, std::string_view>);
static_assert(!std::is_constructible_v<JoinedPath, std::string_view, std::string>);
static_assert(std::is_constructible_v<JoinedPath, const std::string&, std::string_view>);

TEST(JoinPath, SeparatesOnlyWhereTheFolderDoesNotEndInOne) {
  struct Case {
    std::string_view folder, name, joined;
  };
  for (const Case& c : {Case{"", "mkfs.loomfs", "mkfs.loomfs"}, Case{"/usr/sbin", "mkfs.loomfs", "/usr/sbin/mkfs.loomfs"},
                        Case{"/usr/sbin/", "x", "/usr/sbin/x"}, Case{"/", "x", "/x"}, Case{"/mnt/s", "", "/mnt/s/"},
                        Case{"", "", ""}}) {
    SCOPED_TRACE(std::string(c.folder) + " + " + std::string(c.name));
    const JoinedPath joined(c.folder, c.name);
    EXPECT_EQ(joined.size(), c.joined.size());
    EXPECT_EQ(joined.str(), c.joined);
    EXPECT_EQ(join_path(c.folder, c.name), c.joined);
    // Written into a buffer of exactly its size, nothing past it.
    std::string buffer(c.joined.size() + 1, '#');
    joined.write_to(buffer.data());
    EXPECT_EQ(buffer, std::string(c.joined) + "#");
  }
}

}  // namespace
}  // namespace lmfs::path_safety
