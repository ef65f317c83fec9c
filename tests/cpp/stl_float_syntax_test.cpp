#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "stl/float_syntax.h"

namespace quarvex::stl {
namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// The kind a number of this value must be given.
NumberKind kind_for(float v) { return std::isfinite(v) ? NumberKind::kFinite : NumberKind::kNonFinite; }

// Parses a word that must be accepted; returns its value.
float value_of(const std::string& word) {
  float v = 12345.0f;
  const NumberKind kind = parse_f32(word, v);
  EXPECT_NE(kind, NumberKind::kNone) << word;
  EXPECT_EQ(kind, kind_for(v)) << word;
  return v;
}

// The same word in running text, far enough from the end for the reading without end checks:
// it must end at the blank and be accepted.
float value_in_text(const std::string& word) {
  const std::string text = word + " " + std::string(40, 'x');
  NumberKind kind = NumberKind::kNone;
  float v = 12345.0f;
  EXPECT_EQ(read_f32_word(text.data(), text.data() + text.size(), kind, v), text.data() + word.size()) << word;
  EXPECT_EQ(kind, kind_for(v)) << word;
  return v;
}

// Exact decimal expansion of a double (glibc prints every digit it is asked for exactly).
std::string exact_decimal(double d) {
  char buf[1200];
  std::snprintf(buf, sizeof buf, "%.800e", d);
  return buf;
}

TEST(FloatSyntax, AcceptsTheNumberForms) {
  EXPECT_EQ(value_of("1"), 1.0f);
  EXPECT_EQ(value_of("-2.5"), -2.5f);
  EXPECT_EQ(value_of("+3."), 3.0f);
  EXPECT_EQ(value_of(".25"), 0.25f);
  EXPECT_EQ(value_of("-.5"), -0.5f);
  EXPECT_EQ(value_of("1e-3"), 1e-3f);
  EXPECT_EQ(value_of("1E+04"), 1e4f);
  EXPECT_EQ(value_of("1.e2"), 100.0f);
  EXPECT_EQ(value_of("00.5"), 0.5f);
  EXPECT_EQ(value_of("007"), 7.0f);
  EXPECT_EQ(value_of("2e-0005"), 2e-5f);
  EXPECT_EQ(value_of("0e99999999999999999999"), 0.0f);
  EXPECT_EQ(value_of(std::string(5000, '0') + "1.5"), 1.5f);
  EXPECT_EQ(value_of("0." + std::string(5000, '0') + "1e5001"), 1.0f);
}

TEST(FloatSyntax, SpecialWordsInAnyCase) {
  for (const char* w : {"inf", "INF", "+Inf", "infinity", "InFiNiTy"}) {
    EXPECT_EQ(value_of(w), std::numeric_limits<float>::infinity()) << w;
  }
  EXPECT_EQ(value_of("-Infinity"), -std::numeric_limits<float>::infinity());
  for (const char* w : {"nan", "NaN", "-nan", "+NAN"}) EXPECT_TRUE(std::isnan(value_of(w))) << w;
}

TEST(FloatSyntax, RejectsEverythingElse) {
  for (const char* w : {"", "+", "-", ".", "+.", "1,5", "0x10", "0X1p3", "1e", "1e+", "1E-", "e5",
                        ".e5", "1.2.3", "1e5.0", "1e2e3", "++1", "+-1", "1_000", " 1", "1 ", "1f",
                        "1d5", "infin", "infinit", "infinityy", "nan(1)", "nana", "-inf-", "in",
                        "\xd9\xa1", "\xe2\x88\x9e"}) {
    float v = 0.0f;
    EXPECT_EQ(parse_f32(w, v), NumberKind::kNone) << w;
  }
  float v;
  EXPECT_EQ(parse_f32(std::string_view("1\0", 2), v), NumberKind::kNone);
}

TEST(FloatSyntax, ZerosKeepTheirSign) {
  EXPECT_EQ(bits(value_of("-0")), 0x80000000u);
  EXPECT_EQ(bits(value_of("-0.0e-7")), 0x80000000u);
  EXPECT_EQ(bits(value_of("0")), 0u);
  EXPECT_EQ(bits(value_of("1e-50")), 0u);
  EXPECT_EQ(bits(value_of("-1e-50")), 0x80000000u);
  EXPECT_EQ(bits(value_of("1e-99999999999999999999")), 0u);
  EXPECT_EQ(bits(value_of("-123456e-99999")), 0x80000000u);
}

TEST(FloatSyntax, OverflowAndTheLargestFinite) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(value_of("3.4028235e38"), std::numeric_limits<float>::max());
  EXPECT_EQ(value_of("3.4028236e38"), inf);
  EXPECT_EQ(value_of("1e39"), inf);
  EXPECT_EQ(value_of("-1e39"), -inf);
  EXPECT_EQ(value_of("1e99999999999999999999"), inf);
  EXPECT_EQ(value_of("0.000001e45"), inf);
  // 2^128 - 2^103 is the halfway point above the largest finite value: ties go to infinity.
  EXPECT_EQ(value_of("340282356779733661637539395458142568448"), inf);
  EXPECT_EQ(value_of("340282356779733661637539395458142568447.999"), std::numeric_limits<float>::max());
  // Words short enough for the double path and the usual reader, beyond the float range.
  for (const char* w : {"9.223372036854777233e+38", "-7.3688899037562705E+38", "3.402823567797336617e38"}) {
    const float want = w[0] == '-' ? -inf : inf;
    EXPECT_EQ(value_of(w), want) << w;
    EXPECT_EQ(value_in_text(w), want) << w;
  }
  EXPECT_EQ(value_in_text("3.4028234663852886e38"), std::numeric_limits<float>::max());
}

