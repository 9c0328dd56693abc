#include "lmfs_text/text.h"

#include <gtest/gtest.h>

namespace lmfs::text {
namespace {

TEST(LossyUtf8, ReplacesEachMaximalInvalidPrefix) {
  struct Row { std::string_view in, out; };
  const Row rows[] = {
      {"abc", "abc"},
      {"\xff", "\xEF\xBF\xBD"},
      {"a\xC3", "a\xEF\xBF\xBD"},                      // truncated two-byte sequence
      {"\xE2\x82x", "\xEF\xBF\xBDx"},                  // one replacement for the two bytes
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate: three
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(lossy_utf8(r.in), r.out);
  }
}

TEST(DebugStr, EscapesLikeTheHostsDebugForm) {
  EXPECT_EQ(debug_str("a\"\n\t\\'"), R"("a\"\n\t\\'")");
  EXPECT_EQ(debug_str(std::string_view("\0\x01", 2)), R"("\0\u{1}")");
  EXPECT_EQ(debug_str("\xC3\xA9\xCC\x81"), "\"\xC3\xA9\\u{301}\"");
  EXPECT_EQ(debug_os_str("/dev/\xff"), R"("/dev/\xff")");
}

TEST(DebugBuilders, PlainAndAlternateLayouts) {
  const auto inner = debug_struct(false, "R", {{"inner", debug_str("x")}});
  EXPECT_EQ(debug_tuple(false, "Some", {inner}), R"(Some(R { inner: "x" }))");
  EXPECT_EQ(debug_list(false, {}), "[]");
  EXPECT_EQ(debug_list(true, {}), "[]");
  const auto alt = debug_struct(true, "R", {{"inner", debug_list(true, {"1", "2"})}});
  EXPECT_EQ(alt, "R {\n    inner: [\n        1,\n        2,\n    ],\n}");
  EXPECT_EQ(debug_option(true, nullptr), "None");
}

}  // namespace
}  // namespace lmfs::text
