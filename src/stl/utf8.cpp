#include "stl/utf8.h"

#include <cstring>

namespace quarvex::stl {

bool Utf8Validator::feed(const unsigned char* p, std::size_t n) noexcept {
  if (bad_) return false;
  std::size_t i = 0;
  while (i < n) {
    if (need_ == 0) {
      // Skip ASCII eight bytes at a time: most STL text has no other characters.
      while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
      }
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

}  // namespace quarvex::stl
