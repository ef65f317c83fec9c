// The binary STL layout, shared by the sequential and the parallel reader: an 80-byte
// header, a little-endian u32 count at byte 80, then records of 50 bytes, each twelve
// little-endian f32 (normal, three vertices) and a 2-byte attribute word that is ignored.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/vec3.h"

namespace quarvex::stl {

inline constexpr std::size_t kBinaryCountOffset = 80;
inline constexpr std::size_t kBinaryHeadSize = 84;
inline constexpr std::size_t kBinaryRecordSize = 50;

// Within a record: the normal, then the three vertices, each three f32, then the attribute
// word.
inline constexpr std::size_t kBinaryNormalOffset = 0;
inline constexpr std::size_t binary_vertex_offset(std::size_t v) noexcept { return 12 + 12 * v; }
inline constexpr std::size_t kBinaryAttributeOffset = 48;
static_assert(kBinaryHeadSize == kBinaryCountOffset + 4);
static_assert(binary_vertex_offset(3) == kBinaryAttributeOffset);
static_assert(kBinaryAttributeOffset + 2 == kBinaryRecordSize);

inline std::uint32_t load_le32(const std::byte* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Three f32 at `p`, every bit pattern kept.
inline Vec3f load_vec3(const std::byte* p) noexcept {
  return Vec3f{std::bit_cast<float>(load_le32(p)), std::bit_cast<float>(load_le32(p + 4)),
               std::bit_cast<float>(load_le32(p + 8))};
}

}  // namespace quarvex::stl
