// Words of a line and their rendering in error messages.
//
// Words are the maximal runs of characters outside the Unicode White_Space set, as
// white_space.h classifies them. Splitting works in place: the words are views into the
// line, so a line of millions of words costs no memory beyond itself. A message that lists
// all words of a line splits it while rendering, into a string allocated once at its final
// length.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "stl/white_space.h"

namespace quarvex::stl {

// Calls visit(word) for each word of `line` (valid UTF-8, no line feed), in order, by the
// one split of a line (white_space.h's split_line).
template <class Visit>
void for_each_word(std::string_view line, Visit visit) {
  const char* const end = line.data() + line.size();
  split_line(line.data(), end, [&](const char*& q) {
    const char* const start = q;
    q = word_end(q, end);
    visit(std::string_view(start, static_cast<std::size_t>(q - start)));
    return true;
  });
}

// ["w1", "w2", ...]: each word quoted, with quote, backslash, NUL, tab, LF and CR escaped
// by a backslash and every other non-printable or grapheme-extending character as \u{hex}.
std::string word_list_text(std::span<const std::string_view> words);

// `before` followed by the word_list_text of all words of `line`.
std::string line_words_message(std::string_view before, std::string_view line);

}  // namespace quarvex::stl
