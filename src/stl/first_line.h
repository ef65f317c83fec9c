// What decides an STL file's format: whether its first line begins with the six bytes
// "solid " and is valid UTF-8. Format detection and the ASCII reader's first-line check
// both scan the line with this, in pieces as it streams past, so neither holds it whole.
//
// The caller feeds the line's bytes up to and including the first 0x0A, in order. The
// line end (LF, CR) never falls within the first six bytes of a line that has the prefix,
// so comparing the raw bytes is the same as comparing the stripped line.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "support/utf8.h"

namespace quarvex::stl {

class FirstLineScan {
 public:
  static constexpr std::string_view kPrefix = "solid ";

  void feed(const unsigned char* p, std::size_t n) noexcept {
    if (length_ < kPrefix.size()) {
      const std::size_t take = std::min(n, kPrefix.size() - length_);
      if (std::memcmp(p, kPrefix.data() + length_, take) != 0) prefix_possible_ = false;
    }
    length_ += n;
    if (!utf8_.feed(p, n)) utf8_possible_ = false;
  }

  std::size_t length() const noexcept { return length_; }
  // The bytes so far agree with the prefix (they may still be fewer than six).
  bool prefix_possible() const noexcept { return prefix_possible_; }
  bool has_prefix() const noexcept { return prefix_possible_ && length_ >= kPrefix.size(); }
  // No invalid sequence so far (one may still be open).
  bool utf8_possible() const noexcept { return utf8_possible_; }
  bool valid_utf8() const noexcept { return utf8_.complete(); }

 private:
  Utf8Validator utf8_;
  std::size_t length_ = 0;
  bool prefix_possible_ = true;
  bool utf8_possible_ = true;
};

}  // namespace quarvex::stl
