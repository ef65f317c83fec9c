// Numbers of ASCII STL: the accepted syntax and the rounding to f32.
//
// Syntax (the whole word): an optional sign, then either the words inf, infinity or nan in
// any case, or digits with an optional "." and more digits (at least one digit in all) and
// an optional exponent ("e"/"E", optional sign, at least one digit). The value is the exact
// decimal rounded to nearest f32, ties to even, whatever the number of digits: overflow
// gives an infinity, underflow a subnormal or a zero that keeps the sign. A mesh takes only
// finite numbers; every reader of a word learns which it got from the NumberKind the chain
// below hands back, never by a test of its own.
//
// The one chain every number word ends in. A word is scanned by the inline scanner where it
// may be (far enough from the end of the text), and by the full one where the inline one
// cannot take it (from its start again, an unusual word's extra cost), then rounded by the
// first tier that can decide; only the last tier can give a value that is not finite, and
// that is where the kind is set.
//
// Gains are against the row's absence, on the 300k-facet benchmark files read by one thread.
//
//   scanner                       words it takes                    measured gain
//   read_e_shape (inside          printf's %e: d.dddddde+dd, ASCII   the %e file: 668 -> 460 M
//   read_usual_f32)               space after it, exponent -4..16    instructions a parse, CPU
//                                                                    0.055 -> 0.041 s (2 threads)
//   read_usual_f32 (inline, no    <= 8 integer and <= 18 fraction    the %e file: 1.59 -> 1.14
//   end checks, kUsualNumberReach digits, <= 3 exponent digits,      G instructions, 0.112 ->
//   bytes from the word)          ASCII space after it, a value      0.094 s; fraction digits
//                                 tiers 1-2 decide; else nothing     eight at a time: the %.9g
//                                                                    call 56.4 -> 53.9 ms
//   scan_decimal (float_syntax.   every other word, and every word   (the reference)
//   cpp, end-checked)             near the end of the text
//
//   tier                          words it decides                   measured gain
//   1 fast_path_value (f32)       m <= 2^24, |scale| <= 10: %e, %g,  the %e file, whole call:
//                                 %f of floats (7-8 digits)          955 -> 877 M instructions
//                                                                    (against tier 2 alone)
//   2 double_path_value (f64)     m < 10^19, |scale| <= 22, the      %.9g 0.216 -> 0.089 s,
//                                 double not halfway between two     %.17g 0.299 -> 0.129 s,
//                                 floats and its float finite        %.18e 0.324 -> 0.122 s
//   3 exact_value (from_chars)    everything else, overflow and      (the reference)
//                                 underflow included
//   inf, infinity, nan            the words themselves               -
//
// Tiers 1 and 2 only ever store finite values (round_short's contract), so a shortcut that
// takes what they store keeps the finiteness rule without checking it; a word they cannot
// decide goes on to tier 3 through the end-checked scanner.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "stl/white_space.h"

