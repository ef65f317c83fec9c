// The open-addressing table: lookups find what was inserted across growth, under hashes
// that collide in bucket and tag, and iteration visits every entry once.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>

#include "support/flat_table.h"

namespace quarvex {
namespace {

// Few distinct hashes: long probe runs that wrap around the table, equal tags everywhere.
struct CollidingHasher {
  std::uint64_t operator()(std::uint64_t key) const noexcept {
    return (key % 5) * 0x9E3779B97F4A7C15ull | (std::uint64_t{1} << 63);
  }
};

TEST(FlatTable, FindsEveryKeyAcrossGrowthAndCollisions) {
  FlatTable<std::uint64_t, std::uint64_t, CollidingHasher> table;
  std::map<std::uint64_t, std::uint64_t> expected;
  for (std::uint64_t round = 0; round < 3; ++round) {
    for (std::uint64_t k = 0; k < 3000; k += 1 + round) {
      auto [entry, inserted] = table.find_or_insert(k);
      EXPECT_EQ(inserted, expected.count(k) == 0) << k;
      EXPECT_EQ(entry->key, k);
      entry->value += k + 1;
      expected[k] += k + 1;
      ASSERT_EQ(table.size(), expected.size());
      ASSERT_LE(table.size(), table.capacity() - table.capacity() / 8) << "over 7/8 full";
    }
  }
  EXPECT_EQ(table.capacity() & (table.capacity() - 1), 0u);
  std::map<std::uint64_t, std::uint64_t> seen;
  table.for_each([&](const auto& e) { EXPECT_TRUE(seen.emplace(e.key, e.value).second); });
  EXPECT_EQ(seen, expected);

  // A moved table keeps its entries; the source is empty and owns nothing.
  auto moved = std::move(table);
  EXPECT_EQ(moved.size(), expected.size());
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.capacity(), 0u);
  EXPECT_FALSE(moved.find_or_insert(2998).second);
}

TEST(FlatTable, ValuesAreDestroyedOnce) {
  auto counter = std::make_shared<int>(0);
  {
    FlatTable<std::uint64_t, std::shared_ptr<int>, CollidingHasher> table;
    for (std::uint64_t k = 0; k < 100; ++k) table.find_or_insert(k).first->value = counter;
    EXPECT_EQ(counter.use_count(), 101);
  }
  EXPECT_EQ(counter.use_count(), 1);
}

}  // namespace
}  // namespace quarvex
