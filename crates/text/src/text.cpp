#include "lmfs_text/text.h"

#include <cstdint>
#include <cstdio>

#include "unicode_tables.h"

namespace lmfs::text {
namespace {

// Length of the well-formed UTF-8 sequence at `s[i]`, or 0 with `*bad` set to
// the length of the maximal invalid prefix (at least 1).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t* bad, char32_t* cp) {
  const auto b = [&](std::size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
  const unsigned b0 = b(i);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  std::size_t need = 0;
  unsigned lo = 0x80, hi = 0xBF;
  char32_t value = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    value = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    *bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) {
      *bad = k;
      return 0;
    }
    const unsigned c = b(i + k);
    const unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (c < l || c > h) {
      *bad = k;
      return 0;
    }
    value = (value << 6) | (c & 0x3F);
  }
  *cp = value;
  return need + 1;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Calls `on_char(cp)` for each well-formed character and `on_bad(bytes)` for
// each maximal invalid sequence.
template <class OnChar, class OnBad>
void walk_utf8(std::string_view s, OnChar on_char, OnBad on_bad) {
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t bad = 0;
    char32_t cp = 0;
    const std::size_t n = utf8_sequence(s, i, &bad, &cp);
    if (n != 0) {
      on_char(cp);
      i += n;
    } else {
      on_bad(s.substr(i, bad));
      i += bad;
    }
  }
}

// Indents every line after the first by four blanks (the alternate form's
// nesting).
std::string indent(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 16);
  for (char c : s) {
    out.push_back(c);
    if (c == '\n') out.append("    ");
  }
  return out;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  walk_utf8(
      bytes, [&](char32_t c) { append_utf8(out, c); },
      [&](std::string_view) { out.append("\xEF\xBF\xBD"); });
  return out;
}

bool is_utf8(std::string_view bytes) {
  bool ok = true;
  walk_utf8(bytes, [](char32_t) {}, [&](std::string_view) { ok = false; });
  return ok;
}

void append_escaped_char(std::string& out, char32_t c, bool escape_single_quote) {
  switch (c) {
    case U'\0': out.append("\\0"); return;
    case U'\t': out.append("\\t"); return;
    case U'\r': out.append("\\r"); return;
    case U'\n': out.append("\\n"); return;
    case U'\\': out.append("\\\\"); return;
    case U'"': out.append("\\\""); return;
    case U'\'':
      out.append(escape_single_quote ? "\\'" : "'");
      return;
    default: break;
  }
  if (unicode::is_grapheme_extend(c) || !unicode::is_printable(c)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
    out.append(buf);
    return;
  }
  append_utf8(out, c);
}

std::string printable(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  walk_utf8(
      bytes,
      [&](char32_t c) {
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
          append_escaped_char(out, c, false);
        } else {
          append_utf8(out, c);
        }
      },
      [&](std::string_view) { out.append("\xEF\xBF\xBD"); });
  return out;
}

std::string debug_str(std::string_view utf8) {
  std::string out = "\"";
  walk_utf8(
      utf8, [&](char32_t c) { append_escaped_char(out, c, false); },
      [&](std::string_view) { out.append("\xEF\xBF\xBD"); });
  out.push_back('"');
  return out;
}

std::string debug_os_str(std::string_view bytes) {
  std::string out = "\"";
  walk_utf8(
      bytes, [&](char32_t c) { append_escaped_char(out, c, true); },
      [&](std::string_view bad) {
        for (unsigned char b : bad) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", b);
          out.append(buf);
        }
      });
  out.push_back('"');
  return out;
}

std::string debug_struct(bool alternate, std::string_view name, const std::vector<Field>& fields) {
  std::string out(name);
  if (fields.empty()) return out;
  if (alternate) {
    out.append(" {\n");
    for (const auto& [key, value] : fields) {
      out.append("    ").append(key).append(": ").append(indent(value)).append(",\n");
    }
    out.append("}");
  } else {
    out.append(" { ");
    bool first = true;
    for (const auto& [key, value] : fields) {
      if (!first) out.append(", ");
      first = false;
      out.append(key).append(": ").append(value);
    }
    out.append(" }");
  }
  return out;
}

std::string debug_tuple(bool alternate, std::string_view name, const std::vector<std::string>& items) {
  std::string out(name);
  if (items.empty()) return out;
  if (alternate) {
    out.append("(\n");
    for (const auto& item : items) out.append("    ").append(indent(item)).append(",\n");
    out.append(")");
  } else {
    out.append("(");
    bool first = true;
    for (const auto& item : items) {
      if (!first) out.append(", ");
      first = false;
      out.append(item);
    }
    out.append(")");
  }
  return out;
}

namespace {

// A list, set or map: its items between `open` and `close`.
std::string debug_sequence(bool alternate, char open, char close, const std::vector<std::string>& items) {
  std::string out(1, open);
  if (items.empty()) return out + close;
  if (alternate) {
    out.append("\n");
    for (const auto& item : items) out.append("    ").append(indent(item)).append(",\n");
  } else {
    bool first = true;
    for (const auto& item : items) {
      if (!first) out.append(", ");
      first = false;
      out.append(item);
    }
  }
  return out + close;
}

}  // namespace

std::string debug_list(bool alternate, const std::vector<std::string>& items) {
  return debug_sequence(alternate, '[', ']', items);
}

std::string debug_set(bool alternate, const std::vector<std::string>& items) {
  return debug_sequence(alternate, '{', '}', items);
}

std::string debug_map(bool alternate, const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<std::string> items;
  items.reserve(entries.size());
  for (const auto& [key, value] : entries) items.push_back(key + ": " + value);
  return debug_sequence(alternate, '{', '}', items);
}

std::string debug_option(bool alternate, const std::string* inner) {
  if (inner == nullptr) return "None";
  return debug_tuple(alternate, "Some", {*inner});
}

std::string json_string(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

}  // namespace lmfs::text
