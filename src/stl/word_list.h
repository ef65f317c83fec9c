// Words of a line and their rendering in error messages.
//
// Words are the maximal runs of characters outside the Unicode White_Space set (U+0009..
// U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000). Splitting works in place: the words are views into the line.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarvex::stl {

// Replaces `words` by the words of `line`, which must be valid UTF-8.
void split_words(std::string_view line, std::vector<std::string_view>& words);

// ["w1", "w2", ...]: each word quoted, with quote, backslash, NUL, tab, LF and CR escaped
// by a backslash and every other non-printable or grapheme-extending character as \u{hex}.
std::string word_list_text(std::span<const std::string_view> words);

}  // namespace quarvex::stl
