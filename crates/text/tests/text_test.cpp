#include "lmfs_text/text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>

#include "lmfs_text/errno_text.h"
#include "lmfs_text/number.h"
#include "lmfs_text/packed_texts.h"
#include "lmfs_text/strcat.h"

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

// Names in lines of standard error: only control characters change, so no
// name can end its line or reach the terminal as a command.
TEST(Printable, EscapesControlCharactersAlone) {
  struct Row { std::string_view in, out; };
  const Row rows[] = {
      {"/dev/sdb", "/dev/sdb"},
      {"a \\ \"b\" \xC3\xA9", "a \\ \"b\" \xC3\xA9"},                  // as lossy_utf8 gives it
      {"/dev/\xff", "/dev/\xEF\xBF\xBD"},
      {"x\nSnap shot #7", "x\\nSnap shot #7"},
      {"\x1b]0;t\x07\x1b[2J", "\\u{1b}]0;t\\u{7}\\u{1b}[2J"},
      {"\r\t\v\f", "\\r\\t\\u{b}\\u{c}"},
      {std::string_view("\0\x7f", 2), "\\0\\u{7f}"},
      {"\xC2\x9B" "2J", "\\u{9b}2J"},  // the one-character CSI
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(printable(r.in), r.out);
  }
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

// Only a text that is the number and nothing else is one: what /proc and a
// command line hand over is refused rather than read in part.
TEST(WholeNumber, TakesTheWholeTextOrNothing) {
  EXPECT_EQ(whole_number<int>("42"), 42);
  EXPECT_EQ(whole_number<int>("-7"), -7);
  EXPECT_EQ(whole_number<unsigned>("fe", 16), 0xfeU);
  EXPECT_EQ(whole_number<std::uint64_t>("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", " 1", "1 ", "+1", "1x", "0x10", "-"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(whole_number<int>(bad));
  }
  EXPECT_FALSE(whole_number<unsigned>("-1"));
  EXPECT_FALSE(whole_number<std::uint8_t>("256"));
  EXPECT_FALSE(whole_number<std::uint64_t>("18446744073709551616"));
}

TEST(Cat, JoinsTextsCharactersAndNumbersOfEveryWidth) {
  const std::string owned = "owned";
  const char* pointer = "ptr";
  EXPECT_EQ(cat(), "");
  EXPECT_EQ(cat("", std::string_view{}, std::string{}), "");
  EXPECT_EQ(cat("a", owned, std::string_view("view"), pointer, '!'), "aownedviewptr!");
  EXPECT_EQ(cat(std::numeric_limits<std::int64_t>::min(), ' ', std::numeric_limits<std::uint64_t>::max()),
            "-9223372036854775808 18446744073709551615");
  EXPECT_EQ(cat(0, '/', -1, '/', static_cast<unsigned char>(255), '/', std::numeric_limits<int>::min()),
            "0/-1/255/-2147483648");
  // Longer than the in-place buffer, with numbers shorter than their hint.
  const std::string long_text(40, 'x');
  EXPECT_EQ(cat(long_text, " at line ", std::size_t{1}, " column ", std::size_t{44}), long_text + " at line 1 column 44");
}

// Empty texts, at either end and between, keep their places.
constexpr std::array<std::string_view, 5> kPackList = {"", "SIGHUP", "", "a", ""};
constexpr auto kPacked = pack<packed_size(kPackList)>(kPackList);
static_assert(kPacked.size() == 5 && sizeof(kPacked) == 8 + 6 * 2);
static_assert(kPacked[0].empty() && kPacked[1] == "SIGHUP" && kPacked[2].empty() && kPacked[3] == "a" && kPacked[4].empty());
constexpr std::array<std::string_view, 2> kNothing = {"", ""};
static_assert(pack<packed_size(kNothing)>(kNothing)[1].empty());

TEST(LibcErrorText, IsTheCLibrarysText) {
  EXPECT_EQ(libc_error_text(ENOENT), "No such file or directory");
  EXPECT_EQ(libc_error_text(9999), "Unknown error 9999");
}

}  // namespace
}  // namespace lmfs::text
