// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF. The one
// rule is Utf8Validator's; the whole-string check and the lossy decoder are built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarvex {

class Utf8Validator {
 public:
  // Feeds the next bytes; returns false once the input so far cannot be valid.
  bool feed(const unsigned char* p, std::size_t n) noexcept;
  // True when everything fed is valid and no sequence is left open.
  bool complete() const noexcept { return !bad_ && need_ == 0; }

 private:
  std::uint8_t need_ = 0;  // continuation bytes still due
  std::uint8_t lo_ = 0x80;  // allowed range of the next continuation byte
  std::uint8_t hi_ = 0xBF;
  bool bad_ = false;
};

inline bool is_valid_utf8(std::string_view s) noexcept {
  Utf8Validator v;
  v.feed(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  return v.complete();
}

// The character at s[i], with i moved past it; a maximal invalid sequence there (the start
// byte and the continuation bytes still allowed after it, or one stray byte) decodes as
// U+FFFD and is passed over.
char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept;

// `s` with every maximal invalid sequence (a start byte and the continuation bytes that
// were still allowed after it, or one stray byte) replaced by U+FFFD.
std::string utf8_lossy(std::string_view s);

}  // namespace quarvex