namespace quarvex::stl {

// What reading a word gave.
enum class NumberKind : std::uint8_t {
  kNone,       // not a number
  kFinite,     // a number, finite
  kNonFinite,  // a number that is infinite or NaN: the grammar rejects it
};

// Clinger's fast path: m * 10^scale correctly rounded, for mantissa <= 2^24 and
// -10 <= scale <= 10, where both factors are exact in single precision. Always finite.
constexpr bool fits_fast_path(std::uint64_t mantissa, std::int64_t scale) noexcept {
  return mantissa <= (std::uint64_t{1} << 24) && scale >= -10 && scale <= 10;
}

static_assert(16777216.0 * 1e10 < std::numeric_limits<float>::max(), "the fast path cannot overflow");

inline float fast_path_value(std::uint64_t mantissa, std::int64_t scale) noexcept {
  static constexpr float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  const float m = static_cast<float>(mantissa);  // exact: at most 2^24
  return scale >= 0 ? m * kPowers[scale] : m / kPowers[-scale];
}

// The same in double precision, for the longer words of %.9g (which writes every float back
// exactly) and of doubles written out: stores |m * 10^scale| rounded to f32 and returns true
// for m of at most 19 digits and |scale| <= 22, unless the value lies too near a point
// halfway between two floats for double precision to tell its side, or rounds to infinity;
// then returns false and stores nothing.
bool double_path_value(std::uint64_t mantissa, std::int64_t scale, float& magnitude) noexcept;

// |m * 10^scale| rounded to f32 for m of at most 19 digits, by the fast path or else the
// double path: what both scanners do before any exact conversion. Stores only finite values;
// false (storing nothing) where only an exact conversion can tell, overflow included.
inline bool round_short(std::uint64_t mantissa, std::int64_t scale, float& magnitude) noexcept {
  if (fits_fast_path(mantissa, scale)) [[likely]] {
    magnitude = fast_path_value(mantissa, scale);
    return true;
  }
  return double_path_value(mantissa, scale, magnitude);
}

// Bytes of text that read_usual_f32 may look at from the word's start.
inline constexpr std::ptrdiff_t kUsualNumberReach = 40;

// The bytes of x from 10 up (and from 0x80 up), each marked by its top bit. No lane carries
// into the next unless its own top bit is already set, so the lowest marked lane is exact and
// no mark at all means every byte is below 10.
constexpr std::uint64_t lanes_from_ten(std::uint64_t x) noexcept {
  return (x | (x + 0x7676767676767676u)) & 0x8080808080808080u;
}

// Eight decimal digit values (0..9), one a byte, lane 0 the most significant, as one number:
// pairs, then quads, then the eight, in three multiplications.
constexpr std::uint64_t eight_digits(std::uint64_t v) noexcept {
  v = v * 10 + (v >> 8);
  return ((v & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32)) +
          ((v >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32))) >> 32;
}

// The digits that eight bytes of text (as load8 reads them) begin with: how many (0 to 8) and
// their value. Less '0' in every lane, a byte below '0' borrows and sets its lane's top bit,
// one above '9' is 10 or more; no lane below the first such one borrows, so the lowest mark
// is exact.
struct DigitRun {
  unsigned count;
  std::uint64_t value;
};

[[gnu::always_inline]] inline DigitRun digit_run(std::uint64_t text) noexcept {
  const std::uint64_t d = text - 0x3030303030303030u;
  const std::uint64_t stops = lanes_from_ten(d);
  const unsigned count = stops == 0 ? 8 : static_cast<unsigned>(std::countr_zero(stops)) / 8;
  // The digits moved up so that the last is in the top lane: the lanes below read as zeros.
  return {count, count == 0 ? 0 : eight_digits(d << (64 - 8 * count))};
}

