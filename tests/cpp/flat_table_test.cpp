// The open-addressing table: lookups find what was inserted across growth, under hashes that
// collide in long probe runs, and iteration visits every slot once.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "support/flat_table.h"

namespace quarvex {
namespace {

struct Slot {
  using Key = std::uint64_t;
  std::uint64_t key, value;
  std::uint32_t in_use;
  bool used() const noexcept { return in_use != 0; }
  bool holds(std::uint64_t k) const noexcept { return key == k; }
  void claim(std::uint64_t k) noexcept { key = k, in_use = 1; }
  std::uint64_t stored_key() const noexcept { return key; }
};

// Few distinct hashes: long probe runs that wrap around the table.
struct CollidingHasher {
  std::uint64_t operator()(std::uint64_t key) const noexcept { return (key % 5) * 0x9E3779B97F4A7C15ull; }
};

TEST(FlatTable, FindsEveryKeyAcrossGrowthAndCollisions) {
  FlatTable<Slot, CollidingHasher> table(CollidingHasher{}, 3);
  std::map<std::uint64_t, std::uint64_t> expected;
  for (std::uint64_t round = 0; round < 3; ++round) {
    for (std::uint64_t k = 0; k < 3000; k += 1 + round) {
      auto [slot, inserted] = table.find_or_insert(k, CollidingHasher{}(k));
      EXPECT_EQ(inserted, expected.count(k) == 0) << k;
      EXPECT_EQ(slot->key, k);
      EXPECT_EQ(slot->value, expected[k]);  // a new slot's value is zero
      slot->value += k + 1;
      expected[k] += k + 1;
      ASSERT_EQ(table.size(), expected.size());
    }
  }
  std::map<std::uint64_t, std::uint64_t> seen;
  table.for_each([&](const Slot& s) { EXPECT_TRUE(seen.emplace(s.key, s.value).second); });
  EXPECT_EQ(seen, expected);

  // A moved table keeps its slots; the source is empty.
  auto moved = std::move(table);
  EXPECT_EQ(moved.size(), expected.size());
  EXPECT_EQ(table.size(), 0u);
  table.for_each([](const Slot&) { ADD_FAILURE(); });
  EXPECT_FALSE(moved.find_or_insert(2998, CollidingHasher{}(2998)).second);

  // Presized, it has a new table's room and keeps every key; presizing for fewer is a no-op.
  const std::size_t fresh = FlatTable<Slot, CollidingHasher>(CollidingHasher{}, 10000).capacity();
  moved.presize(10000);
  EXPECT_EQ(moved.capacity(), fresh);
  moved.presize(100);
  EXPECT_EQ(moved.capacity(), fresh);
  for (const auto& [k, v] : expected) EXPECT_EQ(moved.find_or_insert(k, CollidingHasher{}(k)).first->value, v);
}

// A table of several huge pages hands each back once its slots are moved (growth) or
// visited (drain): every key survives the growths, and drain visits each once, in slot order.
TEST(FlatTable, LargeTableKeepsEveryKeyWhileHandingBackItsPages) {
  struct Spread {
    std::uint64_t operator()(std::uint64_t key) const noexcept { return key * 0x9E3779B97F4A7C15ull; }
  };
  FlatTable<Slot, Spread> table(Spread{}, 1000);
  const std::uint64_t n = 400'000;  // grows to about 12 MiB of slots
  for (std::uint64_t k = 1; k <= n; ++k) table.find_or_insert(k, Spread{}(k)).first->value = 3 * k;
  std::vector<std::uint64_t> order, drained;
  table.for_each([&](const Slot& s) { order.push_back(s.key); });
  ASSERT_EQ(order.size(), n);
  table.drain([&](const Slot& s) {
    drained.push_back(s.key);
    EXPECT_EQ(s.value, 3 * s.key);
  });
  EXPECT_EQ(drained, order);
  EXPECT_EQ(table.size(), 0u);
  table.for_each([](const Slot&) { ADD_FAILURE(); });
}

}  // namespace
}  // namespace quarvex
