// One hash group of the parallel vertex merge: a vertex's 96-bit pattern -> the running sum
// of the stored normals of the faces that name it.
//
// Open addressing with linear probing over 32-byte slots that hold the key, a used flag and
// the sum together, so a lookup of a vertex that is not in cache costs one miss (a file whose
// triangles come in random order looks up almost every vertex cold). The table is at most
// half full after every insertion. A fresh mapping is zero, so every slot starts empty.
//
// Invariants: capacity is a power of two >= kMinCapacity; size <= capacity / 2; every probe
// sequence ends at an empty slot. A slot's sum is the first normal added for its key, then
// every later one added to it in the order of the calls (so the sum does not depend on how
// the file was cut). Single owner: one worker fills a table, and the caller reads it only
// after the loop that filled it has ended.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "stl/vertex_index_map.h"
#include "support/large_block.h"
#include "support/vec3.h"

namespace quarvex::stl {

struct SumSlot {
  std::uint32_t x, y, z;  // the key: the position's bits
  std::uint32_t used;     // 0 while the slot is empty
  Vec3f sum;
  std::uint32_t unused_;
};
static_assert(sizeof(SumSlot) == 32, "two slots to a cache line");

class VertexSumTable {
 public:
  // Room for about `expected` keys before the first growth.
  explicit VertexSumTable(std::size_t expected) { allocate(capacity_for(expected)); }
  VertexSumTable(VertexSumTable&&) noexcept = default;
  VertexSumTable& operator=(VertexSumTable&&) noexcept = default;

  std::size_t size() const noexcept { return size_; }

  void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(slots_ + (hash & mask_)); }

  // Makes sure `more` insertions need no growth. Returns true when the table grew (slot
  // pointers handed out before are then invalid).
  template <class Hasher>
  bool reserve_more(std::size_t more, const Hasher& hasher) {
    if (size_ + more <= capacity_ / 2) return false;
    std::size_t capacity = capacity_;
    while (size_ + more > capacity / 2) {
      if (capacity > std::numeric_limits<std::size_t>::max() / (2 * sizeof(SumSlot))) throw std::bad_alloc();
      capacity *= 2;
    }
    rehash(capacity, hasher);
    return true;
  }

  // Adds `normal` to the sum of `key`, inserting the key with `normal` as its sum when it is
  // new. `hash` is the hasher's value of the key; reserve_more(1) must have been called.
  SumSlot* add(const VertexKey& key, std::uint64_t hash, Vec3f normal) noexcept {
    std::size_t i = hash & mask_;
    for (;;) {
      SumSlot& s = slots_[i];
      if (s.used == 0) {
        s.x = key.x, s.y = key.y, s.z = key.z;
        s.used = 1;
        s.sum = normal;  // not 0 + normal: a stored -0 stays -0
        ++size_;
        return &s;
      }
      if (s.x == key.x && s.y == key.y && s.z == key.z) {
        add_to(s, normal);
        return &s;
      }
      i = (i + 1) & mask_;
    }
  }

  static void add_to(SumSlot& s, Vec3f normal) noexcept {
    s.sum.x += normal.x;
    s.sum.y += normal.y;
    s.sum.z += normal.z;
  }

  // fn(position, sum) for every key, in slot order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (std::size_t i = 0; i < capacity_; ++i) {
      const SumSlot& s = slots_[i];
      if (s.used == 0) continue;
      fn(Vec3f{std::bit_cast<float>(s.x), std::bit_cast<float>(s.y), std::bit_cast<float>(s.z)}, s.sum);
    }
  }

 private:
  static constexpr std::size_t kMinCapacity = 256;

  static std::size_t capacity_for(std::size_t expected) {
    if (expected > std::numeric_limits<std::size_t>::max() / (4 * sizeof(SumSlot))) throw std::bad_alloc();
    return std::max(kMinCapacity, std::bit_ceil(2 * expected + 1));
  }

  void allocate(std::size_t capacity) {
    LargeBlock(capacity * sizeof(SumSlot)).swap(block_);
    slots_ = static_cast<SumSlot*>(block_.data());
    capacity_ = capacity;
    mask_ = capacity - 1;
  }

  template <class Hasher>
  void rehash(std::size_t capacity, const Hasher& hasher) {
    LargeBlock old;
    old.swap(block_);
    const SumSlot* const from = slots_;
    const std::size_t old_capacity = capacity_;
    allocate(capacity);
    for (std::size_t i = 0; i < old_capacity; ++i) {
      if (from[i].used == 0) continue;
      std::size_t j = hasher(VertexKey{from[i].x, from[i].y, from[i].z}) & mask_;
      while (slots_[j].used != 0) j = (j + 1) & mask_;
      slots_[j] = from[i];
    }
  }

  LargeBlock block_;
  SumSlot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quarvex::stl
