// The syntax is checked here first: std::from_chars accepts forms the syntax rejects (its
// own inf/nan spellings, partial matches) and rejects a leading '+'.
//
// Most words in STL files have at most 7 significant digits and a small exponent (printf's
// %e and %g). Their value m * 10^e has both m (below 2^24) and 10^|e| (|e| <= 10) exact in
// single precision, so one single-precision multiplication or division of the two is the
// correctly rounded result (Clinger's fast path); only other words go to from_chars. On a
// checked word from_chars
// rounds correctly for any number of digits, but reports both overflow and underflow to
// zero as result_out_of_range without a value; the direction then follows from the decimal
// order of magnitude of the first non-zero digit.
#include "stl/float_syntax.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "fault.h"

namespace quarvex::stl {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view s, std::string_view lower) noexcept {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

bool parse_f32(std::string_view word, float& value) {
  const std::size_t n = word.size();
  std::size_t i = 0;
  bool negative = false;
  if (i < n && (word[i] == '+' || word[i] == '-')) {
    negative = word[i] == '-';
    ++i;
  }
  const std::size_t body = i;

  // The digits as an integer m, as long as m stays below 2^24.
  constexpr std::uint32_t kExactLimit = std::uint32_t{1} << 24;
  std::uint64_t mantissa = 0;
  bool exact = true;
  auto take_digit = [&](char c) {
    mantissa = mantissa * 10 + static_cast<std::uint32_t>(c - '0');
    if (mantissa > kExactLimit) {
      exact = false;
      mantissa = kExactLimit;  // no overflow; the fast path is off anyway
    }
  };
  const std::size_t int_begin = i;
  while (i < n && is_digit(word[i])) take_digit(word[i++]);
  const std::size_t int_end = i;
  std::size_t frac_begin = i, frac_end = i;
  if (i < n && word[i] == '.') {
    frac_begin = ++i;
    while (i < n && is_digit(word[i])) take_digit(word[i++]);
    frac_end = i;
  }
  if (int_end == int_begin && frac_end == frac_begin) {
    const std::string_view rest = word.substr(body);
    if (equals_ignoring_case(rest, "inf") || equals_ignoring_case(rest, "infinity")) {
      value = negative ? -std::numeric_limits<float>::infinity()
                       : std::numeric_limits<float>::infinity();
      return true;
    }
    if (equals_ignoring_case(rest, "nan")) {
      value = std::numeric_limits<float>::quiet_NaN();
      return true;
    }
    return false;
  }
  // Decimal exponent, saturated: far beyond any f32 range either way.
  constexpr std::int64_t kExponentCap = 1'000'000'000;
  std::int64_t exponent = 0;
  if (i < n && (word[i] == 'e' || word[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < n && (word[i] == '+' || word[i] == '-')) {
      exp_negative = word[i] == '-';
      ++i;
    }
    const std::size_t exp_begin = i;
    while (i < n && is_digit(word[i])) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (word[i] - '0');
      ++i;
    }
    if (i == exp_begin) return false;
    if (exp_negative) exponent = -exponent;
  }
  if (i != n) return false;

  const std::int64_t scale = exponent - static_cast<std::int64_t>(frac_end - frac_begin);
  if (exact && scale >= -10 && scale <= 10) {
    static constexpr float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                        1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const float m = static_cast<float>(mantissa);  // exact: at most 2^24
    const float magnitude = scale >= 0 ? m * kPowers[scale] : m / kPowers[-scale];
    value = negative ? -magnitude : magnitude;
    return true;
  }

  const char* first = word.data() + (word[0] == '+' ? 1 : 0);
  const char* last = word.data() + n;
  float parsed = 0.0f;
  const std::from_chars_result r = std::from_chars(first, last, parsed, std::chars_format::general);
  if (r.ptr != last || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
    fault("number conversion disagrees with the checked syntax");
  }
  if (r.ec == std::errc()) {
    value = parsed;
    return true;
  }
  // Out of range: the decimal order of the leading non-zero digit says which way.
  std::int64_t order = 0;
  bool found = false;
  for (std::size_t k = int_begin; k < int_end && !found; ++k) {
    if (word[k] != '0') {
      order = static_cast<std::int64_t>(int_end - k) - 1;
      found = true;
    }
  }
  for (std::size_t k = frac_begin; k < frac_end && !found; ++k) {
    if (word[k] != '0') {
      order = -static_cast<std::int64_t>(k - frac_begin) - 1;
      found = true;
    }
  }
  if (!found) fault("number conversion out of range for a zero");
  const bool overflow = order + exponent > 0;
  const float magnitude = overflow ? std::numeric_limits<float>::infinity() : 0.0f;
  value = negative ? -magnitude : magnitude;
  return true;
}

std::string non_finite_message(float value) {
  if (std::isnan(value)) return "expected finite f32, got NaN which is Nan";
  return std::signbit(value) ? "expected finite f32, got -inf which is Infinite"
                             : "expected finite f32, got inf which is Infinite";
}

}  // namespace quarvex::stl
