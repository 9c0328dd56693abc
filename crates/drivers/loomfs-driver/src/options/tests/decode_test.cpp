#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "loomfs_driver/options.h"

// "The reference" below is the host's JSON library (serde_json decoding into
// derived records), whose results the shared vectors record.
namespace lmfs::loomfs {
namespace {

using namespace std::string_literals;

constexpr std::string_view kTail = R"(,"bin_dir":"/b","media":{"inner":[]},"root":"/r"})";

// The decoder's verdict in one string: "ok: <debug text>" or the message.
std::string verdict(std::string_view json) {
  const auto r = decode_options(json);
  return r ? "ok: " + debug_options(*r, false) : r.error().text();
}

struct Row {
  std::string in;
  std::string out;  // message, or "ok: ..." / "ok" (any success)
};

void check(const Row& r) {
  SCOPED_TRACE(r.in);
  const std::string got = verdict(r.in);
  if (r.out == "ok") {
    EXPECT_TRUE(got.starts_with("ok: ")) << got;
  } else {
    EXPECT_EQ(got, r.out);
  }
}

// One line of the vectors file: {"params": "...", "ok" or "error": "..."},
// read here by hand rather than by the decoder under test. Its strings use
// the plain JSON escapes.
struct Vector {
  std::string params;
  std::string kind;  // "ok" or "error"
  std::string expected;
};

// Code points below U+10000 (all the file's escapes are).
void append_utf8(std::string& out, unsigned c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
  } else {
    out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
            static_cast<char>(0x80 | (c & 0x3F))};
  }
}

// The string whose opening quote is at `i` (blanks before it skipped); `i`
// moves past the closing quote.
std::optional<std::string> quoted(std::string_view line, std::size_t& i) {
  while (i < line.size() && line[i] == ' ') ++i;
  if (i >= line.size() || line[i] != '"') return std::nullopt;
  std::string out;
  for (++i; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      ++i;
      return out;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= line.size()) return std::nullopt;
    switch (line[i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'u':
        append_utf8(out, static_cast<unsigned>(std::stoul(std::string(line.substr(i + 1, 4)), nullptr, 16)));
        i += 4;
        break;
      default: out += line[i]; break;  // " \\ /
    }
  }
  return std::nullopt;
}

std::optional<Vector> read_vector(std::string_view line) {
  std::size_t i = line.find('{');
  if (i == std::string_view::npos) return std::nullopt;
  ++i;
  const auto separator = [&](char c) {
    while (i < line.size() && line[i] == ' ') ++i;
    return i < line.size() && line[i++] == c;
  };
  Vector v;
  const auto key = quoted(line, i);
  if (key != "params" || !separator(':')) return std::nullopt;
  auto params = quoted(line, i);
  if (!params || !separator(',')) return std::nullopt;
  auto kind = quoted(line, i);
  if (!kind || !separator(':')) return std::nullopt;
  auto expected = quoted(line, i);
  if (!expected || !separator('}')) return std::nullopt;
  return Vector{std::move(*params), std::move(*kind), std::move(*expected)};
}

// Every parameter text of the reference vectors decodes to the reference's result.
TEST(DecodeOptions, MatchesTheReferenceVectors) {
  std::ifstream file(LMFS_JSON_VECTORS, std::ios::binary);
  ASSERT_TRUE(file) << "no vectors at " << LMFS_JSON_VECTORS;
  std::string line;
  int count = 0;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    ++count;
    SCOPED_TRACE("line " + std::to_string(count) + ": " + line.substr(0, 200));
    const auto v = read_vector(line);
    ASSERT_TRUE(v.has_value());
    const auto result = decode_options(v->params);
    if (v->kind == "ok") {
      ASSERT_TRUE(result.has_value()) << result.error().text();
      EXPECT_EQ(debug_options(*result, false), v->expected);
    } else {
      ASSERT_EQ(v->kind, "error");
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().text("serde error: "), v->expected);
    }
  }
  EXPECT_EQ(count, 162);
}

