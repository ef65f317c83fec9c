// The syntax is checked here first: std::from_chars accepts forms the syntax rejects (its
// own inf/nan spellings, partial matches) and rejects a leading '+'. One scan reads a number
// as far as the decimal syntax goes; a whole word (parse_f32) or a word in running text
// (read_f32_word, which learns where the word ends from the same scan) is a number when the
// scan covers all of it.
//
// Most words in STL files have at most 7 significant digits and a small exponent (printf's
// %e and %g). Their value m * 10^e has both m (below 2^24) and 10^|e| (|e| <= 10) exact in
// single precision, so one single-precision multiplication or division of the two is the
// correctly rounded result (Clinger's fast path). Words of up to 19 digits mostly take the
// same path in double precision; only other words go to from_chars. On a
// checked word from_chars rounds correctly for any number of digits, but reports both
// overflow and underflow to zero as result_out_of_range without a value; the direction then
// follows from the decimal order of magnitude of the first non-zero digit.
//
// In running text, a usual word far enough from the end of the text is first read by
// read_usual_f32 (float_syntax.h), inline in the hot loops, which leaves every other word to
// the scan here; both end in the same rounding, round_short, and only exact_value or an
// inf/nan word can make a number that is not finite: kind_of is the one test of it.
#include "stl/float_syntax.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "stl/white_space.h"
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

// How far the decimal syntax reaches from `begin`, and what it read there.
struct Decimal {
  const char* stop;       // the first byte not taken
  bool complete;          // [begin, stop) is a whole decimal number
  bool negative;
  // The digits, integer and fraction part together, as one integer (it wraps beyond 19
  // digits, where only the digit count is used).
  std::uint64_t mantissa;
  const char* int_begin;  // also where the text after the sign begins
  const char* int_end;
  const char* frac_begin;
  const char* frac_end;
  std::int64_t exponent;  // saturated: far beyond any f32 range either way
};

[[gnu::always_inline]] inline Decimal scan_decimal(const char* p, const char* end) noexcept {
  Decimal d{};
  if (p != end && (*p == '+' || *p == '-')) {
    d.negative = *p == '-';
    ++p;
  }
  std::uint64_t mantissa = 0;
  d.int_begin = p;
  while (p != end && is_digit(*p)) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  d.int_end = d.frac_begin = d.frac_end = p;
  if (p != end && *p == '.') {
    d.frac_begin = ++p;
    while (p != end && is_digit(*p)) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    d.frac_end = p;
  }
  d.mantissa = mantissa;
  d.stop = p;
  if (d.int_end == d.int_begin && d.frac_end == d.frac_begin) return d;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    constexpr std::int64_t kExponentCap = 1'000'000'000;
    const char* const exp_begin = p;
    std::int64_t exponent = 0;
    while (p != end && is_digit(*p)) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    d.stop = p;
    if (p == exp_begin) return d;
    d.exponent = exp_negative ? -exponent : exponent;
  }
  d.complete = true;
  return d;
}

float exact_value(const Decimal& d, const char* begin);

NumberKind kind_of(float value) noexcept { return std::isfinite(value) ? NumberKind::kFinite : NumberKind::kNonFinite; }

// The value of a complete scan that began at `begin`, and its kind.
[[gnu::always_inline]] inline NumberKind decimal_value(const Decimal& d, const char* begin, float& value) {
  const std::int64_t digit_count = (d.int_end - d.int_begin) + (d.frac_end - d.frac_begin);
  const std::int64_t scale = d.exponent - (d.frac_end - d.frac_begin);
  float magnitude;
  if (digit_count <= 19 && round_short(d.mantissa, scale, magnitude)) {
    value = d.negative ? -magnitude : magnitude;
    return NumberKind::kFinite;
  }
  value = exact_value(d, begin);
  return kind_of(value);
}

// The value of a word beyond the fast path, rounded by from_chars.
[[gnu::noinline]] float exact_value(const Decimal& d, const char* begin) {
  const char* first = begin + (*begin == '+' ? 1 : 0);
  float parsed = 0.0f;
  const std::from_chars_result r = std::from_chars(first, d.stop, parsed, std::chars_format::general);
  if (r.ptr != d.stop || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
    fault("number conversion disagrees with the checked syntax");
  }
  if (r.ec == std::errc()) return parsed;
  // Out of range: the decimal order of the leading non-zero digit says which way.
  std::int64_t order = 0;
  bool found = false;
  for (const char* k = d.int_begin; k < d.int_end && !found; ++k) {
    if (*k != '0') {
      order = static_cast<std::int64_t>(d.int_end - k) - 1;
      found = true;
    }
  }
  for (const char* k = d.frac_begin; k < d.frac_end && !found; ++k) {
    if (*k != '0') {
      order = -static_cast<std::int64_t>(k - d.frac_begin) - 1;
      found = true;
    }
  }
  if (!found) fault("number conversion out of range for a zero");
  const bool overflow = order + d.exponent > 0;
  const float magnitude = overflow ? std::numeric_limits<float>::infinity() : 0.0f;
  return d.negative ? -magnitude : magnitude;
}

