#include "lmfs_path_safety/path_safety.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace lmfs::path_safety