inline constexpr std::uint64_t kTens[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// printf's %e word after its sign, d.dddddde+dd with ASCII white space after it, the way most
// programs write ASCII STL: recognised in two loads and converted without a loop, so that
// neither the value nor where the word ends waits on a branch per digit (in the loops below
// each number's end is a chain of them). Needs 16 bytes at p. Stores the magnitude and returns
// true when the fast path decides the value (exponents -4 to +16), which is then the value
// the loops below give; otherwise false, storing nothing.
inline constexpr std::ptrdiff_t kEShapeLength = 12;

[[gnu::always_inline]] inline bool read_e_shape(const char* p, float& magnitude) noexcept {
  const std::uint64_t tail = load8(p + 8);  // e+dd and the white space
  // The exponent's letter first, on its own: a file of other shapes then pays one test.
  if ((static_cast<unsigned>(tail & 0xFF) | 0x20) != 'e') return false;
  const std::uint64_t lead = load8(p) ^ 0x3030303030302E30u;  // d.dddddd: digits to 0..9, the point to 0
  const std::uint64_t exp_digits = (tail >> 16 & 0xFFFF) ^ 0x3030;
  const unsigned sign = static_cast<unsigned>(tail >> 8 & 0xFF);
  if (!(lanes_from_ten(lead) == 0 && (lead & 0xFF00) == 0 && lanes_from_ten(exp_digits) == 0 && (sign == '-' || sign == '+') &&
        is_ascii_space(static_cast<char>(tail >> 32 & 0xFF)))) {
    return false;
  }
  // The seven digits with the point's lane dropped: lane 0 empty (a leading zero), then d, dddddd.
  const std::uint64_t mantissa = eight_digits((lead & 0xFF) << 8 | (lead & ~std::uint64_t{0xFFFF}));
  const std::int64_t exponent = static_cast<std::int64_t>((exp_digits & 0xFF) * 10 + (exp_digits >> 8));
  const std::int64_t scale = (sign == '-' ? -exponent : exponent) - 6;
  if (!fits_fast_path(mantissa, scale)) return false;
  magnitude = fast_path_value(mantissa, scale);
  return true;
}
static_assert(1 + 16 <= kUsualNumberReach, "a sign and the two loads lie within the usual reach");

// The usual number word at p, inline for the hot loops: at most 8 digits before the point and
// 18 after it (19 in all), at most 3 exponent digits (so at most 33 bytes), ASCII white space
// after it, a value that round_short decides (so finite). Needs kUsualNumberReach bytes of
// text from p. Stores the value and returns the word's end, exactly as read_f32_word would
// with NumberKind::kFinite; returns nullptr for any other word.
[[gnu::always_inline]] inline const char* read_usual_f32(const char* p, float& value) noexcept {
  auto digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
  // Signs are taken without branches: in a mesh they follow no pattern a predictor could learn.
  const bool negative = *p == '-';
  p += (*p == '-') | (*p == '+');
  auto signed_value = [negative](float magnitude) {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | std::uint32_t{negative} << 31);
  };
  if (float magnitude; read_e_shape(p, magnitude)) {
    value = signed_value(magnitude);
    return p + kEShapeLength;
  }
  std::uint64_t mantissa = 0;
  int int_digits = 0, frac_digits = 0;
  for (; int_digits < 8 && digit(*p); ++int_digits) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  if (*p == '.') {
    ++p;
    // Eight digits at a time, which no fraction's length can make a predictor miss; the ninth
    // to sixteenth likewise, then one by one to the limit.
    for (int block = 0; block < 2; ++block) {
      const DigitRun run = digit_run(load8(p));
      mantissa = mantissa * kTens[run.count] + run.value;
      frac_digits += static_cast<int>(run.count);
      p += run.count;
      if (run.count != 8) break;
    }
    for (; frac_digits < 18 && digit(*p); ++frac_digits) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  }
  // No digit, or more than the mantissa holds. A digit past either limit fails the white
  // space test below.
  if (static_cast<unsigned>(int_digits + frac_digits - 1) >= 19) return nullptr;
  std::int64_t exponent = 0;
  if (*p == 'e' || *p == 'E') {
    ++p;
    const std::int64_t exp_negative = *p == '-';
    p += (*p == '-') | (*p == '+');
    int exp_digits = 0;
    for (; exp_digits < 3 && digit(*p); ++exp_digits) exponent = exponent * 10 + (*p++ - '0');
    if (exp_digits == 0) return nullptr;
    exponent = (exponent ^ -exp_negative) + exp_negative;
  }
  const std::int64_t scale = exponent - frac_digits;
  float magnitude;
  if (!is_ascii_space(*p) || !round_short(mantissa, scale, magnitude)) return nullptr;
  value = signed_value(magnitude);
  return p;
}

// What `word` is; stores its value unless kNone.
NumberKind parse_f32(std::string_view word, float& value);

// The word that starts at p (not at white space) and runs to the next white space or `end`,
// read as a number in the same pass that finds its end: returns the word's end and stores in
// `kind` (and `value`, unless kNone) exactly what parse_f32 of the word would.
const char* read_f32_word(const char* p, const char* end, NumberKind& kind, float& value);

// "expected finite f32, got <NaN|inf|-inf> which is <Nan|Infinite>" for a non-finite value.
std::string non_finite_message(float value);

}  // namespace quarvex::stl
