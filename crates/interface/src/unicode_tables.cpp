// Provisional tables; replaced by generated ones.
#include "unicode_tables.h"

namespace lmfs::text::unicode {

bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
  if (c == 0xAD || (c >= 0x200B && c <= 0x200F) || c == 0x2028 || c == 0x2029) return false;
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  return c <= 0x10FFFF;
}

bool is_grapheme_extend(char32_t c) {
  return (c >= 0x300 && c <= 0x36F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x20D0 && c <= 0x20FF) ||
         (c >= 0xFE20 && c <= 0xFE2F);
}

}  // namespace lmfs::text::unicode
