// A concurrent map from 64-bit keys to values, split into independently locked shards.
//
// Invariants:
//  - S (the shard count) is a power of two > 1, fixed at creation; shift = 64 - log2(S);
//  - a key's hash is SipHash-1-3 of its 8 little-endian bytes under the map's own random
//    keys (k0, k1); its shard is the log2(S) bits just below the top 7 hash bits, i.e.
//    (hash << 7) >> shift; inside the shard's table the same hash picks the bucket (low
//    bits) and the tag (top 7 bits), so shard choice and tag never share bits;
//  - each shard slot is 128-byte aligned and exactly 128 bytes, so no two lock words share
//    a 128-byte block; an empty shard owns no table storage;
//  - entries are never removed before the map is destroyed, which releases every value.
//
// Shared state, per shard slot: `lock` is taken by every thread that touches the slot;
// `table` is written only by a holder of the exclusive lock (update) and read only by a
// holder of the shared lock (for_each, size). The lock's acquire/release orderings publish
// the table between holders. A thread holds at most one exclusive lock at a time; for_each
// holds two shared locks only while moving from one shard to the next.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "support/fault.h"
#include "support/flat_table.h"
#include "support/hash_keys.h"
#include "parallel/rw_lock.h"
#include "parallel/shard_count.h"
#include "support/siphash.h"

namespace quarvex::parallel {

// The keyed hash of the map, also used by each shard's table when it rehashes on growth.
struct ShardHasher {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
  std::uint64_t operator()(std::uint64_t key) const noexcept { return siphash13_u64(k0, k1, key); }
};

template <class V>
class ShardedMap {
 public:
  using Table = FlatTable<std::uint64_t, V, ShardHasher>;

  // Fresh per-map keys from the calling thread and the process-wide shard count.
  ShardedMap() : ShardedMap(next_map_keys()) {}
  explicit ShardedMap(HashKeys keys) : ShardedMap(keys, default_shard_count()) {}
  // Explicit keys and shard count, for tests; the shard count must be a power of two > 1.
  ShardedMap(HashKeys keys, std::size_t shard_amount) : k0_(keys.k0), k1_(keys.k1) {
    if (!(shard_amount > 1)) fault("assertion failed: shard_amount > 1");
    if (!std::has_single_bit(shard_amount))
      fault("assertion failed: shard_amount.is_power_of_two()");
    shards_ = std::make_unique<Slot[]>(shard_amount);
    for (std::size_t i = 0; i < shard_amount; ++i) shards_[i].table = Table(ShardHasher{k0_, k1_});
    shard_amount_ = shard_amount;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(shard_amount));
  }

  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  // Applies f(V&) to the key's value under the shard's exclusive lock, inserting V{} first
  // when the key is absent. The lock is released also when f throws.
  template <class F>
  void update(std::uint64_t key, F&& f) {
    const std::uint64_t hash = hash_of(key);
    Slot& slot = shards_[shard_of_hash(hash)];
    slot.lock.lock();
    ExclusiveGuard guard{slot.lock};
    auto found = slot.table.find_or_insert(key, hash);
    f(found.first->value);
  }

  // Visits every entry as f(key, const V&), shard by shard in index order, each shard's
  // entries in ascending bucket order. The next shard's shared lock is taken before the
  // current one is released.
  template <class F>
  void for_each(F&& f) {
    shards_[0].lock.lock_shared();
    SharedGuard guard{&shards_[0].lock};
    for (std::size_t i = 0;; ++i) {
      const Table& table = shards_[i].table;
      table.for_each([&](const typename Table::Entry& e) { f(e.key, e.value); });
      if (i + 1 == shard_amount_) break;
      RwLock& next = shards_[i + 1].lock;
      next.lock_shared();
      guard.lock->unlock_shared();
      guard.lock = &next;
    }
  }

  // Total number of entries; takes each shard's shared lock in turn.
  std::size_t size() {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shard_amount_; ++i) {
      Slot& slot = shards_[i];
      slot.lock.lock_shared();
      total += slot.table.size();
      slot.lock.unlock_shared();
    }
    return total;
  }

  std::size_t shard_count() const noexcept { return shard_amount_; }
  std::size_t shard_of(std::uint64_t key) const noexcept { return shard_of_hash(hash_of(key)); }
  HashKeys keys() const noexcept { return HashKeys{k0_, k1_}; }

 private:
  struct alignas(128) Slot {
    RwLock lock;
    Table table;
  };
  static_assert(sizeof(Slot) == 128 && alignof(Slot) == 128,
                "one shard per 128 bytes: lock words never share a block");

  struct ExclusiveGuard {
    RwLock& lock;
    ~ExclusiveGuard() { lock.unlock(); }
  };
  struct SharedGuard {
    RwLock* lock;  // held whenever the guard is destroyed
    ~SharedGuard() { lock->unlock_shared(); }
  };

  std::uint64_t hash_of(std::uint64_t key) const noexcept { return siphash13_u64(k0_, k1_, key); }
  std::size_t shard_of_hash(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash << 7) >> shift_);
  }

  std::unique_ptr<Slot[]> shards_;
  std::size_t shard_amount_ = 0;
  unsigned shift_ = 64;
  std::uint64_t k0_;
  std::uint64_t k1_;
};

}  // namespace quarvex::parallel
