// Any bytes as one word: parse_f32 accepts exactly the number syntax (written here again
// from the format) and then gives strtof's value, which glibc rounds correctly. The same
// bytes as running text: the word at their start ends at the first White_Space character,
// and read_f32_word, which finds that end while reading the digits, agrees with parse_f32
// of the word, near the end of the text and far from it.
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "stl/float_syntax.h"
#include "stl/white_space.h"

namespace qs = quarvex::stl;
using quarvex::fuzz::check;

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// The syntax: sign, then inf / infinity / nan in any case, or digits with an optional point
// and more digits (one digit at least) and an optional exponent with at least one digit.
bool in_syntax(std::string_view w) {
  std::size_t i = 0;
  if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
  std::string rest(w.substr(i));
  for (char& c : rest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (rest == "inf" || rest == "infinity" || rest == "nan") return true;
  std::size_t digits = 0;
  while (i < w.size() && digit(w[i])) ++i, ++digits;
  if (i < w.size() && w[i] == '.') {
    ++i;
    while (i < w.size() && digit(w[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < w.size() && (w[i] == 'e' || w[i] == 'E')) {
    ++i;
    if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
    if (i == w.size() || !digit(w[i])) return false;
    while (i < w.size() && digit(w[i])) ++i;
  }
  return i == w.size();
}

bool same(float a, float b) {
  return std::isnan(a) ? std::isnan(b) : std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

bool white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Where the first White_Space character of valid UTF-8 begins, or its size.
std::size_t first_white_space(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (white_space(cp)) return i;
    i += n;
  }
  return s.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view word(reinterpret_cast<const char*>(data), size);
  float value = 0.0f;
  const qs::NumberKind kind = qs::parse_f32(word, value);
  const bool accepted = kind != qs::NumberKind::kNone;
  check(accepted == in_syntax(word), "accepted words differ from the syntax");
  check(!accepted || (kind == qs::NumberKind::kFinite) == std::isfinite(value), "kind and value disagree on finiteness");
  if (accepted) {
    const std::string text(word);  // in the syntax: no NUL inside
    check(same(value, std::strtof(text.c_str(), nullptr)), "value differs from strtof");
  }

  const char* const begin = word.data();
  const char* const end = begin + size;
  if (size == 0 || *begin == '\n' || qs::skip_space(begin, end) != begin) return 0;  // a word starts here
  qs::NumberKind read_kind = qs::NumberKind::kNone;
  float read = 0.0f;
  const char* const stop = qs::read_f32_word(begin, end, read_kind, read);
  check(stop == qs::word_end(begin, end), "read_f32_word and word_end disagree on the end");
  if (quarvex::fuzz::valid_utf8(word)) check(stop == begin + first_white_space(word), "word end is not the first white space");
  float whole = 0.0f;
  check(read_kind == qs::parse_f32(std::string_view(begin, static_cast<std::size_t>(stop - begin)), whole), "read_f32_word accepts differently");
  const bool valid = read_kind != qs::NumberKind::kNone;
  check(!valid || same(read, whole), "read_f32_word reads another value");

  // Far from the end of the text, where a usual word is read without end checks: the same word.
  const std::string padded = std::string(word) + std::string(40, ' ');
  qs::NumberKind padded_kind = qs::NumberKind::kNone;
  float padded_read = 0.0f;
  const char* const padded_stop = qs::read_f32_word(padded.data(), padded.data() + padded.size(), padded_kind, padded_read);
  check(padded_stop - padded.data() == stop - begin && padded_kind == read_kind, "read_f32_word ends differently far from the end");
  check(!valid || same(padded_read, read), "read_f32_word reads another value far from the end");
  return 0;
}
