// The sharded map: shard count rule, creation checks, concurrent updates, shard-by-shard
// iteration, per-map key randomness and the lifetime of stored values.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fault.h"
#include "parallel/cpu_count.h"
#include "parallel/sharded_map.h"

namespace quarvex::parallel {
namespace {

using ListMap = ShardedMap<std::vector<std::uint64_t>>;

std::vector<std::uint64_t> keys_in_visit_order(ListMap& map) {
  std::vector<std::uint64_t> order;
  map.for_each([&](std::uint64_t key, const std::vector<std::uint64_t>&) { order.push_back(key); });
  return order;
}

TEST(ShardCount, FourPerCpuRoundedUpToAPowerOfTwo) {
  const std::pair<std::size_t, std::size_t> table[] = {
      {0, 4}, {1, 4}, {2, 8}, {3, 16}, {4, 16}, {5, 32}, {8, 32}, {9, 64}, {16, 64}, {17, 128}};
  for (auto [cpus, shards] : table) EXPECT_EQ(shard_count_for(cpus), shards) << cpus << " CPUs";
  EXPECT_EQ(default_shard_count(), shard_count_for(available_cpus()));

  const auto message_of = [](std::size_t shards) {
    try {
      ListMap map(HashKeys{1, 2}, shards);
    } catch (const InternalFault& f) {
      return f.message();
    }
    return std::string("no fault");
  };
  EXPECT_EQ(message_of(1), "assertion failed: shard_amount > 1");
  EXPECT_EQ(message_of(0), "assertion failed: shard_amount > 1");
  EXPECT_EQ(message_of(12), "assertion failed: shard_amount.is_power_of_two()");
}

TEST(ShardedMapBasics, EmptyMapAndSingleCell) {
  ListMap empty;
  EXPECT_EQ(empty.shard_count(), default_shard_count());
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_TRUE(keys_in_visit_order(empty).empty());

  // Every update to one key lands in one entry of one shard.
  ListMap one(HashKeys{7, 9}, 4);
  for (std::uint64_t i = 0; i < 100; ++i) one.update(42, [&](auto& list) { list.push_back(i); });
  std::size_t visits = 0;
  one.for_each([&](std::uint64_t key, const std::vector<std::uint64_t>& list) {
    ++visits;
    EXPECT_EQ(key, 42u);
    EXPECT_EQ(list.size(), 100u);
  });
  EXPECT_EQ(visits, 1u);
  EXPECT_EQ(one.shard_of(42), (siphash13_u64(7, 9, 42) >> 55) & 3);
}

TEST(ShardedMapBasics, IterationGoesShardByShardAndSpreadsKeys) {
  ListMap map(HashKeys{0x1234, 0x5678}, 8);
  for (std::uint64_t k = 0; k < 8000; ++k) map.update(k * 977, [](auto&) {});
  EXPECT_EQ(map.size(), 8000u);
  std::vector<std::size_t> per_shard(8);
  std::size_t last = 0;
  map.for_each([&](std::uint64_t key, const auto&) {
    const std::size_t s = map.shard_of(key);
    EXPECT_GE(s, last) << "shards visited out of order";
    last = s;
    ++per_shard[s];
  });
  for (std::size_t n : per_shard) {
    EXPECT_GT(n, 800u);
    EXPECT_LT(n, 1200u);
  }
  // The shard comes from the 3 bits just below the 7 tag bits of the keyed hash.
  for (std::uint64_t k : {0ull, 1ull, 977ull, ~0ull})
    EXPECT_EQ(map.shard_of(k), (siphash13_u64(0x1234, 0x5678, k) >> 54) & 7) << k;
}

TEST(ShardedMapBasics, OrderDiffersBetweenMapsWithTheSameKeys) {
  ListMap first, second;
  EXPECT_NE(first.keys().k0, second.keys().k0);
  for (std::uint64_t k = 0; k < 1000; ++k) {
    first.update(k, [&](auto& list) { list.push_back(k); });
    second.update(k, [&](auto& list) { list.push_back(k); });
  }
  auto a = keys_in_visit_order(first), b = keys_in_visit_order(second);
  EXPECT_NE(a, b);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.size(), 1000u);
}

TEST(ShardedMapConcurrency, ManyThreadsInsertEveryRecordOnce) {
  constexpr std::uint64_t kThreads = 8, kPerThread = 20000, kCells = 3001;
  ListMap map;
  std::vector<std::thread> threads;
  for (std::uint64_t t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (std::uint64_t i = t * kPerThread; i < (t + 1) * kPerThread; ++i)
        map.update((i * 7919) % kCells, [&](auto& list) { list.push_back(i); });
    });
  for (auto& t : threads) t.join();

  std::map<std::uint64_t, std::vector<std::uint64_t>> expected;
  for (std::uint64_t i = 0; i < kThreads * kPerThread; ++i) expected[(i * 7919) % kCells].push_back(i);
  std::size_t total = 0, entries = 0;
  map.for_each([&](std::uint64_t key, const std::vector<std::uint64_t>& list) {
    ++entries;
    total += list.size();
    std::vector<std::uint64_t> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, expected[key]) << "cell " << key;
  });
  EXPECT_EQ(entries, kCells);
  EXPECT_EQ(map.size(), kCells);
  EXPECT_EQ(total, kThreads * kPerThread);
}

// Counts live instances, to see that growth moves values and destruction releases them all.
struct Tracked {
  static inline std::atomic<long> live{0};
  std::vector<int> items;
  Tracked() { ++live; }
  Tracked(Tracked&& o) noexcept : items(std::move(o.items)) { ++live; }
  Tracked& operator=(Tracked&&) = default;
  ~Tracked() { --live; }
};

TEST(ShardedMapLifetime, ValuesReleasedAndLockFreedWhenAnUpdateThrows) {
  {
    ShardedMap<Tracked> map(HashKeys{3, 4}, 4);
    for (int k = 0; k < 5000; ++k) map.update(static_cast<std::uint64_t>(k), [&](Tracked& v) { v.items.push_back(k); });
    EXPECT_EQ(Tracked::live.load(), 5000);
    std::size_t sum = 0;
    map.for_each([&](std::uint64_t key, const Tracked& v) {
      ASSERT_EQ(v.items.size(), 1u);
      EXPECT_EQ(static_cast<std::uint64_t>(v.items[0]), key);
      ++sum;
    });
    EXPECT_EQ(sum, 5000u);

    // A failing update leaves the shard unlocked and the map usable.
    EXPECT_THROW(map.update(17, [](Tracked&) { throw std::runtime_error("update failed"); }),
                 std::runtime_error);
    EXPECT_THROW(map.update(123456, [](Tracked&) { throw std::runtime_error("update failed"); }),
                 std::runtime_error);
    map.update(17, [](Tracked& v) { v.items.push_back(-1); });
    EXPECT_EQ(map.size(), 5001u);
  }
  EXPECT_EQ(Tracked::live.load(), 0);
}

}  // namespace
}  // namespace quarvex::parallel
