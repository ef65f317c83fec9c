// White space of ASCII STL text: the one classifier behind every word split.
//
// White space is exactly the Unicode White_Space set: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000, in valid UTF-8.
// The line feed is white space too, but it also ends a line: skip_space stops at it, so a
// scan over text that holds many lines never runs into the next one.
//
// The scans test a block of bytes at a time: sixteen with SSE2 on x86-64, eight in one
// 64-bit word of plain integer arithmetic elsewhere (aarch64 among others; on x86-64 SSE2
// measured about 9% faster over a whole ASCII file). Both give, for every byte of the block,
// exactly the same answer, so the first byte found is the same on every processor; each
// byte that may begin white space is then checked exactly. Bytes are compared as unsigned
// values whatever the signedness of char. Everything but the multi-byte check is inline,
// since every word of a file passes here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quarvex::stl {

// U+0009..U+000D and U+0020, line feed included.
constexpr bool is_ascii_space(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return b == 0x20 || (b >= 0x09 && b <= 0x0D);
}

// Whether white space may begin at c: a byte up to 0x20 (the ASCII white space among them),
// or a lead byte from 0xC2 up (a superset of the lead bytes C2, E1, E2, E3 of the multi-byte
// white space characters).
constexpr bool may_begin_space(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return b <= 0x20 || b >= 0xC2;
}

// Eight bytes of text as one word, the byte at the lowest address in the low lane on either
// byte order.
inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

// The length of the multi-byte white space character at p (a byte from 0xC2 up), or 0 if
// none begins there.
std::size_t multibyte_space_length(const char* p, const char* end) noexcept;

namespace space_block {

#ifdef __SSE2__

inline constexpr std::ptrdiff_t kSize = 16;
using Mask = unsigned;  // bit k for byte k

inline Mask mask_of(__m128i is) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(is)); }

// Bytes that are not U+0009..U+000D or U+0020, or that are a line feed.
inline Mask blank_ends(const char* p) noexcept {
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i d = _mm_sub_epi8(b, _mm_set1_epi8(0x09));  // 0x09..0x0D -> 0..4
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(4)), d);
  const __m128i space = _mm_or_si128(control, _mm_cmpeq_epi8(b, _mm_set1_epi8(0x20)));
  return (~mask_of(space) & 0xFFFFu) | mask_of(_mm_cmpeq_epi8(b, _mm_set1_epi8('\n')));
}

// Bytes up to 0x20, or from 0xC2 up.
inline Mask may_begin_space(const char* p) noexcept {
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(b, _mm_set1_epi8(0x20)), b);
  const __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(b, _mm_set1_epi8(static_cast<char>(0xC2))), b);
  return mask_of(_mm_or_si128(low, high));
}

inline std::size_t first(Mask m) noexcept { return static_cast<std::size_t>(std::countr_zero(m)); }

#else

// Eight bytes in one word, lane 0 the byte at the lowest address on either byte order. In
// each mask the top bit of lane k is set exactly when byte k has the property: no carry or
// borrow crosses from one lane into the next.
inline constexpr std::ptrdiff_t kSize = 8;
using Mask = std::uint64_t;
inline constexpr Mask kOnes = 0x0101010101010101ull;
inline constexpr Mask kHigh = 0x8080808080808080ull;

// Bytes below n, for 1 <= n <= 0x80: with the top bit forced on, subtracting n borrows from
// no neighbour and leaves the top bit set where the low seven bits are at least n.
constexpr Mask below(Mask x, unsigned n) noexcept { return ~(((x | kHigh) - n * kOnes) | x) & kHigh; }

// Bytes at least m, for 0x80 <= m <= 0xFF: the low seven bits plus 0x100 - m carry into the
// top bit where they are at least m - 0x80, and never out of the lane.
constexpr Mask at_least(Mask x, unsigned m) noexcept { return ((x & ~kHigh) + (0x100 - m) * kOnes) & x & kHigh; }

constexpr Mask equal(Mask x, unsigned c) noexcept {
  const Mask v = x ^ (c * kOnes);
  return ~(((v & ~kHigh) + ~kHigh) | v) & kHigh;
}

constexpr Mask blank_ends_of(Mask x) noexcept {
  const Mask space = (below(x, 0x0E) & ~below(x, 0x09)) | equal(x, 0x20);
  return (~space & kHigh) | equal(x, '\n');
}
constexpr Mask may_begin_space_of(Mask x) noexcept { return below(x, 0x21) | at_least(x, 0xC2); }

static_assert(blank_ends_of(0x2021'0D0E'0A09'0820ull) == 0x0080'0080'8000'8000ull);
static_assert(may_begin_space_of(0x21'20'C1'C2'FF'80'00'41ull) == 0x00'80'00'80'80'00'80'00ull);

inline Mask blank_ends(const char* p) noexcept { return blank_ends_of(load8(p)); }
inline Mask may_begin_space(const char* p) noexcept { return may_begin_space_of(load8(p)); }
inline std::size_t first(Mask m) noexcept { return static_cast<std::size_t>(std::countr_zero(m)) / 8; }

#endif

// The first byte flagged by `flags` in the whole blocks from p on, or where less than a block
// is left.
template <class Flags>
inline const char* find(const char* p, const char* end, Flags flags) noexcept {
  for (; end - p >= kSize; p += kSize) {
    const Mask m = flags(p);
    if (m != 0) return p + first(m);
  }
  return p;
}

}  // namespace space_block

// The first byte in [p, end) that is not white space, or the first line feed, or `end`.
inline const char* skip_space(const char* p, const char* end) noexcept {
  auto blank = [](char c) { return is_ascii_space(c) && c != '\n'; };
  for (;;) {
    // Most runs are a blank or two: look at the bytes themselves before loading blocks.
    if (p != end && blank(*p) && ++p != end && blank(*p) && ++p != end && blank(*p)) {
      p = space_block::find(p, end, space_block::blank_ends);
      while (p != end && blank(*p)) ++p;
    }
    if (p == end || static_cast<unsigned char>(*p) < 0xC2) return p;
    const std::size_t n = multibyte_space_length(p, end);
    if (n == 0) return p;
    p += n;
  }
}

// The end of the word that starts at p: the first white space byte (a line feed included) in
// [p, end), or `end`.
inline const char* word_end(const char* p, const char* end) noexcept {
  for (;;) {
    // Bytes that may begin white space: up to 0x20, or a lead byte from 0xC2 up.
    p = space_block::find(p, end, space_block::may_begin_space);
    while (p != end && !may_begin_space(*p)) ++p;
    if (p == end || is_ascii_space(*p)) return p;
    if (static_cast<unsigned char>(*p) >= 0xC2 && multibyte_space_length(p, end) != 0) return p;
    ++p;  // a control character or a lead byte of something else: part of the word
  }
}

// The one split of a line into words, for the grammar and for the messages: from p, skips
// the white space before each word and calls take(q) with q at the word's first byte; take
// moves q past the word (to its end, or wherever it stops reading) and returns whether to go
// on. Returns where the next line starts (past its line feed) or `end`, or, when take
// declines to go on, where take left q.
template <class Take>
inline const char* split_line(const char* p, const char* end, Take take) {
  for (;;) {
    p = skip_space(p, end);
    if (p == end) return p;
    if (*p == '\n') return p + 1;
    if (!take(p)) return p;
  }
}

}  // namespace quarvex::stl
