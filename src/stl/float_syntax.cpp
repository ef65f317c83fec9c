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

#include "support/fault.h"

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
  const char* const begin = word.data();
  const char* const end = begin + word.size();
  const char* p = begin;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const char* const body = p;

  // The digits, integer and fraction part together, as one integer (it wraps beyond 19
  // digits, where only the digit count is used).
  std::uint64_t mantissa = 0;
  auto digits = [&] {
    while (p != end && is_digit(*p)) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  };
  const char* const int_begin = p;
  digits();
  const char* const int_end = p;
  const char* frac_begin = p;
  const char* frac_end = p;
  if (p != end && *p == '.') {
    frac_begin = ++p;
    digits();
    frac_end = p;
  }
  if (int_end == int_begin && frac_end == frac_begin) {
    const std::string_view rest(body, static_cast<std::size_t>(end - body));
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
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    const char* const exp_begin = p;
    while (p != end && is_digit(*p)) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (p == exp_begin) return false;
    if (exp_negative) exponent = -exponent;
  }
  if (p != end) return false;

  const std::int64_t digit_count = (int_end - int_begin) + (frac_end - frac_begin);
  const std::int64_t scale = exponent - (frac_end - frac_begin);
  if (digit_count <= 19 && mantissa <= (std::uint64_t{1} << 24) && scale >= -10 && scale <= 10) {
    static constexpr float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                        1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const float m = static_cast<float>(mantissa);  // exact: at most 2^24
    const float magnitude = scale >= 0 ? m * kPowers[scale] : m / kPowers[-scale];
    value = negative ? -magnitude : magnitude;
    return true;
  }

  const char* first = begin + (*begin == '+' ? 1 : 0);
  float parsed = 0.0f;
  const std::from_chars_result r = std::from_chars(first, end, parsed, std::chars_format::general);
  if (r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
    fault("number conversion disagrees with the checked syntax");
  }
  if (r.ec == std::errc()) {
    value = parsed;
    return true;
  }
  // Out of range: the decimal order of the leading non-zero digit says which way.
  std::int64_t order = 0;
  bool found = false;
  for (const char* k = int_begin; k < int_end && !found; ++k) {
    if (*k != '0') {
      order = static_cast<std::int64_t>(int_end - k) - 1;
      found = true;
    }
  }
  for (const char* k = frac_begin; k < frac_end && !found; ++k) {
    if (*k != '0') {
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
