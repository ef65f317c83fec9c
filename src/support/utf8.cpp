#include "support/utf8.h"

#include <cstring>

namespace quarvex {

bool Utf8Validator::feed(const unsigned char* p, std::size_t n) noexcept {
  if (bad_) return false;
  std::size_t i = 0;
  while (i < n) {
    if (need_ == 0) {
      // Skip ASCII 32 bytes at a time, then 8: most STL text has no other characters, and
      // the words of a block are loaded independently of each other.
      constexpr std::uint64_t kHigh = 0x8080808080808080ull;
      auto word = [p](std::size_t at) {
        std::uint64_t w;
        std::memcpy(&w, p + at, 8);
        return w;
      };
      while (i + 32 <= n && ((word(i) | word(i + 8) | word(i + 16) | word(i + 24)) & kHigh) == 0) i += 32;
      while (i + 8 <= n && (word(i) & kHigh) == 0) i += 8;
      if (i == n) break;
      const unsigned char c = p[i++];
      if (c < 0x80) continue;
      lo_ = 0x80;
      hi_ = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) {
        need_ = 1;
      } else if (c >= 0xE0 && c <= 0xEF) {
        need_ = 2;
        if (c == 0xE0) lo_ = 0xA0;       // overlong
        if (c == 0xED) hi_ = 0x9F;       // surrogates
      } else if (c >= 0xF0 && c <= 0xF4) {
        need_ = 3;
        if (c == 0xF0) lo_ = 0x90;       // overlong
        if (c == 0xF4) hi_ = 0x8F;       // above U+10FFFF
      } else {
        bad_ = true;
        return false;
      }
    } else {
      const unsigned char c = p[i++];
      if (c < lo_ || c > hi_) {
        bad_ = true;
        return false;
      }
      lo_ = 0x80;
      hi_ = 0xBF;
      --need_;
    }
  }
  return true;
}

namespace {

// The length of the valid character at s[i], or 0 when none starts there; `taken` is what
// the character or the maximal invalid sequence there spans (at least one byte).
std::size_t valid_sequence(std::string_view s, std::size_t i, std::size_t& taken) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  // Fed byte by byte; the validator says where the sequence ends or breaks.
  Utf8Validator v;
  std::size_t k = 0;
  while (i + k < s.size() && v.feed(p + i + k, 1)) {
    ++k;
    if (v.complete()) break;
  }
  const bool valid = k != 0 && v.complete();
  taken = valid || k != 0 ? k : 1;  // the byte that broke a sequence starts the next one
  return valid ? k : 0;
}

}  // namespace

char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept {
  std::size_t taken;
  const std::size_t n = valid_sequence(s, i, taken);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  i += taken;
  if (n == 0) return 0xFFFD;
  if (n == 1) return p[0];
  char32_t cp = p[0] & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (p[k] & 0x3F);
  return cp;
}

std::string utf8_lossy(std::string_view s) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t taken;
    if (valid_sequence(s, i, taken) != 0) {
      out.append(s.substr(i, taken));
    } else {
      out.append(kReplacement);
    }
    i += taken;
  }
  return out;
}

}  // namespace quarvex
