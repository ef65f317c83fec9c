// One hash group of the vertex merge: a vertex's 96-bit pattern -> the running sum of the
// stored normals of the faces that name it, in a FlatTable of 32-byte slots (two to a cache
// line; key, sum and state together, so a cold lookup costs one miss).
//
// The sum of a key is the first normal added for it, then every later one added to it in
// the order of the calls, in single precision (so the sum does not depend on how the file
// was cut, read or grouped). One exception keeps a direction that the plain sum would lose:
// when an addition of finite terms leaves the float range, the slot goes on in a smaller
// unit, its sum and every later normal scaled by 2^-scale (scale grows by one until the sum
// is finite again). Scaling by a power of two is exact away from subnormals, so the slot then
// holds what the whole file-order sum of the scaled normals would give, and the unit normal
// made from it is the one the unscaled direction has. An addition with an infinite or NaN
// term, or to a sum that already is one, is a plain addition in the slot's unit.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "support/fast_hash.h"
#include "support/flat_table.h"
#include "support/hash_keys.h"
#include "support/vec3.h"

namespace quarvex::ingest {

// A vertex by the bits of its coordinates: -0 and 0 are two vertices, and so are two NaNs
// with different payloads.
struct VertexKey {
  std::uint32_t x, y, z;
  bool operator==(const VertexKey&) const = default;
};

inline VertexKey vertex_key(Vec3f p) noexcept {
  return VertexKey{std::bit_cast<std::uint32_t>(p.x), std::bit_cast<std::uint32_t>(p.y),
                   std::bit_cast<std::uint32_t>(p.z)};
}

// Keyed per merge, so the slot order of one call says nothing about the next.
struct VertexHasher {
  HashKeys keys;
  std::uint64_t operator()(const VertexKey& k) const noexcept {
    const std::uint64_t lo = static_cast<std::uint64_t>(k.x) | (static_cast<std::uint64_t>(k.y) << 32);
    return keyed_mix(lo, k.z, keys.k0, keys.k1);
  }
};

struct SumSlot {
  using Key = VertexKey;
  std::uint32_t x, y, z;  // the key
  std::uint32_t in_use;   // 0 while the slot is empty
  Vec3f sum;
  std::uint32_t scale;    // the sum and every later normal are scaled by 2^-scale

  bool used() const noexcept { return in_use != 0; }
  bool holds(const VertexKey& k) const noexcept { return x == k.x && y == k.y && z == k.z; }
  void claim(const VertexKey& k) noexcept { x = k.x, y = k.y, z = k.z, in_use = 1; }
  VertexKey stored_key() const noexcept { return VertexKey{x, y, z}; }
  Vec3f position() const noexcept { return Vec3f{std::bit_cast<float>(x), std::bit_cast<float>(y), std::bit_cast<float>(z)}; }
};
static_assert(sizeof(SumSlot) == 32, "two slots to a cache line");

using VertexSumTable = FlatTable<SumSlot, VertexHasher>;

namespace detail {

inline bool all_finite(Vec3f v) noexcept {
  constexpr float kMax = std::numeric_limits<float>::max();
  return std::fabs(v.x) <= kMax && std::fabs(v.y) <= kMax && std::fabs(v.z) <= kMax;  // false for NaN
}

inline Vec3f scaled(Vec3f v, int down) noexcept {
  return Vec3f{std::ldexp(v.x, -down), std::ldexp(v.y, -down), std::ldexp(v.z, -down)};
}

// The addition that left the float range, or any addition to a scaled slot.
[[gnu::noinline]] inline void add_out_of_range(SumSlot& s, Vec3f normal) noexcept {
  for (;;) {
    const Vec3f n = scaled(normal, static_cast<int>(s.scale));
    const Vec3f r{s.sum.x + n.x, s.sum.y + n.y, s.sum.z + n.z};
    if (all_finite(r) || !all_finite(s.sum) || !all_finite(n)) {
      s.sum = r;
      return;
    }
    s.sum = scaled(s.sum, 1);
    ++s.scale;
  }
}

}  // namespace detail

// Adds `normal` to the sum of `key`. `hash` is the table's hasher's value of the key, or
// its low 32 bits. Unchecked (kChecked false) only while no sum of the table can leave the
// float range, so that no slot is scaled either: then the plain sum is the rule's sum.
template <bool kChecked = true>
inline void add_normal(VertexSumTable& table, const VertexKey& key, std::uint64_t hash, Vec3f normal) {
  const auto [s, inserted] = table.find_or_insert(key, hash);
  if (inserted) {
    s->sum = normal;  // not 0 + normal: a stored -0 stays -0
    return;
  }
  if constexpr (!kChecked) {
    s->sum = Vec3f{s->sum.x + normal.x, s->sum.y + normal.y, s->sum.z + normal.z};
    return;
  }
  if (s->scale == 0) [[likely]] {
    const Vec3f r{s->sum.x + normal.x, s->sum.y + normal.y, s->sum.z + normal.z};
    // t - t is 0 exactly when t is finite, and t is finite when every component is (an
    // overflow of t alone only sends a finite sum the slow way, which takes it as it is).
    const float t = r.x + r.y + r.z;
    if (t - t == 0.0f) [[likely]] {
      s->sum = r;
      return;
    }
  }
  detail::add_out_of_range(*s, normal);
}

}  // namespace quarvex::ingest
