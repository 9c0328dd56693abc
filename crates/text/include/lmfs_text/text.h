// Text helpers shared by every layer: lossy UTF-8 decoding of byte strings and
// the host language's Debug conventions (quoted, escaped strings and the plain /
// alternate structured forms).
//
// Everything here works on values; nothing is kept between calls.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lmfs::text {

// `bytes` read as UTF-8 with every ill-formed sequence (each maximal invalid
// prefix) replaced by U+FFFD.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

// True when `bytes` is well-formed UTF-8.
[[nodiscard]] bool is_utf8(std::string_view bytes);

// Appends the escaped form of one code point, as the Debug form of a string
// writes it (\n, \t, \r, \0, \\, \", \u{..} for unprintable and combining
// characters, the character itself otherwise).
void append_escaped_char(std::string& out, char32_t c, bool escape_single_quote);

// Outside text (a device or folder name) as it may stand in a line the
// plug-in writes to standard error: `bytes` read as lossy_utf8, with every
// control character (U+0000 to U+001F, U+007F to U+009F) escaped as the
// Debug form writes it (\n, \t, \u{1b}), so that no name can end the line,
// forge another or drive a terminal. Text without control characters comes
// back as lossy_utf8 gives it.
[[nodiscard]] std::string printable(std::string_view bytes);

// Debug form of a UTF-8 text: the text in double quotes with escapes.
[[nodiscard]] std::string debug_str(std::string_view utf8);

// Debug form of a path or OS string (any bytes): valid UTF-8 runs escaped as
// text, every byte of an invalid sequence written as \xNN.
[[nodiscard]] std::string debug_os_str(std::string_view bytes);

// Builders for the structured Debug forms. The plain form is one line
// (`Name { a: 1, b: 2 }`, `Name(x)`, `[a, b]`); the alternate form puts every
// field or element on a line of its own, indented by four blanks per level,
// each followed by a comma. Children are rendered by the caller in the same
// form and passed in as text.
using Field = std::pair<std::string_view, std::string>;

[[nodiscard]] std::string debug_struct(bool alternate, std::string_view name,
                                       const std::vector<Field>& fields);
[[nodiscard]] std::string debug_tuple(bool alternate, std::string_view name,
                                      const std::vector<std::string>& items);
[[nodiscard]] std::string debug_list(bool alternate, const std::vector<std::string>& items);
// `{a, b}`, and `{k: v, ...}` with keys and values rendered by the caller.
[[nodiscard]] std::string debug_set(bool alternate, const std::vector<std::string>& items);
[[nodiscard]] std::string debug_map(bool alternate, const std::vector<std::pair<std::string, std::string>>& entries);

// `None` or `Some(<inner>)`.
[[nodiscard]] std::string debug_option(bool alternate, const std::string* inner);

// A JSON string literal of UTF-8 text: quotes, backslashes and control
// characters escaped (\n, \r, \t by name, the rest as \u00XX).
[[nodiscard]] std::string json_string(std::string_view utf8);

}  // namespace lmfs::text
