#include "stl/word_list.h"

#include "stl/white_space.h"
#include "support/unicode_tables.h"
#include "support/utf8.h"

namespace quarvex::stl {
namespace {

// Writes the escaped form of `word` to `out`, which has push(char) and append(p, n); the
// same code counts the length (Measure) and writes the text (std::string).
template <class Out>
void escape_word(Out& out, std::string_view word) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t i = 0;
  while (i < word.size()) {
    const std::size_t start = i;
    const char32_t cp = decode_utf8(word, i);
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

// The list rendering of the words that each_word(visit) visits.
template <class Out, class EachWord>
void render_list(Out& out, EachWord each_word) {
  out.push_back('[');
  bool first = true;
  each_word([&](std::string_view word) {
    if (!first) out.append(", ", 2);
    first = false;
    out.push_back('"');
    escape_word(out, word);
    out.push_back('"');
  });
  out.push_back(']');
}

}  // namespace

std::string word_list_text(std::span<const std::string_view> words) {
  std::string out;
  render_list(out, [&](auto visit) {
    for (std::string_view word : words) visit(word);
  });
  return out;
}

std::string line_words_message(std::string_view before, std::string_view line) {
  auto words_of_line = [&](auto visit) { for_each_word(line, visit); };
  Measure measure;
  render_list(measure, words_of_line);
  std::string out;
  out.reserve(before.size() + measure.size);
  out.append(before);
  render_list(out, words_of_line);
  return out;
}

}  // namespace quarvex::stl
