#include "stl/white_space.h"

namespace quarvex::stl {

std::size_t multibyte_space_length(const char* p, const char* end) noexcept {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  const std::size_t n = static_cast<std::size_t>(end - p);
  if (b[0] == 0xC2) return (n >= 2 && (b[1] == 0x85 || b[1] == 0xA0)) ? 2 : 0;
  if (n < 3) return 0;
  switch (b[0]) {
    case 0xE1:  // U+1680
      return (b[1] == 0x9A && b[2] == 0x80) ? 3 : 0;
    case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F; U+205F
      if (b[1] == 0x80) return ((b[2] >= 0x80 && b[2] <= 0x8A) || b[2] == 0xA8 || b[2] == 0xA9 || b[2] == 0xAF) ? 3 : 0;
      return (b[1] == 0x81 && b[2] == 0x9F) ? 3 : 0;
    case 0xE3:  // U+3000
      return (b[1] == 0x80 && b[2] == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

}  // namespace quarvex::stl
