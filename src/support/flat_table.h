// The module's one open-addressing hash table, for the vertex merge's sums and the numbering
// of the grid's occupied cells.
//
// Linear probing over slots that hold their key and value together. A table is made for an
// expected count at under half full, so a lookup of a key that is not in cache costs one miss
// and probes about 1.5 slots (a file whose triangles come in random order looks up almost
// every vertex cold). A table that outgrows its estimate (a mesh whose triangles share no
// vertex has six times the vertices expected) fills to three quarters before it doubles: it
// then probes longer, but holds its keys in half the memory. What a slot holds
// is the slot type's business (the slot policy); the table only needs:
//
//   using Key = ...;
//   bool used() const;              // false for a slot of all zero bytes
//   bool holds(const Key&) const;   // only asked of used slots
//   void claim(const Key&);         // marks an empty slot used for the key
//   Key stored_key() const;         // for rehashing on growth
//
// and, optionally, `static bool storable(const Key&)`: false for a key whose claimed slot
// would read as empty (one that stores keys in a coded form may have one such key), which
// the table then never holds and the owner keeps elsewhere.
//
// Slots are trivially copyable and live in a zero-filled LargeBlock, so every slot starts
// empty without being written. A key's first slot (its home) is one from which a line's
// worth of slots lies in one cache line: the first slot of every line when the slot size
// divides 64, the first, fourth and seventh of every eight 24-byte slots (three lines, in
// which the third and sixth straddle two). The home is picked by the low 32 bits of the hash
// scaled to the count of such runs of lines (multiply, keep the high half; the low half then
// picks among a run's homes): the capacity, a multiple of a run's slots, need not be a power
// of two, so a table sized for an expected count has 2.25 slots per key (and 2 more, rounded
// up to a run) wherever the count falls between two powers of two, and in a block aligned to
// cache lines the first probes of a cold lookup share one miss (from a home in the middle of
// a line, a lookup that passes one slot would go on into the next line). Not thread-safe: each table
// has exactly one owner at a time. Allocation failure, also of a size past the address
// space, throws std::bad_alloc.
//
// Invariants: kMinCapacity <= capacity <= 2^32, except in a moved-from, drained or compacted table,
// which has capacity 0 and no slots: it may be destroyed, assigned to, swapped, iterated or
// drained, but not looked up in, reserved or presized; size <= capacity / 4 * 3, so every
// probe sequence (wrapping from the last slot to the first) ends at an empty slot; the
// table doubles (every slot rehashed with the same hasher) before an insertion would make it
// more than three quarters full, unless its owner reserved or presized room first;
// iteration visits used slots in ascending slot order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <utility>

#include "support/large_block.h"
#include "support/memory_reserve.h"
#include "support/prefetch.h"

namespace quarvex {

// The shortest run of slots of kSize bytes that ends at a line boundary (one line when
// kSize divides 64), and its homes: a home is a slot from which kPerLine slots, as many as
// a line holds whole, lie in one line; a run's kHomes homes are every kHomeStep-th slot from
// its first (for 24-byte slots the first, fourth and seventh of eight).
template <std::size_t kSize>
struct SlotRun {
  static constexpr std::size_t kPerLine = kSize >= 64 ? 1 : 64 / kSize;
  static constexpr std::size_t kSlots = std::lcm(kSize, std::size_t{64}) / kSize;
  static constexpr bool is_home(std::size_t slot) {
    return kSize >= 64 || slot * kSize % 64 + kPerLine * kSize <= 64;
  }
  static constexpr std::size_t kHomeStep = [] {
    std::size_t step = 1;
    while (step < kSlots && !is_home(step)) ++step;
    return step;
  }();
  static constexpr std::size_t kHomes = (kSlots + kHomeStep - 1) / kHomeStep;
  static_assert([] {
    for (std::size_t i = 0; i < kSlots; ++i)
      if (is_home(i) != (i % kHomeStep == 0)) return false;
    return true;
  }(), "homes evenly spaced in a run");
};

template <class Slot, class Hasher>
class FlatTable {
  static_assert(std::is_trivially_copyable_v<Slot>);

 public:
  using Key = typename Slot::Key;