TEST(FloatSyntax, SmallestSubnormalAndItsHalf) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  EXPECT_EQ(value_of("1.4e-45"), tiny);
  EXPECT_EQ(value_of("-1.4e-45"), -tiny);
  EXPECT_EQ(value_of("7.1e-46"), tiny);
  EXPECT_EQ(bits(value_of("7.0e-46")), 0u);
  // Exactly 2^-150: a tie between 0 and the smallest subnormal goes to 0 (even).
  const std::string half = exact_decimal(std::ldexp(1.0, -150));
  EXPECT_EQ(bits(value_of(half)), 0u);
  EXPECT_EQ(bits(value_of("-" + half)), 0x80000000u);
  const std::string mantissa = half.substr(0, half.find('e'));
  const std::string exponent = half.substr(half.find('e'));
  EXPECT_EQ(value_of(mantissa + "0000000000000000000001" + exponent), tiny);
}

// Exact midpoints between neighbouring floats, written with hundreds of digits: a tie goes
// to the even neighbour; a digit more or a hair less decides the other way.
TEST(FloatSyntax, HalfwayPointsRoundToEvenWithManyDigits) {
  std::mt19937 rng(12345);
  int checked = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::uint32_t pattern = rng() & 0x7F7FFFFFu;  // finite, below the largest exponent
    const float a = std::bit_cast<float>(pattern);
    const float b = std::nextafter(a, std::numeric_limits<float>::infinity());
    if (!std::isfinite(b)) continue;
    const double mid = (static_cast<double>(a) + static_cast<double>(b)) / 2.0;
    const float even = (bits(a) & 1u) == 0 ? a : b;
    const std::string exact = exact_decimal(mid);
    ASSERT_EQ(bits(value_of(exact)), bits(even)) << exact;
    const std::string mantissa = exact.substr(0, exact.find('e'));
    const std::string exponent = exact.substr(exact.find('e'));
    ASSERT_EQ(bits(value_of(mantissa + "1" + exponent)), bits(b)) << exact;
    ASSERT_EQ(bits(value_of(exact_decimal(std::nextafter(mid, 0.0)))), bits(a)) << exact;
    ASSERT_EQ(bits(value_of("-" + exact)), bits(-even)) << exact;
    ++checked;
  }
  EXPECT_GT(checked, 3000);
  // The boundary between subnormal and normal numbers: the tie goes to 2^-126 (even).
  const double below_normal = std::ldexp(1.0, -126) - std::ldexp(1.0, -150);
  EXPECT_EQ(value_of(exact_decimal(below_normal)), std::numeric_limits<float>::min());
}

