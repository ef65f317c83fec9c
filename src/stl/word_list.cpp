#include "stl/word_list.h"

#include <array>
#include <cstdint>

#include "support/unicode_tables.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quarvex::stl {
namespace {

// 1: ASCII white space; 2: a lead byte that may start a multi-byte white space character
// (C2: U+0085, U+00A0; E1: U+1680; E2: U+2000..U+205F; E3: U+3000); 0: part of a word.
constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0x09; c <= 0x0D; ++c) t[c] = 1;
  t[0x20] = 1;
  t[0xC2] = t[0xE1] = t[0xE2] = t[0xE3] = 2;
  return t;
}();

// Length of the white space character at p (n bytes left), or 0 if there is none.
std::size_t multibyte_space_length(const unsigned char* p, std::size_t n) noexcept {
  if (p[0] == 0xC2) return (n >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) ? 2 : 0;
  if (n < 3) return 0;
  const unsigned char b1 = p[1], b2 = p[2];
  switch (p[0]) {
    case 0xE1:
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      }
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
    case 0xE3:
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

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

// Position of the first byte at or after i that may begin white space (a byte up to 0x20,
// or a lead byte from 0xC2 up, a superset of the white-space lead bytes), or n.
std::size_t next_candidate(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
#ifdef __SSE2__
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i lead = _mm_set1_epi8(static_cast<char>(0xC2));
  for (; i + 16 <= n; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(b, space), b);   // b <= 0x20
    const __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(b, lead), b);   // b >= 0xC2
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, high)));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
#endif
  while (i < n && p[i] > 0x20 && p[i] < 0xC2) ++i;
  return i;
}

// Position of the first byte at or after i that is not ASCII white space, or n.
std::size_t skip_ascii_space(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
#ifdef __SSE2__
  const __m128i blank = _mm_set1_epi8(0x20);
  const __m128i tab = _mm_set1_epi8(0x09);
  const __m128i four = _mm_set1_epi8(0x04);
  for (; i + 16 <= n; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i is_blank = _mm_cmpeq_epi8(b, blank);
    const __m128i d = _mm_sub_epi8(b, tab);                                 // 0x09..0x0D -> 0..4
    const __m128i is_control = _mm_cmpeq_epi8(_mm_min_epu8(d, four), d);  // d <= 4
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(is_blank, is_control)));
    if (mask != 0xFFFF) return i + static_cast<std::size_t>(__builtin_ctz(~mask));
  }
#endif
  while (i < n && kByteClass[p[i]] == 1) ++i;
  return i;
}

}  // namespace

std::string_view next_word(std::string_view line, std::size_t& pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  const std::size_t n = line.size();
  // Length of the white space character at i, or 0 when a word character starts there.
  auto space_at = [&](std::size_t i) -> std::size_t {
    const std::uint8_t cls = kByteClass[p[i]];
    if (cls == 0) return 0;
    return cls == 1 ? 1 : multibyte_space_length(p + i, n - i);
  };
  std::size_t i = pos;
  while (i < n) {
    i = skip_ascii_space(p, i, n);
    if (i == n) break;
    const std::size_t space = space_at(i);
    if (space == 0) break;
    i += space;
  }
  if (i == n) {
    pos = n;
    return std::string_view();
  }
  const std::size_t start = i++;
  // The word runs to the next white space. Bytes that cannot start one are skipped in
  // blocks; each candidate is checked exactly. Continuation bytes never look like a
  // white-space lead byte, so stepping into a multi-byte character is safe.
  for (;;) {
    i = next_candidate(p, i, n);
    if (i == n || space_at(i) != 0) break;
    ++i;
  }
  pos = i;
  return line.substr(start, i - start);
}

std::size_t split_words(std::string_view line, std::span<std::string_view> words) noexcept {
  std::size_t count = 0, pos = 0;
  while (count < words.size()) {
    const std::string_view word = next_word(line, pos);
    if (word.empty()) break;
    words[count++] = word;
  }
  return count;
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
