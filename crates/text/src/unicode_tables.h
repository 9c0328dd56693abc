// Character classes used by the Debug escaping of strings.
#pragma once

namespace lmfs::text::unicode {

// Characters the Debug form writes as \u{..}: everything in the categories
// Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs except the blank.
[[nodiscard]] bool is_printable(char32_t c);

// The Grapheme_Extend property (combining marks and the like).
[[nodiscard]] bool is_grapheme_extend(char32_t c);

}  // namespace lmfs::text::unicode