// Words of few digits and small exponents, the bulk of real files, in the shapes printf
// writes and a few others, around the edges of the short-word path (7 and 8 digits,
// 2^24 itself, scales of 10 and 11) and of the double path (up to 19 digits, integers
// halfway between floats): every value must agree with strtof, which rounds correctly.
TEST(FloatSyntax, ShortWordsAgreeWithStrtof) {
  std::mt19937 rng(99);
  const char* shapes[] = {"%.6e", "%.7e", "%.8e", "%.9g", "%.7g", "%.1f", "%.10f", "%g", "%.15e", "%.16g", "%.17g", "%.15f", "%.18e"};
  for (int i = 0; i < 200000; ++i) {
    double d;
    switch (i % 4) {
      case 0: d = static_cast<double>(rng() % 20000000) * std::pow(10.0, static_cast<int>(rng() % 25) - 12); break;
      case 1: d = std::ldexp(static_cast<double>(rng()), static_cast<int>(rng() % 80) - 60); break;
      case 2: d = static_cast<double>(16777216 + static_cast<int>(rng() % 5) - 2) * std::pow(10.0, static_cast<int>(rng() % 23) - 11); break;
      default: d = static_cast<double>(rng() % 10000) / 1000.0; break;
    }
    if (rng() & 1) d = -d;
    char word[64];
    std::snprintf(word, sizeof word, shapes[rng() % std::size(shapes)], d);
    const float want = std::strtof(word, nullptr);
    ASSERT_EQ(bits(value_of(word)), bits(want)) << word;
    ASSERT_EQ(bits(value_in_text(word)), bits(want)) << word;
  }
  for (const char* word : {"16777216", "16777217", "16777215e10", "1677721.6e-10", "9999999e10",
                           "9999999e-11", "1e10", "1e-10", "3e11", "0.0000000001", "-0e5",
                           "12345678", "1234567.1234567", "1.12345678", "7e999", "7e-999", "7E0010",
                           "5.", ".5", "-0.0e-0", "+00000001.0000001E+001", "16777219", "-33554434.0",
                           "3.3554438e7", "9007199254740993e-10", "16777217.00000001", "16777217.00000000001",
                           "16777216.99999999999",
                           // off a halfway point by less than half a double's step: on it in double
                           "8886849828153040e22", "-8970907232393933e22"}) {
    ASSERT_EQ(bits(value_of(word)), bits(std::strtof(word, nullptr))) << word;
    ASSERT_EQ(bits(value_in_text(word)), bits(std::strtof(word, nullptr))) << word;
  }
}

// In running text the word ends at the first white space, whatever the number's digits say.
TEST(FloatSyntax, ReadingAWordInText) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct { std::string text; std::size_t length; bool valid; float value; } cases[] = {
      {"1.5 x", 3, true, 1.5f},           {"1.5\xC2\xA0x", 3, true, 1.5f},
      {"1.5\xC2\xA1 x", 5, false, 0.0f},  {"-inf\n", 4, true, -inf},
      {"1e+ 2", 3, false, 0.0f},          {"2.5e1", 5, true, 25.0f},
      {"7\x01 8", 2, false, 0.0f},        {"1,5\t", 3, false, 0.0f},
      {"1.5e 2", 4, false, 0.0f},         {"-.e1 x", 4, false, 0.0f},
      // printf's %e and words one byte off its shape
      {"-1.234567E-01\t", 13, true, -0.1234567f}, {"1.234567e+01x ", 13, false, 0.0f},
      {"1*234567e+01 ", 12, false, 0.0f},
      {"1.234567e+012 ", 13, true, 1.234567e12f}, {"1.234567e+01\xC2\xA0x", 12, true, 12.34567f},
      {"1.234567e-11 ", 12, true, 1.234567e-11f}, {"1.234567e+1 2", 11, true, 12.34567f},
  };
  for (const auto& c : cases) {
    for (const std::string& text : {c.text, c.text + std::string(40, ' ')}) {  // near the end or not
      NumberKind kind = NumberKind::kNone;
      float value = 0.0f;
      const char* end = read_f32_word(text.data(), text.data() + text.size(), kind, value);
      EXPECT_EQ(end - text.data(), static_cast<std::ptrdiff_t>(c.length)) << text;
      EXPECT_EQ(kind, c.valid ? kind_for(c.value) : NumberKind::kNone) << text;
      if (c.valid) {
        EXPECT_EQ(value, c.value) << text;
      }
    }
  }
}

TEST(FloatSyntax, NonFiniteMessages) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(non_finite_message(inf), "expected finite f32, got inf which is Infinite");
  EXPECT_EQ(non_finite_message(-inf), "expected finite f32, got -inf which is Infinite");
  EXPECT_EQ(non_finite_message(std::numeric_limits<float>::quiet_NaN()),
            "expected finite f32, got NaN which is Nan");
  EXPECT_EQ(non_finite_message(-std::numeric_limits<float>::quiet_NaN()),
            "expected finite f32, got NaN which is Nan");
}

}  // namespace
}  // namespace quarvex::stl