TEST(DecodeOptions, ObjectAndArrayFormsGiveTheSameRecord) {
  const auto object = decode_options(
      R"({"flags":"-o x","bin_dir":"/sbin","root":"/mnt",)"
      R"("media":{"inner":[{"Block":{"inner":"/dev/sdb"}},{"Path":{"inner":[47,255]}},{"URN":"u"},"None",{"None":null}]}})");
  const auto array = decode_options(
      R"(["-o x","/sbin",[[{"Block":["/dev/sdb"]},{"Path":[[47,255]]},{"URN":"u"},"None",{"None":null}]],"/mnt"])");
  ASSERT_TRUE(object.has_value()) << object.error().text();
  ASSERT_TRUE(array.has_value()) << array.error().text();
  EXPECT_EQ(*object, *array);
  EXPECT_EQ(object->flags, "-o x");
  EXPECT_EQ(object->bin_dir, "/sbin");
  EXPECT_EQ(object->root, "/mnt");
  const StorageMedia want{{StorageMedium::block("/dev/sdb"), StorageMedium::path("/\xff"), StorageMedium::urn("u"),
                           StorageMedium::none(), StorageMedium::none()}};
  EXPECT_EQ(object->media, want);
}

// Lines count LF only; every other byte, CR and UTF-8 included, is a column.
TEST(DecodeOptions, CountsLinesAndColumnsLikeTheReference) {
  const Row rows[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"{\r\n\"x\":1\r\n", "EOF while parsing an object at line 3 column 0"},
      {"{\r\"x\":1\r,", "EOF while parsing a value at line 1 column 9"},
      {"\n\n  [\r\n  null 2", "expected `,` or `]` at line 4 column 8"},
      {"{\"\xc3\xa9\xc3\xa9\":1 x", "expected `,` or `}` at line 1 column 11"},
      {"{\"bin_dir\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
  };
  for (const auto& r : rows) check(r);
}

