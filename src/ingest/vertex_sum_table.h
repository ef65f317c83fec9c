// One hash group of the vertex merge: a vertex's 96-bit pattern -> the running sum of the
// stored normals of the faces that name it, in a FlatTable of 24-byte slots (key and sum
// together, so a cold lookup costs one miss; eight slots to three cache lines).
//
// The sum of a key is the first normal added for it, then every later one added to it in
// the order of the calls, in single precision (so the sum does not depend on how the file
// was cut, read or grouped). One exception keeps a direction that the plain sum would lose:
// when an addition of finite terms leaves the float range, the key goes on in a smaller
// unit, its sum and every later normal scaled by 2^-scale (scale grows by one until the sum
// is finite again). Scaling by a power of two is exact away from subnormals, so the slot then
// holds what the whole file-order sum of the scaled normals would give, and the unit normal
// made from it is the one the unscaled direction has. An addition with an infinite or NaN
// term, or to a sum that already is one, is a plain addition in the key's unit.
//
// A slot holds no flag: it stores its key's bits XOR kKeyMask, so that the empty slot (all
// zero bytes) is the stored form of the key kKeyMask alone, which the table keeps beside its
// slots; and the few scaled keys keep their scale in a side map. Not thread-safe: one owner
// at a time, as for FlatTable.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

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

// Two 32-bit words as one 64-bit word, `lo` in the low half: the hasher mixes a key's x and y
// so, and a slot compares them so (one load and one compare instead of two).
inline std::uint64_t word_pair(std::uint32_t lo, std::uint32_t hi) noexcept {
  return static_cast<std::uint64_t>(lo) | static_cast<std::uint64_t>(hi) << 32;
}

// Keyed per merge, so the slot order of one call says nothing about the next.
struct VertexHasher {
  HashKeys keys;
  std::uint64_t operator()(const VertexKey& k) const noexcept {
    return keyed_mix(word_pair(k.x, k.y), k.z, keys.k0, keys.k1);
  }
};

// The key a slot of all zero bytes would store: three signalling NaNs, which no text and
// hardly any binary file holds; the table keeps this one key outside its slots.
inline constexpr VertexKey kKeyMask{0x7FB4D3C1u, 0xFFB4D3C2u, 0x7F9E5A17u};

struct SumSlot {
  using Key = VertexKey;
  std::uint32_t x, y, z;  // the key XOR kKeyMask
  Vec3f sum;

  bool used() const noexcept { return (word_pair(x, y) | z) != 0; }
  static bool storable(const VertexKey& k) noexcept { return !(k == kKeyMask); }
  bool holds(const VertexKey& k) const noexcept {
    return word_pair(x, y) == (word_pair(k.x, k.y) ^ word_pair(kKeyMask.x, kKeyMask.y)) && z == (k.z ^ kKeyMask.z);
  }
  void claim(const VertexKey& k) noexcept { x = k.x ^ kKeyMask.x, y = k.y ^ kKeyMask.y, z = k.z ^ kKeyMask.z; }
  VertexKey stored_key() const noexcept { return VertexKey{x ^ kKeyMask.x, y ^ kKeyMask.y, z ^ kKeyMask.z}; }
  Vec3f position() const noexcept {
    const VertexKey k = stored_key();
    return Vec3f{std::bit_cast<float>(k.x), std::bit_cast<float>(k.y), std::bit_cast<float>(k.z)};
  }
};
static_assert(sizeof(SumSlot) == 24, "eight slots to three cache lines");

namespace detail {

inline bool all_finite(Vec3f v) noexcept {
  constexpr float kMax = std::numeric_limits<float>::max();
  return std::fabs(v.x) <= kMax && std::fabs(v.y) <= kMax && std::fabs(v.z) <= kMax;  // false for NaN
}

inline Vec3f scaled(Vec3f v, int down) noexcept {
  return Vec3f{std::ldexp(v.x, -down), std::ldexp(v.y, -down), std::ldexp(v.z, -down)};
}

}  // namespace detail

class VertexSumTable {
 public:
  // Room for about `expected` keys before the first growth.
  VertexSumTable(VertexHasher hasher, std::size_t expected) : slots_(hasher, expected), scales_(0, hasher) {}

  std::size_t size() const noexcept { return slots_.size() + (mask_used_ ? 1 : 0); }
  std::size_t capacity() const noexcept { return slots_.capacity(); }
  void reserve(std::size_t keys) { slots_.reserve(keys); }
  void presize(std::size_t expected) { slots_.presize(expected); }
  void prefetch(std::uint64_t hash) const noexcept { slots_.prefetch(hash); }

