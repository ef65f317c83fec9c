// Numbers of ASCII STL: the accepted syntax and the rounding to f32.
//
// Syntax (the whole word): an optional sign, then either the words inf, infinity or nan in
// any case, or digits with an optional "." and more digits (at least one digit in all) and
// an optional exponent ("e"/"E", optional sign, at least one digit). The value is the exact
// decimal rounded to nearest f32, ties to even, whatever the number of digits: overflow
// gives an infinity, underflow a subnormal or a zero that keeps the sign.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "stl/white_space.h"

namespace quarvex::stl {

// Clinger's fast path: m * 10^scale correctly rounded, for mantissa <= 2^24 and
// -10 <= scale <= 10, where both factors are exact in single precision.
constexpr bool fits_fast_path(std::uint64_t mantissa, std::int64_t scale) noexcept {
  return mantissa <= (std::uint64_t{1} << 24) && scale >= -10 && scale <= 10;
}

inline float fast_path_value(std::uint64_t mantissa, std::int64_t scale) noexcept {
  static constexpr float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  const float m = static_cast<float>(mantissa);  // exact: at most 2^24
  return scale >= 0 ? m * kPowers[scale] : m / kPowers[-scale];
}

// The same in double precision, for the longer words of %.9g (which writes every float back
// exactly) and of doubles written out: stores |m * 10^scale| rounded to f32 and returns true
// for m of at most 19 digits and |scale| <= 22, unless the value lies too near a point
// halfway between two floats for double precision to tell its side; then returns false and
// stores nothing.
bool double_path_value(std::uint64_t mantissa, std::int64_t scale, float& magnitude) noexcept;

// |m * 10^scale| rounded to f32 for m of at most 19 digits, by the fast path or else the
// double path: what both number readers do before any exact conversion. False (storing
// nothing) where only an exact conversion can tell.
inline bool round_short(std::uint64_t mantissa, std::int64_t scale, float& magnitude) noexcept {
  if (fits_fast_path(mantissa, scale)) [[likely]] {
    magnitude = fast_path_value(mantissa, scale);
    return true;
  }
  return double_path_value(mantissa, scale, magnitude);
}

// Bytes of text that read_usual_f32 may look at from the word's start.
inline constexpr std::ptrdiff_t kUsualNumberReach = 40;

// The usual number word at p, inline for the hot loops: at most 8 digits before the point and
// 18 after it (19 in all), at most 3 exponent digits (so at most 33 bytes), ASCII white space
// after it, a value on the fast or the double path. Needs kUsualNumberReach bytes of text from
// p. Stores the value and returns the word's end, exactly as read_f32_word would; returns
// nullptr for any other word.
[[gnu::always_inline]] inline const char* read_usual_f32(const char* p, float& value) noexcept {
  auto digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
  // Signs are taken without branches: in a mesh they follow no pattern a predictor could learn.
  const bool negative = *p == '-';
  p += (*p == '-') | (*p == '+');
  std::uint64_t mantissa = 0;
  int int_digits = 0, frac_digits = 0;
  for (; int_digits < 8 && digit(*p); ++int_digits) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  if (*p == '.') {
    ++p;
    // In two loops, so that the compiler unrolls the first, which nearly every number ends in.
    for (; frac_digits < 15 && digit(*p); ++frac_digits) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    if (frac_digits == 15) [[unlikely]] {
      for (; frac_digits < 18 && digit(*p); ++frac_digits) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    }
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
  value = std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | std::uint32_t{negative} << 31);
  return p;
}

// Returns false when `word` is outside the syntax; otherwise stores its value (which may be
// infinite or NaN).
bool parse_f32(std::string_view word, float& value);

// The word that starts at p (not at white space) and runs to the next white space or `end`,
// read as a number in the same pass that finds its end: returns the word's end, and whether
// the word is a number (then `value` holds it), exactly as parse_f32 of the word would.
const char* read_f32_word(const char* p, const char* end, bool& valid, float& value);

// "expected finite f32, got <NaN|inf|-inf> which is <Nan|Infinite>" for a non-finite value.
std::string non_finite_message(float value);

}  // namespace quarvex::stl