  // Room for about `expected` keys before the first growth.
  explicit FlatTable(Hasher hasher, std::size_t expected = 0) : hasher_(std::move(hasher)) {
    allocate(capacity_for(expected));
  }
  // A moved-from table is empty and owns no storage.
  FlatTable(FlatTable&& other) noexcept
      : hasher_(other.hasher_), block_(std::move(other.block_)),
        slots_(std::exchange(other.slots_, nullptr)), capacity_(std::exchange(other.capacity_, 0)),
        size_(std::exchange(other.size_, 0)) {}
  FlatTable& operator=(FlatTable&& other) noexcept {
    FlatTable(std::move(other)).swap(*this);
    return *this;
  }
  void swap(FlatTable& other) noexcept {
    std::swap(hasher_, other.hasher_);
    block_.swap(other.block_);
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(size_, other.size_);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  const Hasher& hasher() const noexcept { return hasher_; }

  // Room for `keys` keys at no more than three quarters full: a table with less grows now,
  // in one step.
  void reserve(std::size_t keys) {
    if (keys <= capacity_ / 4 * 3) return;
    if (keys > kMaxCapacity / 4 * 3) throw_out_of_memory();
    grow_to(std::min(whole_runs(keys / 3 * 4 + 4), kMaxCapacity));
  }

  // The room a table made for `expected` keys has: a table with less grows now, in one step.
  void presize(std::size_t expected) {
    const std::size_t capacity = capacity_for(expected);
    if (capacity > capacity_) grow_to(capacity);
  }

  // Unconditional on purpose: GCC drops a __builtin_prefetch that sits under a branch.
  void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(slots_ + home(hash)); }

  // The slot of `key`, claimed for it when the key is new, and whether it was new (its
  // value then all zero bytes); for a key that is not storable, {nullptr, true} and the
  // table is unchanged. `hash` is hasher()(key) or only its low 32 bits (the table never
  // has more than 2^32 slots). The slot stays valid until the next insertion.
  std::pair<Slot*, bool> find_or_insert(const Key& key, std::uint64_t hash) {
    std::size_t i = home(hash);
    for (;;) {
      Slot& s = slots_[i];
      if (!s.used()) break;
      if (s.holds(key)) return {&s, false};
      i = next(i);
    }
    // Such a key matches no used slot, so it always ends up here: a found key pays nothing.
    if constexpr (requires { Slot::storable(key); }) {
      if (!Slot::storable(key)) [[unlikely]] return {nullptr, true};
    }
    if (size_ + 1 > capacity_ / 4 * 3) [[unlikely]] {
      grow();
      i = home(hash);
      while (slots_[i].used()) i = next(i);
    }
    slots_[i].claim(key);
    ++size_;
    return {&slots_[i], true};
  }

  // fn(slot) for every used slot, in slot order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    visit_used(static_cast<const Slot*>(slots_), 0, capacity_, fn);
  }

  // for_each, handing the memory of the slots already visited back to the system as the
  // visit goes (what is made from the slots then takes the place of the table rather than
  // adding to it); the table is left empty and without storage.
  template <class Fn>
  void drain(Fn&& fn) {
    LargeBlock block;
    block.swap(block_);
    visit_releasing(block, slots_, capacity_, fn);
    slots_ = nullptr;
    capacity_ = 0;
    size_ = 0;
  }

  // Rewrites the table in its own memory as an array of fn(slot), one value of a slot's size
  // for every used slot in slot order: the k-th value is stored where slot k was, which the
  // visit has already passed (it is at or before the slot being read), so no slot is
  // overwritten before it is read. Returns that memory; the table is left empty and without
  // storage, like a drained one.
  template <class Out, class Fn>
  LargeBlock compact_to(Fn&& fn) {
    static_assert(sizeof(Out) == sizeof(Slot) && std::is_trivially_copyable_v<Out>);
    LargeBlock block;
    block.swap(block_);
    auto* out = static_cast<std::byte*>(block.data());
    auto write = [&](const Slot& slot) {
      const Slot read = slot;
      const Out value = fn(read);
      // Stored as bytes: the memory is read as slots further on.
      std::memcpy(out, &value, sizeof(Out));
      out += sizeof(Out);
    };
    visit_used(slots_, 0, capacity_, write);
    slots_ = nullptr;
    capacity_ = 0;
    size_ = 0;
    return block;
  }

 private:
  static constexpr std::size_t kMinCapacity = 16;
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 32;