// The input is bytes: NUL ends nothing, and UTF-8 is checked only where the
// reference decodes a string.
TEST(DecodeOptions, HandlesNulBytesAndInvalidUtf8) {
  const Row rows[] = {
      {"{\0}"s, "key must be a string at line 1 column 2"},
      {"\0"s, "expected value at line 1 column 1"},
      {"[\"a\0\"]"s, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      // Inside an ignored value the control character is reported before itself.
      {"{\"x\":\"a\0\"}"s, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
      {"{\"x\":[1\0]}"s, "expected `,` or `]` at line 1 column 8"},
      {"{\"bin_dir\":\"/b\",\"media\":{\"inner\":[]},\"root\":\"/r\"}\0"s, "trailing characters at line 1 column 50"},
      {"{\"bin_dir\":\"\\u0000\",\"media\":{\"inner\":[]},\"root\":\"/r\"}"s, "ok"},
      // Invalid UTF-8 in a decoded string fails after its closing quote.
      {"{\"bin_dir\":\"a\xff" "bc\"}", "invalid unicode code point at line 1 column 17"},
      {"{\"b\xc3\":1}", "invalid unicode code point at line 1 column 5"},
      {"{\"bin_dir\":\"a\xff\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 15"},
      {"{\"x\":[\"\xff\xfe\",{\"\xc0\":1}]" + std::string(kTail), "ok"},
      {"{\xff}", "key must be a string at line 1 column 2"},
  };
  for (const auto& r : rows) check(r);
}

// What the reference skips inside values under unknown keys but refuses where
// it decodes: lone surrogate escapes and numbers out of range.
TEST(DecodeOptions, SkipsWhatTheReferenceSkips) {
  const Row rows[] = {
      {R"({"x":"\ud800")" + std::string(kTail), "ok"},
      {R"({"x":["\udc00\ud800\n",{"\ud800":1e400},0e999,-1e-999])" + std::string(kTail), "ok"},
      {R"({"x":123456789012345678901234567890.5e99999999999)" + std::string(kTail), "ok"},
      {R"({"x":"\ud800\uzzzz"})", "invalid escape at line 1 column 15"},
      {R"({"x":1e400x})", "expected `,` or `}` at line 1 column 11"},
      {R"({"x":[01]})", "invalid number at line 1 column 8"},
      {R"({"x":[1.]})", "invalid number at line 1 column 9"},
      {R"({"x":[-]})", "invalid number at line 1 column 8"},
      {R"({"x":[1,]})", "expected value at line 1 column 9"},
      {R"({"x":{"a":1,}})", "key must be a string at line 1 column 13"},
      // ...while decoded strings and numbers are held to the rules.
      {R"({"bin_dir":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 18"},
      {R"({"bin_dir":"ab\udc00\u12)", "lone leading surrogate in hex escape at line 1 column 20"},
      {R"({"bin_dir":"\ud800\x"})", "unexpected end of hex escape at line 1 column 20"},
      {R"({"bin_dir":1e400})", "number out of range at line 1 column 16"},
      {R"({"bin_dir":0e999})", "invalid type: floating point `0`, expected path string at line 1 column 16"},
      {R"({"bin_dir":1e2147483648})", "number out of range at line 1 column 23"},
      // The reference's digit counting refuses this integer-valued fraction.
      {R"({"bin_dir":18446744073709551616.0})", "invalid number at line 1 column 34"},
      {R"({"x":18446744073709551616.0)" + std::string(kTail), "ok"},
  };
  for (const auto& r : rows) check(r);
}

// Values are the reference's own arithmetic, printed as its floats print.
TEST(DecodeOptions, QuotesNumbersAsTheReference) {
  const Row rows[] = {
      {"-0", "invalid type: floating point `-0`, expected struct LoomFsDriverOptions at line 1 column 2"},
      {"184467440737091.616",
       "invalid type: floating point `184467440737091.63`, expected struct LoomFsDriverOptions at line 1 column 19"},
      {"1e22", "invalid type: floating point `10000000000000000000000`, expected struct LoomFsDriverOptions at line 1 column 4"},
      {"0.000001", "invalid type: floating point `0.000001`, expected struct LoomFsDriverOptions at line 1 column 8"},
      {"-9223372036854775808", "invalid type: integer `-9223372036854775808`, expected struct LoomFsDriverOptions at line 1 column 20"},
      {"[null,\"/b\",[[{\"Path\":[[0,255,-1]]}]]]", "invalid value: integer `-1`, expected u8 at line 1 column 31"},
  };
  for (const auto& r : rows) check(r);
}

// Integers stay exact within 64 bits; beyond, the reference scales the leading
// digits by powers of ten and fails where its arithmetic runs out.
TEST(DecodeOptions, ReadsNumbersWithTheReferenceArithmetic) {
  const auto quoted = [](std::string_view value, std::size_t column) {
    return "invalid type: " + std::string(value) + ", expected struct LoomFsDriverOptions at line 1 column " +
           std::to_string(column);
  };
  const Row rows[] = {
      {"18446744073709551615", quoted("integer `18446744073709551615`", 20)},
      {"18446744073709551616", quoted("floating point `18446744073709552000`", 20)},
      {"-9223372036854775809", quoted("floating point `-9223372036854776000`", 20)},
      {"123456789012345678901234.5", quoted("floating point `123456789012345670000000`", 26)},
      {"1.00000000000000000000000001", quoted("floating point `1`", 28)},
      {"99999999999999999999.0", quoted("floating point `100000000000000000000`", 22)},
      {"2.5e-3", quoted("floating point `0.0025`", 6)},
      {"-1e-400", quoted("floating point `-0`", 7)},
      {"1e308", quoted("floating point `1" + std::string(308, '0') + "`", 5)},
      {"0e99999999999", quoted("floating point `0`", 13)},
      {"1e-99999999999", quoted("floating point `0`", 14)},
      {"10e308", "number out of range at line 1 column 6"},
      {"1.7976931348623159e308", "number out of range at line 1 column 22"},
      {"1e99999999999", "number out of range at line 1 column 12"},  // where the exponent overflows
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"-x", "invalid number at line 1 column 2"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
  };
  for (const auto& r : rows) check(r);
}

// Strings in messages use the Debug escapes: unprintable and combining
// characters as \u{..} (the character tables behind the escaping).
TEST(DecodeOptions, QuotesStringsWithDebugEscapes) {
  const auto message = [](std::string_view quoted, std::size_t column) {
    return "invalid type: string " + std::string(quoted) + ", expected struct LoomFsDriverOptions at line 1 column " +
           std::to_string(column);
  };
  const Row rows[] = {
      {R"("\uffff")", message(R"("\u{ffff}")", 8)},
      {"\"a\u0378b\"", message(R"("a\u{378}b")", 6)},               // unassigned
      {"\"x\u200cy\"", message(R"("x\u{200c}y")", 7)},              // format, also grapheme extend
      {"\"\U000E0020\"", message(R"("\u{e0020}")", 6)},             // tag
      {"\"\u00a0\u3000 \u2028\"", message(R"("\u{a0}\u{3000} \u{2028}")", 11)},
      {"\"\U0001F600\u00e9\u0301\"", message("\"\U0001F600\u00e9\\u{301}\"", 10)},
      {"\"\u00ad\u0600\ufeff\"", message(R"("\u{ad}\u{600}\u{feff}")", 9)},
      {"\"\U000F0000\ue000\"", message(R"("\u{f0000}\u{e000}")", 9)},  // private use
      {"\"\u0b57\u0cd5\"", message(R"("\u{b57}\u{cd5}")", 8)},      // spacing marks that extend
      {R"("\u0007\u007f\u0080")", message(R"("\u{7}\u{7f}\u{80}")", 20)},
  };
  for (const auto& r : rows) check(r);
}

// Failures raised by a record or list are placed where the reference finished
// reading that container; a separator it does not expect there ends it early.
TEST(DecodeOptions, PlacesRecordFailuresAfterTheContainer) {
  const Row rows[] = {
      {R"({"root":"/a","root"  })", "duplicate field `root` at line 1 column 22"},
      {R"({"root":"/a","root" :"/b"})", "duplicate field `root` at line 1 column 20"},
      {R"({"bin_dir":"/b","media":{"inner":["URN" ,  "None"]}})", "invalid type: unit variant, expected newtype variant at line 1 column 43"},
      {R"({"bin_dir":"/b","media":{"inner":["URN"  ]}})", "invalid type: unit variant, expected newtype variant at line 1 column 42"},
      {R"({"bin_dir":"/b","media":{"inner":[{"None":null ,"x":1}]}})", "expected value at line 1 column 47"},
      {R"({"bin_dir":"/b","media":{"inner":[{"None":null x]}})", "expected value at line 1 column 47"},
      {R"({"bin_dir":"/b","media":{"inner":[{"None":null  )", "EOF while parsing an object at line 1 column 48"},
      {R"([null,"/b",[[]],"/r", {"a":1}])", "trailing characters at line 1 column 23"},
      {R"([null,"/b",[[]],"/r" , ])", "trailing comma at line 1 column 24"},
      {R"({"bin_dir":"/b","media":{"inner":[{"Block":{"inner":"x"}}]},"root":"/r"} )", "ok"},
      {R"({"bin_dir":"/b","media":{"inner":[{"Block":{"inner":"x"}}]},"root":"/r"} x)", "trailing characters at line 1 column 74"},
      {R"({"bin_dir":"/b","media":{"inner":[{"Block":{"inner":"x"}}]}} )", "missing field `root` at line 1 column 60"},
      {R"({"bin_dir":"/b","media":{"inner":[{}]}})", "expected value at line 1 column 36"},
      {R"({"bin_dir":"/b","media":{"inner":[{null:1}]}})", "invalid type: null, expected variant identifier at line 1 column 39"},
  };
  for (const auto& r : rows) check(r);
}

// Values under unknown keys are skipped at any depth, without using the stack.
TEST(DecodeOptions, SkipsDeeplyNestedUnknownValues) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string deep = R"({"x":)";
  deep.append(kDepth, '[');
  deep.append(R"("\ud800",{"a":1e999})");
  deep.append(kDepth, ']');
  deep.append(kTail);
  const auto r = decode_options(deep);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->root, "/r");

  deep.resize(deep.size() - kTail.size() - 1);  // one bracket short
  EXPECT_EQ(verdict(deep), "EOF while parsing a list at line 1 column " + std::to_string(deep.size()));

  // Objects and lists mixed, ten million levels.
  std::string mixed = R"({"x":)";
  for (int k = 0; k < 5'000'000; ++k) mixed += R"({"":[)";
  mixed += "null";
  for (int k = 0; k < 5'000'000; ++k) mixed += "]}";
  mixed += kTail;
  EXPECT_TRUE(decode_options(mixed).has_value());
  const std::size_t last = mixed.size() - kTail.size() - 1;
  mixed[last] = ']';  // the outermost object closed as a list
  EXPECT_EQ(verdict(mixed), "expected `,` or `}` at line 1 column " + std::to_string(last + 1));
}

