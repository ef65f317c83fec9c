#include "stl/word_list.h"

#include "stl/white_space.h"
#include "support/unicode_tables.h"

namespace quarvex::stl {
namespace {

// Decodes one character of valid UTF-8 at s[i], advancing i. A stray byte (never produced
// by the reader, which validates every line) decodes as U+FFFD.
char32_t decode(std::string_view s, std::size_t& i) noexcept {
  const auto c = static_cast<unsigned char>(s[i++]);
  if (c < 0x80) return c;
  std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (extra == 0 || i + extra > s.size()) return 0xFFFD;
  char32_t cp = c & (0x3F >> extra);
  for (; extra > 0; --extra) cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  return cp;
}

// Writes the escaped form of `word` to `out`, which has push(char) and append(p, n); the
// same code counts the length (Measure) and writes the text (std::string).
template <class Out>
void escape_word(Out& out, std::string_view word) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t i = 0;
  while (i < word.size()) {
    const std::size_t start = i;
    const char32_t cp = decode(word, i);
    switch (cp) {
      case U'"': out.append("\\\"", 2); continue;
      case U'\\': out.append("\\\\", 2); continue;
      case U'\0': out.append("\\0", 2); continue;
      case U'\t': out.append("\\t", 2); continue;
      case U'\n': out.append("\\n", 2); continue;
      case U'\r': out.append("\\r", 2); continue;
      default: break;
    }
    if (is_printable(cp) && !is_grapheme_extend(cp)) {
      if (cp == 0xFFFD && i - start != 3) {
        out.append("\xEF\xBF\xBD", 3);
      } else {
        out.append(word.data() + start, i - start);
      }
      continue;
    }
    out.append("\\u{", 3);
    int shift = 20;
    while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
    out.push_back('}');
  }
}

// Counts what escape_word and the list rendering would write.
struct Measure {
  std::size_t size = 0;
  void append(const char*, std::size_t n) noexcept { size += n; }
  void push_back(char) noexcept { ++size; }
};

// The list rendering of the words `next()` yields until it yields an empty view.
template <class Out, class NextWord>
void render_list(Out& out, NextWord next) {
  out.push_back('[');
  bool first = true;
  for (std::string_view word = next(); !word.empty(); word = next()) {
    if (!first) out.append(", ", 2);
    first = false;
    out.push_back('"');
    escape_word(out, word);
    out.push_back('"');
  }
  out.push_back(']');
}

}  // namespace

std::string_view next_word(std::string_view line, std::size_t& pos) noexcept {
  const char* const end = line.data() + line.size();
  const char* p = line.data() + pos;
  // A line feed (which a reader's line never holds) separates words like any white space.
  for (p = skip_space(p, end); p != end && *p == '\n'; p = skip_space(p + 1, end)) {
  }
  const char* const stop = p == end ? p : word_end(p, end);
  pos = static_cast<std::size_t>(stop - line.data());
  return std::string_view(p, static_cast<std::size_t>(stop - p));
}

std::string word_list_text(std::span<const std::string_view> words) {
  std::string out;
  render_list(out, [&, k = std::size_t{0}]() mutable {
    return k < words.size() ? words[k++] : std::string_view();
  });
  return out;
}

std::string line_words_message(std::string_view before, std::string_view line) {
  auto words_of_line = [&, pos = std::size_t{0}]() mutable { return next_word(line, pos); };
  Measure measure;
  render_list(measure, words_of_line);
  std::string out;
  out.reserve(before.size() + measure.size);
  out.append(before);
  render_list(out, words_of_line);
  return out;
}

}  // namespace quarvex::stl
