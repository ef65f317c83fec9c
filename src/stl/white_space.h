// White space of ASCII STL text: the one classifier behind every word split.
//
// White space is exactly the Unicode White_Space set: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000, in valid UTF-8.
// The line feed is white space too, but it also ends a line: skip_space stops at it, so a
// scan over text that holds many lines never runs into the next one.
//
// The scans look at eight bytes at a time with plain 64-bit arithmetic (the same code and
// the same results on every processor); each byte that may begin white space is then checked
// exactly. Bytes are compared as unsigned values whatever the signedness of char.
#pragma once

#include <cstddef>

namespace quarvex::stl {

// U+0009..U+000D and U+0020, line feed included.
constexpr bool is_ascii_space(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return b == 0x20 || (b >= 0x09 && b <= 0x0D);
}

// The first byte in [p, end) that is not white space, or the first line feed, or `end`.
const char* skip_space(const char* p, const char* end) noexcept;

// The end of the word that starts at p: the first white space byte (a line feed included) in
// [p, end), or `end`.
const char* word_end(const char* p, const char* end) noexcept;

}  // namespace quarvex::stl