// Lines count LF only, also where a failure is placed after blanks, a closed
// container or a number.
TEST(DecodeOptions, PlacesFailuresAcrossLineBreaks) {
  const Row rows[] = {
      {"{\n", "EOF while parsing an object at line 2 column 0"},
      {"{\"bin_dir\":\n", "EOF while parsing a value at line 2 column 0"},
      {"{\"bin_dir\":\"/b\",\n\n\"media\"\n x", "expected `:` at line 4 column 2"},
      {"[\nnull,\n\"/b\",\n[[]]\n]", "invalid length 3, expected struct LoomFsDriverOptions with 4 elements at line 5 column 1"},
      {"[\nnull,\n\"/b\",\n[[]],\"/r\"\n,\n]", "trailing comma at line 6 column 1"},
      {"{\"bin_dir\":\"/b\",\n\"media\":{\"inner\":[\"URN\"\n,\n\"None\"]}}",
       "invalid type: unit variant, expected newtype variant at line 4 column 0"},
      {"{\"bin_dir\":\"/b\",\n\"media\":{\"inner\":[{\"None\":null\n\nx}]}}", "expected value at line 4 column 0"},
      {"{\"root\":\"/a\",\n\"root\"\n}", "duplicate field `root` at line 3 column 1"},
      {"{\"bin_dir\":\"/b\",\"media\":{\"inner\":[]}\n}", "missing field `root` at line 2 column 1"},
      {"{\"bin_dir\":\"/b\",\n\"media\":{\"inner\":[{\"Path\":[[1,\n256]]}]}}",
       "invalid value: integer `256`, expected u8 at line 3 column 3"},
      {"\n\n1e400", "number out of range at line 3 column 5"},
  };
  for (const auto& r : rows) check(r);
}

