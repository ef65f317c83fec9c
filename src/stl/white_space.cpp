// Eight bytes are loaded into one 64-bit word and classified together: in each mask below,
// the top bit of byte k is set exactly when byte k has the property (no carry or borrow
// crosses from one byte into the next), and the lowest such byte in memory order is the
// first one in the text.
#include "stl/white_space.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace quarvex::stl {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHigh = 0x8080808080808080ull;

std::uint64_t load8(const char* p) noexcept {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

// Bytes below n, for 1 <= n <= 0x80: with the top bit forced on, subtracting n borrows
// from no neighbour, and leaves the top bit set where the low seven bits are at least n.
constexpr std::uint64_t below(std::uint64_t x, unsigned n) noexcept {
  return ~(((x | kHigh) - n * kOnes) | x) & kHigh;
}

// Bytes at least m, for 0x80 <= m <= 0xFF: the low seven bits plus 0x100 - m carry into
// the top bit where they are at least m - 0x80 (and never out of the byte).
constexpr std::uint64_t at_least(std::uint64_t x, unsigned m) noexcept {
  return ((x & ~kHigh) + (0x100 - m) * kOnes) & x & kHigh;
}

// Bytes equal to c.
constexpr std::uint64_t equal(std::uint64_t x, unsigned c) noexcept {
  const std::uint64_t v = x ^ (c * kOnes);
  return ~(((v & ~kHigh) + ~kHigh) | v) & kHigh;
}

// U+0009..U+000D and U+0020.
constexpr std::uint64_t ascii_space(std::uint64_t x) noexcept {
  return (below(x, 0x0E) & ~below(x, 0x09)) | equal(x, 0x20);
}

// Bytes that may begin white space: up to 0x20, or a lead byte from 0xC2 up (a superset of
// the lead bytes C2, E1, E2, E3 of the multi-byte white space characters).
constexpr std::uint64_t may_begin_space(std::uint64_t x) noexcept {
  return below(x, 0x21) | at_least(x, 0xC2);
}

static_assert(ascii_space(0x2021'0D0E'0A09'0820ull) == 0x8000'8000'8080'0080ull);
static_assert(may_begin_space(0x21'20'C1'C2'FF'80'00'41ull) == 0x00'80'00'80'80'00'80'00ull);

std::size_t first_byte(std::uint64_t mask) noexcept {
  return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
}

// Length of the multi-byte white space character at p, or 0 if none starts there.
std::size_t multibyte_space_length(const char* p, const char* end) noexcept {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  const std::size_t n = static_cast<std::size_t>(end - p);
  if (b[0] == 0xC2) return (n >= 2 && (b[1] == 0x85 || b[1] == 0xA0)) ? 2 : 0;
  if (n < 3) return 0;
  switch (b[0]) {
    case 0xE1:
      return (b[1] == 0x9A && b[2] == 0x80) ? 3 : 0;
    case 0xE2:
      if (b[1] == 0x80) return ((b[2] >= 0x80 && b[2] <= 0x8A) || b[2] == 0xA8 || b[2] == 0xA9 || b[2] == 0xAF) ? 3 : 0;
      return (b[1] == 0x81 && b[2] == 0x9F) ? 3 : 0;
    case 0xE3:
      return (b[1] == 0x80 && b[2] == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

}  // namespace

const char* skip_space(const char* p, const char* end) noexcept {
  auto blank = [](char c) { return is_ascii_space(c) && c != '\n'; };
  for (;;) {
    // Most runs are a blank or two: look at the bytes themselves before loading blocks.
    if (p != end && blank(*p) && ++p != end && blank(*p) && ++p != end && blank(*p)) {
      while (end - p >= 8) {
        const std::uint64_t x = load8(p);
        const std::uint64_t stop = (~ascii_space(x) & kHigh) | equal(x, '\n');
        if (stop != 0) {
          p += first_byte(stop);
          break;
        }
        p += 8;
      }
      while (p != end && blank(*p)) ++p;
    }
    if (p == end || static_cast<unsigned char>(*p) < 0xC2) return p;
    const std::size_t n = multibyte_space_length(p, end);
    if (n == 0) return p;
    p += n;
  }
}

const char* word_end(const char* p, const char* end) noexcept {
  for (;;) {
    while (end - p >= 8) {
      const std::uint64_t candidates = may_begin_space(load8(p));
      if (candidates != 0) {
        p += first_byte(candidates);
        break;
      }
      p += 8;
    }
    if (end - p < 8) {
      while (p != end && static_cast<unsigned char>(*p) > 0x20 && static_cast<unsigned char>(*p) < 0xC2) ++p;
    }
    if (p == end || is_ascii_space(*p)) return p;
    if (static_cast<unsigned char>(*p) >= 0xC2 && multibyte_space_length(p, end) != 0) return p;
    ++p;  // a control character or a lead byte of something else: part of the word
  }
}

}  // namespace quarvex::stl
