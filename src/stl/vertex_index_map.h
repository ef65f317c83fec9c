// The vertex merge's hash map: a vertex's 96-bit pattern -> its index in the vertex list.
//
// Open addressing with linear probing over 16-byte slots (the key and a 32-bit index), at
// most half full, so a lookup touches one cache line and probes about 1.5 slots. A slot
// stores index + 1, so 0 marks it empty whatever the key bits are. With a 32-bit Index the
// map can number UINT32_MAX - 1 vertices; the caller asks can_number() before a batch and
// moves to a map with a wider Index when the answer is no (rebuild_from()).
//
// Invariants: capacity is 0 or a power of two >= kMinCapacity; size <= capacity / 2 after
// every insertion; every probe sequence ends at an empty slot. Single owner, no locking.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "support/fast_hash.h"
#include "support/hash_keys.h"
#include "support/large_block.h"
#include "support/memory_reserve.h"
#include "support/pod_vector.h"
#include "support/vec3.h"

namespace quarvex::stl {

struct VertexKey {
  std::uint32_t x, y, z;
  bool operator==(const VertexKey&) const = default;
};

// Keyed per map so the slot order of one call says nothing about the next.
struct VertexHasher {
  HashKeys keys;
  std::uint64_t operator()(const VertexKey& k) const noexcept {
    const std::uint64_t lo = static_cast<std::uint64_t>(k.x) | (static_cast<std::uint64_t>(k.y) << 32);
    return keyed_mix(lo, k.z, keys.k0, keys.k1);
  }
};

template <class Index>
class VertexIndexMap {
  struct Slot {
    std::uint32_t x, y, z;
    Index tag;  // index + 1; 0 when the slot is empty
  };
  static_assert(sizeof(Index) != 4 || sizeof(Slot) == 16, "four slots to a cache line");

 public:
  explicit VertexIndexMap(VertexHasher hasher) noexcept : hasher_(hasher) {}
  VertexIndexMap(const VertexIndexMap&) = delete;  // slots_ points into block_
  VertexIndexMap& operator=(const VertexIndexMap&) = delete;

  // Whether the indices below `count` can all be stored.
  static constexpr bool can_number(std::uint64_t count) noexcept {
    return count <= std::uint64_t{std::numeric_limits<Index>::max()};
  }

  // Unconditional on purpose: GCC drops a __builtin_prefetch that sits under a branch.
  // An empty map prefetches its static placeholder slot.
  void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(slots_ + (hash & mask_)); }

  // The index stored for `key`; when absent, stores `next_index` and returns it.
  // `hash` must be hasher()(key); can_number(next_index + 1) must hold.
  std::uint64_t find_or_insert(const VertexKey& key, std::uint64_t hash, std::uint64_t next_index) {
    if (size_ >= capacity_ / 2) grow();
    Slot* const table = slots_;
    std::size_t i = hash & mask_;
    for (;;) {
      Slot& s = table[i];
      if (s.tag == 0) {
        s = Slot{key.x, key.y, key.z, static_cast<Index>(next_index + 1)};
        ++size_;
        return next_index;
      }
      if (s.x == key.x && s.y == key.y && s.z == key.z) return static_cast<std::uint64_t>(s.tag) - 1;
      i = (i + 1) & mask_;
    }
  }

  // Fills an empty map with vertices[i] -> i, for a map that outgrew its Index.
  void rebuild_from(const PodVector<Vec3f>& vertices) {
    for (std::size_t i = 0; i < vertices.size(); ++i) {
      const VertexKey key = key_of(vertices[i]);
      find_or_insert(key, hasher_(key), i);
    }
  }

  // Returns the storage; the map is empty afterwards.
  void clear() noexcept {
    LargeBlock().swap(block_);
    slots_ = &placeholder_;
    capacity_ = mask_ = size_ = 0;
  }

  static VertexKey key_of(const Vec3f& v) noexcept {
    return VertexKey{std::bit_cast<std::uint32_t>(v.x), std::bit_cast<std::uint32_t>(v.y),
                     std::bit_cast<std::uint32_t>(v.z)};
  }

 private:
  static constexpr std::size_t kMinCapacity = 256;

  static inline Slot placeholder_{};
  void grow() {
    const std::size_t capacity = capacity_ == 0 ? kMinCapacity : capacity_ * 2;
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(Slot)) throw_out_of_memory();
    LargeBlock block(capacity * sizeof(Slot));  // zero: every slot empty
    Slot* const fresh = static_cast<Slot*>(block.data());
    const std::size_t mask = capacity - 1;
    const Slot* const old = slots_;
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (old[i].tag == 0) continue;
      std::size_t j = hasher_(VertexKey{old[i].x, old[i].y, old[i].z}) & mask;
      while (fresh[j].tag != 0) j = (j + 1) & mask;
      fresh[j] = old[i];
    }
    block_.swap(block);
    slots_ = fresh;
    capacity_ = capacity;
    mask_ = mask;
  }

  VertexHasher hasher_;
  LargeBlock block_;
  Slot* slots_ = &placeholder_;  // block_'s slots, or the placeholder while capacity_ is 0
  std::size_t capacity_ = 0;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quarvex::stl