// m * 10^scale for an m that a double holds exactly and |scale| <= 22 is one correctly rounded
// double operation (both factors are exact), and rounding that double to f32 rounds the decimal
// correctly unless the double lies exactly halfway between two floats: the decimal may then
// lie on either side. Returns false in that case.
bool round_through_double(std::uint64_t m, std::int64_t scale, float& magnitude) noexcept {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const double d = scale >= 0 ? static_cast<double>(m) * kPowers[scale] : static_cast<double>(m) / kPowers[-scale];
  // d is 0 or at least 1e-22, where floats are normal and keep the top 24 of a double's 53
  // bits: halfway means the 29 bits dropped are 1 then zeros.
  if ((std::bit_cast<std::uint64_t>(d) & 0x1FFFFFFF) == 0x10000000) return false;
  magnitude = static_cast<float>(d);
  return true;
}

}  // namespace

bool double_path_value(std::uint64_t mantissa, std::int64_t scale, float& magnitude) noexcept {
  if (scale < -22 || scale > 22) return false;
  float value;
  if (mantissa <= (std::uint64_t{1} << 53)) {
    if (!round_through_double(mantissa, scale, value)) return false;
  } else {
    // More bits than a double holds: the decimal lies between the mantissa cut to its top 53
    // bits and the next number so cut, and rounding is monotonic, so when both bounds round
    // to the same float, so does the decimal.
    const int drop = 11 - std::countl_zero(mantissa);  // at least 1: the mantissa exceeds 2^53
    const std::uint64_t low = mantissa >> drop << drop;
    float above;
    if (!round_through_double(low, scale, value) || !round_through_double(low + (std::uint64_t{1} << drop), scale, above) ||
        value != above) {
      return false;
    }
  }
  // Beyond the float range: only the exact tier makes a value that is not finite.
  if (std::isinf(value)) return false;
  magnitude = value;
  return true;
}

NumberKind parse_f32(std::string_view word, float& value) {
  const char* const begin = word.data();
  const char* const end = begin + word.size();
  const Decimal d = scan_decimal(begin, end);
  if (d.complete && d.stop == end) return decimal_value(d, begin, value);
  if (d.int_end != d.int_begin || d.frac_end != d.frac_begin) return NumberKind::kNone;
  const std::string_view rest(d.int_begin, static_cast<std::size_t>(end - d.int_begin));
  if (equals_ignoring_case(rest, "inf") || equals_ignoring_case(rest, "infinity")) {
    value = d.negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return NumberKind::kNonFinite;
  }
  if (equals_ignoring_case(rest, "nan")) {
    value = std::numeric_limits<float>::quiet_NaN();
    return NumberKind::kNonFinite;
  }
  return NumberKind::kNone;
}

const char* read_f32_word(const char* p, const char* end, NumberKind& kind, float& value) {
  if (end - p >= kUsualNumberReach) {
    if (const char* stop = read_usual_f32(p, value)) {
      kind = NumberKind::kFinite;
      return stop;
    }
  }
  const Decimal d = scan_decimal(p, end);
  // ASCII white space always ends a word; anything else the scan stopped at (a letter of
  // inf or nan, a stray character, a multi-byte character) is left to the whole-word rule.
  if (d.stop == end || is_ascii_space(*d.stop)) {
    kind = d.complete ? decimal_value(d, p, value) : NumberKind::kNone;
    return d.stop;
  }
  const char* const word_stop = word_end(d.stop, end);
  kind = parse_f32(std::string_view(p, static_cast<std::size_t>(word_stop - p)), value);
  return word_stop;
}

std::string non_finite_message(float value) {
  if (std::isnan(value)) return "expected finite f32, got NaN which is Nan";
  return std::signbit(value) ? "expected finite f32, got -inf which is Infinite"
                             : "expected finite f32, got inf which is Infinite";
}

}  // namespace quarvex::stl