// Escapes: decoded strings resolve them and want surrogates paired; skipped
// strings only want four hex digits after \u.
TEST(DecodeOptions, ReadsEscapesAsTheReference) {
  const Row rows[] = {
      {R"({"x":"\u12)", "EOF while parsing a string at line 1 column 10"},
      {R"({"x":"\ud800\u)", "EOF while parsing a string at line 1 column 14"},
      {R"({"x":"\q"})", "invalid escape at line 1 column 8"},
      {R"({"bin_dir":"\ud800)", "EOF while parsing a string at line 1 column 18"},
      {R"({"bin_dir":"\ud800\)", "EOF while parsing a string at line 1 column 19"},
      {R"({"bin_dir":"\ud800\u00)", "EOF while parsing a string at line 1 column 22"},
      {R"({"bin_dir":"\ud800\ud800"})", "lone leading surrogate in hex escape at line 1 column 24"},
      {R"({"bin_dir":"\u00zz"})", "invalid escape at line 1 column 17"},
      {R"({"bin_dir":"\)", "EOF while parsing a string at line 1 column 13"},
      {R"({"bin_dir":"\q"})", "invalid escape at line 1 column 14"},
      {"{\"bin_dir\":\"\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 13"},
      {"{\"x\":\"\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 6"},
      {R"({"bin_dir":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00","media":{"inner":[]},"root":"/r"})", "ok"},
      {R"({"bin_\u0064ir":"/b","media":{"inner":[{"\u0042lock":["\u0041"]}]},"root":"/r"})", "ok"},
  };
  for (const auto& r : rows) check(r);
  const auto decoded = decode_options(R"({"bin_dir":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00","media":{"inner":[]},"root":"/r"})");
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->bin_dir, "\"\\/\b\f\n\r\t\u00e9\U0001F600");
}

// The skipper's own grammar inside values under unknown keys.
TEST(DecodeOptions, SkipsWithTheReferenceGrammar) {
  const Row rows[] = {
      {R"({"x":[1 2]})", "expected `,` or `]` at line 1 column 9"},
      {R"({"x":{"a" 1}})", "expected `:` at line 1 column 11"},
      {R"({"x":{"a":1 "b":2}})", "expected `,` or `}` at line 1 column 13"},
      {R"({"x":{"a":1]})", "expected `,` or `}` at line 1 column 12"},
      {R"({"x":[1})", "expected `,` or `]` at line 1 column 8"},
      {R"({"x":[})", "expected value at line 1 column 7"},
      {R"({"x":{]})", "key must be a string at line 1 column 7"},
      {R"({"x":{"a":)", "EOF while parsing a value at line 1 column 10"},
      {R"({"x":{"a")", "EOF while parsing an object at line 1 column 9"},
      {R"({"x":{)", "EOF while parsing an object at line 1 column 6"},
      {R"({"x":[)", "EOF while parsing a list at line 1 column 6"},
      {R"({"x":tru)", "EOF while parsing a value at line 1 column 8"},
      {R"({"x":trux})", "expected ident at line 1 column 9"},
      // At the end of the input the skipper calls a missing digit invalid...
      {R"({"x":-)", "invalid number at line 1 column 6"},
      {R"({"x":1.)", "invalid number at line 1 column 7"},
      {R"({"x":1e)", "invalid number at line 1 column 7"},
      {R"({"x":1e+})", "invalid number at line 1 column 9"},
      // ...where the value reader reaches the end of a value.
      {R"({"bin_dir":-})", "invalid number at line 1 column 13"},
      {R"({"bin_dir":1.)", "EOF while parsing a value at line 1 column 13"},
      {R"({"bin_dir":1e)", "EOF while parsing a value at line 1 column 13"},
      {R"({"bin_dir":1.})", "invalid number at line 1 column 14"},
  };
  for (const auto& r : rows) check(r);
}

