// One hash group of the parallel vertex merge: a vertex's 96-bit pattern -> the running sum
// of the stored normals of the faces that name it.
//
// Open addressing with linear probing over 32-byte slots that hold the key, a used flag and
// the sum together, so a lookup of a vertex that is not in cache costs one miss (a file whose
// triangles come in random order looks up almost every vertex cold). The table doubles
// before an insertion would make it more than half full. A fresh mapping is zero, so every
// slot starts empty.
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
#include "support/memory_reserve.h"
#include "support/vec3.h"

namespace quarvex::ingest {

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
  VertexSumTable(stl::VertexHasher hasher, std::size_t expected) : hasher_(hasher) { allocate(capacity_for(expected)); }
  VertexSumTable(VertexSumTable&&) noexcept = default;
  VertexSumTable& operator=(VertexSumTable&&) noexcept = default;

  std::size_t size() const noexcept { return size_; }

  void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(slots_ + (hash & mask_)); }

  // Adds `normal` to the sum of `key`, inserting the key with `normal` as its sum when it is
  // new. `hash` must be the hasher's value of the key, or its low 32 bits (the table never
  // has more than 2^32 slots).
  void add(const stl::VertexKey& key, std::uint64_t hash, Vec3f normal) {
    std::size_t i = hash & mask_;
    for (;;) {
      SumSlot& s = slots_[i];
      if (s.used == 0) break;
      if (s.x == key.x && s.y == key.y && s.z == key.z) {
        s.sum.x += normal.x;
        s.sum.y += normal.y;
        s.sum.z += normal.z;
        return;
      }
      i = (i + 1) & mask_;
    }
    if (size_ + 1 > capacity_ / 2) {
      grow();
      i = hash & mask_;
      while (slots_[i].used != 0) i = (i + 1) & mask_;
    }
    SumSlot& s = slots_[i];
    s.x = key.x, s.y = key.y, s.z = key.z;
    s.used = 1;
    s.sum = normal;  // not 0 + normal: a stored -0 stays -0
    ++size_;
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
    if (expected > std::numeric_limits<std::size_t>::max() / (4 * sizeof(SumSlot))) throw_out_of_memory();
    return std::max(kMinCapacity, std::bit_ceil(2 * expected + 1));
  }

  void allocate(std::size_t capacity) {
    LargeBlock(capacity * sizeof(SumSlot)).swap(block_);
    slots_ = static_cast<SumSlot*>(block_.data());
    capacity_ = capacity;
    mask_ = capacity - 1;
  }

  [[gnu::noinline]] void grow() {
    if (capacity_ >= (std::size_t{1} << 32)) throw_out_of_memory();
    LargeBlock old;
    old.swap(block_);
    const SumSlot* const from = slots_;
    const std::size_t old_capacity = capacity_;
    allocate(2 * capacity_);
    for (std::size_t i = 0; i < old_capacity; ++i) {
      if (from[i].used == 0) continue;
      std::size_t j = hasher_(stl::VertexKey{from[i].x, from[i].y, from[i].z}) & mask_;
      while (slots_[j].used != 0) j = (j + 1) & mask_;
      slots_[j] = from[i];
    }
  }

  stl::VertexHasher hasher_;
  LargeBlock block_;
  SumSlot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quarvex::ingest