  // Adds `normal` to the sum of `key`. `hash` is the table's hasher's value of the key, or
  // its low 32 bits. Unchecked (kChecked false) only while no sum of the table can leave the
  // float range, so that no key is scaled either: then the plain sum is the rule's sum.
  template <bool kChecked = true>
  void add(const VertexKey& key, std::uint64_t hash, Vec3f normal) {
    auto [slot, inserted] = slots_.find_or_insert(key, hash);
    Vec3f* sum;
    if (slot != nullptr) [[likely]] {
      sum = &slot->sum;
    } else {  // kKeyMask, kept beside the slots
      sum = &mask_sum_;
      inserted = !std::exchange(mask_used_, true);
    }
    if (inserted) {
      *sum = normal;  // not 0 + normal: a stored -0 stays -0
      return;
    }
    if constexpr (!kChecked) {
      *sum = Vec3f{sum->x + normal.x, sum->y + normal.y, sum->z + normal.z};
      return;
    }
    if (!maybe_scaled(hash) || scales_.find(key) == scales_.end()) [[likely]] {
      const Vec3f r{sum->x + normal.x, sum->y + normal.y, sum->z + normal.z};
      // t - t is 0 exactly when t is finite, and t is finite when every component is (an
      // overflow of t alone only sends a finite sum the slow way, which takes it as it is).
      const float t = r.x + r.y + r.z;
      if (t - t == 0.0f) [[likely]] {
        *sum = r;
        return;
      }
    }
    add_out_of_range(key, hash, *sum, normal);
  }

  // fn(slot) for every key, as a slot that holds it: the slots in slot order, then kKeyMask.
  template <class Fn>
  void for_each(Fn&& fn) const {
    slots_.for_each(fn);
    if (mask_used_) fn(SumSlot{0, 0, 0, mask_sum_});
  }

  // for_each, handing the slots' memory back as the visit passes it; the table is left
  // empty and without storage.
  template <class Fn>
  void drain(Fn&& fn) {
    slots_.drain(fn);
    if (std::exchange(mask_used_, false)) fn(SumSlot{0, 0, 0, mask_sum_});
    scales_.clear();
  }

  // The table rewritten in its own memory as size() values fn(slot), slots in slot order,
  // then kKeyMask (see FlatTable::compact_to); there is room for it, as the slots are never
  // more than three quarters full. The table is left empty and without storage.
  template <class Out, class Fn>
  LargeBlock compact_to(Fn&& fn) {
    const std::size_t slots = slots_.size();
    LargeBlock block = slots_.template compact_to<Out>(fn);
    if (std::exchange(mask_used_, false)) {
      const Out value = fn(SumSlot{0, 0, 0, mask_sum_});
      std::memcpy(static_cast<std::byte*>(block.data()) + slots * sizeof(Out), &value, sizeof(Out));
    }
    scales_.clear();
    return block;
  }

 private:
  bool maybe_scaled(std::uint64_t hash) const noexcept {
    return (scaled_hint_[(hash >> 6) & 7] >> (hash & 63) & 1) != 0;
  }

  // The addition that left the float range, or any addition to a scaled sum.
  [[gnu::noinline]] void add_out_of_range(const VertexKey& key, std::uint64_t hash, Vec3f& sum, Vec3f normal) {
    const auto found = scales_.find(key);
    std::uint32_t scale = found == scales_.end() ? 0 : found->second;
    for (;;) {
      const Vec3f n = detail::scaled(normal, static_cast<int>(scale));
      const Vec3f r{sum.x + n.x, sum.y + n.y, sum.z + n.z};
      if (detail::all_finite(r) || !detail::all_finite(sum) || !detail::all_finite(n)) {
        sum = r;
        break;
      }
      sum = detail::scaled(sum, 1);
      ++scale;
    }
    if (found != scales_.end()) {
      found->second = scale;
    } else if (scale != 0) {
      scales_.emplace(key, scale);
      scaled_hint_[(hash >> 6) & 7] |= std::uint64_t{1} << (hash & 63);
    }
  }

  FlatTable<SumSlot, VertexHasher> slots_;
  bool mask_used_ = false;  // whether kKeyMask was added: its slot would read as empty
  Vec3f mask_sum_{};
  // The scaled keys with their scale (none in nearly every file). scaled_hint_ has bit
  // (hash mod 512) set for each, so that a key whose bit is clear skips the map.
  std::unordered_map<VertexKey, std::uint32_t, VertexHasher> scales_;
  std::uint64_t scaled_hint_[8] = {};
};

}  // namespace quarvex::ingest
