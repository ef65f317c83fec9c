// The module's general open-addressing hash table.
//
// Used for the per-piece vertex normal maps and the numbering of the grid's occupied cells
// (the vertex merge has its own, leaner maps: stl/vertex_index_map.h, ingest/vertex_sum_table.h).
// Not thread-safe: each table has exactly one owner at a time. Allocation failure, also of a
// size past the address space, throws std::bad_alloc.
//
// Invariants:
//  - capacity is 0 (an empty table owns no storage) or a power of two >= 16;
//  - ctrl[i] == 0 marks an empty slot, otherwise 0x80 | (top 7 bits of the hash) and the
//    slot holds a constructed entry;
//  - linear probing from bucket (hash & mask); at most 7/8 of the slots are occupied, so
//    every probe sequence ends at an empty slot;
//  - the table grows (doubling, every entry rehashed with the same hasher) before a lookup
//    that could insert into a full table, whether or not the key is then found;
//  - iteration visits occupied slots in ascending bucket order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "support/memory_reserve.h"

namespace quarvex {

template <class Key, class Value, class Hasher, class KeyEqual = std::equal_to<Key>>
class FlatTable {
 public:
  struct Entry {
    Key key;
    Value value;
  };

  explicit FlatTable(Hasher hasher = Hasher()) noexcept : hasher_(std::move(hasher)) {}
  FlatTable(const FlatTable&) = delete;
  FlatTable& operator=(const FlatTable&) = delete;
  FlatTable(FlatTable&& other) noexcept { take(other); }
  FlatTable& operator=(FlatTable&& other) noexcept {
    if (this != &other) {
      destroy();
      take(other);
    }
    return *this;
  }
  ~FlatTable() { destroy(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  const Hasher& hasher() const noexcept { return hasher_; }

  // Finds `key`, inserting a default-constructed value when absent. Returns the entry and
  // whether it was inserted. `hash` must be hasher()(key).
  std::pair<Entry*, bool> find_or_insert(const Key& key, std::uint64_t hash) {
    if (growth_left_ == 0) grow();
    const std::uint8_t tag = tag_of(hash);
    std::size_t i = static_cast<std::size_t>(hash) & mask_;
    for (;;) {
      const std::uint8_t c = ctrl_[i];
      if (c == 0) {
        ::new (static_cast<void*>(&slots_[i])) Entry{key, Value()};
        ctrl_[i] = tag;
        ++size_;
        --growth_left_;
        return {&slots_[i], true};
      }
      if (c == tag && eq_(slots_[i].key, key)) return {&slots_[i], false};
      i = (i + 1) & mask_;
    }
  }
  std::pair<Entry*, bool> find_or_insert(const Key& key) { return find_or_insert(key, hasher_(key)); }

  // Visits every entry in ascending bucket order: fn(Entry&).
  template <class Fn>
  void for_each(Fn&& fn) {
    for (std::size_t i = 0; i < capacity_; ++i)
      if (ctrl_[i] != 0) fn(slots_[i]);
  }
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (std::size_t i = 0; i < capacity_; ++i)
      if (ctrl_[i] != 0) fn(static_cast<const Entry&>(slots_[i]));
  }

 private:
  static constexpr std::size_t kMinCapacity = 16;

  static std::uint8_t tag_of(std::uint64_t hash) noexcept {
    return static_cast<std::uint8_t>(0x80u | (hash >> 57));
  }
  static std::size_t max_load(std::size_t capacity) noexcept { return capacity - capacity / 8; }

  void grow() {
    const std::size_t new_capacity = capacity_ == 0 ? kMinCapacity : capacity_ * 2;
    if (new_capacity > static_cast<std::size_t>(-1) / sizeof(Entry)) throw_out_of_memory();
    std::unique_ptr<std::uint8_t[]> new_ctrl(new std::uint8_t[new_capacity]());
    Entry* new_slots = static_cast<Entry*>(
        ::operator new(new_capacity * sizeof(Entry), std::align_val_t{alignof(Entry)}));
    const std::size_t new_mask = new_capacity - 1;
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (ctrl_[i] == 0) continue;
      Entry& e = slots_[i];
      std::size_t j = static_cast<std::size_t>(hasher_(e.key)) & new_mask;
      while (new_ctrl[j] != 0) j = (j + 1) & new_mask;
      ::new (static_cast<void*>(&new_slots[j])) Entry(std::move(e));
      e.~Entry();
      new_ctrl[j] = ctrl_[i];
    }
    release_storage();
    ctrl_ = new_ctrl.release();
    slots_ = new_slots;
    capacity_ = new_capacity;
    mask_ = new_mask;
    growth_left_ = max_load(new_capacity) - size_;
  }

  void release_storage() noexcept {
    if (capacity_ == 0) return;
    delete[] ctrl_;
    ::operator delete(slots_, std::align_val_t{alignof(Entry)});
  }

  void destroy() noexcept {
    for (std::size_t i = 0; i < capacity_; ++i)
      if (ctrl_[i] != 0) slots_[i].~Entry();
    release_storage();
  }

  void reset() noexcept {
    ctrl_ = nullptr;
    slots_ = nullptr;
    capacity_ = mask_ = growth_left_ = size_ = 0;
  }

  void take(FlatTable& other) noexcept {
    hasher_ = std::move(other.hasher_);
    ctrl_ = other.ctrl_;
    slots_ = other.slots_;
    capacity_ = other.capacity_;
    mask_ = other.mask_;
    growth_left_ = other.growth_left_;
    size_ = other.size_;
    other.reset();
  }

  [[no_unique_address]] Hasher hasher_;
  [[no_unique_address]] KeyEqual eq_;
  std::uint8_t* ctrl_ = nullptr;
  Entry* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t mask_ = 0;
  std::size_t growth_left_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quarvex