// Separators and ends of records, lists and medium objects.
TEST(DecodeOptions, SeparatesMembersAsTheReference) {
  const Row rows[] = {
      {R"([null,"/b",[[]],"/r",])", "trailing comma at line 1 column 22"},
      {R"([null,"/b",[[]],"/r")", "EOF while parsing a list at line 1 column 20"},
      {R"([null,"/b",[[]])", "EOF while parsing a list at line 1 column 15"},
      {R"([null,"/b",[[]],)", "EOF while parsing a value at line 1 column 16"},
      {R"([,null])", "expected value at line 1 column 2"},
      {R"({,"a":1})", "key must be a string at line 1 column 2"},
      {R"({"a":1,})", "trailing comma at line 1 column 8"},
      {R"({"media":{"inner":[{"None":null}],}})", "trailing comma at line 1 column 35"},
      {R"({"media":{"inner":[],"inner":[]}})", "duplicate field `inner` at line 1 column 28"},
      {R"({"media":{"inner":[]},"bin_dir":"/b","root":"/r","flags":null,"flags":null})",
       "duplicate field `flags` at line 1 column 69"},
      {R"({"media":{"inner":[{"Block":{"inner":"a"},"x":1}]}})", "expected value at line 1 column 41"},
      {R"({"media":{"inner":[{"Block")", "EOF while parsing an object at line 1 column 27"},
      {R"({"media":{"inner":[{"Block":)", "EOF while parsing a value at line 1 column 28"},
      {R"({"media":{"inner":[{"URN":"u"})", "EOF while parsing a list at line 1 column 30"},
      {R"({"media":{"inner":[{"Bloc":1}]}})", "unknown variant `Bloc`, expected one of `Block`, `Path`, `URN`, `None` at line 1 column 26"},
      {R"({"media":{"inner":[null]}})", "expected value at line 1 column 20"},
      {R"({"media":{"inner":[[]]}})", "expected value at line 1 column 20"},
      {R"({"media":{"inner":[{"None":1}]}})", "invalid type: integer `1`, expected unit at line 1 column 28"},
      {R"({"media":{"inner":[{"None":nul}]}})", "expected ident at line 1 column 31"},
      {R"([null,"/b",[[{"Path":[["1"]]}]],"/r"])", "invalid type: string \"1\", expected u8 at line 1 column 26"},
      {R"([null,"/b",[[{"Path":[[1.0]]}]],"/r"])", "invalid type: floating point `1`, expected u8 at line 1 column 26"},
      {R"({"flags":nul)", "EOF while parsing a value at line 1 column 12"},
      {R"({"flags":1)", "invalid type: integer `1`, expected a string at line 1 column 10"},
  };
  for (const auto& r : rows) check(r);
}

// Running out of memory ends the process with the plug-in's message, as every
// other allocation failure does, rather than as a crash or an exception.
TEST(DecodeOptionsDeathTest, EndsTheProcessWhenMemoryRunsOut) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "address space limits do not mix with the sanitizer's shadow memory";
#else
  std::string deep = R"({"x":)";
  deep.append(50'000'000, '[');
  const auto run = [&] {
    // Room for what is mapped now and a little more; the skipper's stack of
    // 50 million brackets does not fit.
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (16u << 20);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
    static_cast<void>(decode_options(deep));
  };
  EXPECT_DEATH(run(), "lmfs: out of memory");
#endif
}

}  // namespace
}  // namespace lmfs::loomfs