  static std::size_t capacity_for(std::size_t expected) {
    if (expected >= kMaxCapacity / 2) throw_out_of_memory();
    // An eighth to spare: an estimate that is right on average is exceeded half the time.
    return whole_runs(std::max(kMinCapacity, 2 * expected + expected / 4 + 2));
  }

  // A run of slots (see SlotRun) and its homes.
  static constexpr std::size_t kRunSlots = SlotRun<sizeof(Slot)>::kSlots;
  static constexpr std::size_t kHomeStep = SlotRun<sizeof(Slot)>::kHomeStep;
  static constexpr std::size_t kHomes = SlotRun<sizeof(Slot)>::kHomes;
  static_assert(kMinCapacity % kRunSlots == 0 && kMaxCapacity % kRunSlots == 0);

  static std::size_t whole_runs(std::size_t slots) noexcept { return (slots + kRunSlots - 1) / kRunSlots * kRunSlots; }

  std::size_t home(std::uint64_t hash) const noexcept {
    const std::uint64_t at = std::uint64_t{static_cast<std::uint32_t>(hash)} * (capacity_ / kRunSlots);
    const std::size_t run = kRunSlots * static_cast<std::size_t>(at >> 32);
    if constexpr (kHomes == 1) {
      return run;
    } else {
      return run + kHomeStep * static_cast<std::size_t>((std::uint64_t{static_cast<std::uint32_t>(at)} * kHomes) >> 32);
    }
  }
  std::size_t next(std::size_t i) const noexcept { return i + 1 == capacity_ ? 0 : i + 1; }

  void allocate(std::size_t capacity) {
    if (capacity > kMaxCapacity) throw_out_of_memory();
    LargeBlock(capacity * sizeof(Slot)).swap(block_);
    slots_ = static_cast<Slot*>(block_.data());
    capacity_ = capacity;
  }

  // fn(slot) for the used slots among slots[begin, end), in slot order. The used slots of a
  // batch are listed first without a branch: in a table under half full, whether a slot is
  // used is a coin toss that a branch would mispredict every other slot. The slots are read
  // once, in order, so they are asked for ahead.
  template <class Fn>
  static void visit_used(const Slot* slots, std::size_t begin, std::size_t end, Fn& fn) {
    constexpr std::size_t kBatch = 256;
    std::uint32_t used[kBatch];
    for (std::size_t b = begin; b < end; b += kBatch) {
      const std::size_t count = std::min(end - b, kBatch);
      std::size_t n = 0;
      for (std::size_t k = 0; k < count; ++k) {
        prefetch_ahead(slots + b + k, kStreamAheadBytes);
        used[n] = static_cast<std::uint32_t>(k);
        n += slots[b + k].used() ? 1 : 0;
      }
      for (std::size_t k = 0; k < n; ++k) fn(slots[b + used[k]]);
    }
  }

  // visit_used over all of `block`, each huge page of it handed back once the visit has
  // passed it (and the slot that straddles its end, when one does).
  template <class Fn>
  static void visit_releasing(LargeBlock& block, const Slot* slots, std::size_t capacity, Fn& fn) {
    constexpr std::size_t kStep = (kHugePageBytes + sizeof(Slot) - 1) / sizeof(Slot);
    for (std::size_t i = 0; i < capacity; i += kStep) {
      const std::size_t stop = std::min(capacity, i + kStep);
      visit_used(slots, i, stop, fn);
      block.release_front(stop * sizeof(Slot));
    }
  }

  // The old slots' memory goes back as they are moved, so a growth holds little more than
  // the new table.
  [[gnu::noinline]] void grow() {
    if (capacity_ >= kMaxCapacity) throw_out_of_memory();
    grow_to(std::min(2 * capacity_, kMaxCapacity));
  }

  void grow_to(std::size_t capacity) {
    LargeBlock old;
    old.swap(block_);
    const Slot* const from = slots_;
    const std::size_t old_capacity = capacity_;
    allocate(capacity);
    auto move = [&](const Slot& slot) {
      std::size_t j = home(hasher_(slot.stored_key()));
      while (slots_[j].used()) j = next(j);
      slots_[j] = slot;
    };
    visit_releasing(old, from, old_capacity, move);
  }

  Hasher hasher_;
  LargeBlock block_;
  Slot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quarvex
