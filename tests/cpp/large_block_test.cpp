#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "support/large_block.h"
#include "support/pod_vector.h"

namespace quarvex {
namespace {

// Both paths (calloc below 2 MiB, an aligned mapping above) hand out zeroed, writable
// memory that moves with its owner; the mapped one starts on a 2 MiB boundary.
TEST(LargeBlock, ZeroedWritableAndOwnedOnce) {
  for (std::size_t bytes : {std::size_t{0}, std::size_t{100}, (std::size_t{2} << 20) - 1,
                            std::size_t{2} << 20, (std::size_t{5} << 20) + 3}) {
    LargeBlock block(bytes);
    EXPECT_EQ(block.bytes(), bytes);
    auto* p = static_cast<unsigned char*>(block.data());
    if (bytes == 0) continue;
    ASSERT_NE(p, nullptr);
    if (bytes >= (std::size_t{2} << 20)) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (std::size_t{2} << 20), 0u);
    }
    for (std::size_t i = 0; i < bytes; i += 4093) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(p[bytes - 1], 0);
    std::memset(p, 0xAB, bytes);
    LargeBlock moved(std::move(block));
    EXPECT_EQ(block.data(), nullptr);
    EXPECT_EQ(moved.data(), p);
    EXPECT_EQ(static_cast<unsigned char*>(moved.data())[bytes - 1], 0xAB);
    LargeBlock other(64);
    other = std::move(moved);  // the 64 bytes are released, the big block taken over
    EXPECT_EQ(other.data(), p);
  }
}

// Handing back the front of a block frees whole huge pages only (they read as zero again)
// and keeps every other byte; a block from calloc keeps all of them.
TEST(LargeBlock, ReleasedFrontReadsAsZeroAndTheRestIsKept) {
  const std::size_t huge = std::size_t{2} << 20;
  LargeBlock mapped(3 * huge + 5), small(1000);
  for (LargeBlock* block : {&mapped, &small}) std::memset(block->data(), 0xAB, block->bytes());
  auto* p = static_cast<unsigned char*>(mapped.data());
  mapped.release_front(huge + huge / 2);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[huge - 1], 0);
  EXPECT_EQ(p[huge], 0xAB);
  mapped.release_front(huge);  // already handed back: nothing changes
  mapped.release_front(mapped.bytes());
  EXPECT_EQ(p[3 * huge - 1], 0);
  EXPECT_EQ(p[3 * huge + 4], 0xAB);  // in the last, partly used huge page
  small.release_front(small.bytes());
  EXPECT_EQ(static_cast<unsigned char*>(small.data())[0], 0xAB);
}

// A PodVector keeps its contents through every change of storage: growth by push_back
// from malloc into a mapping and on (in place or moved), reserve, the shrink to its exact
// length (also below the mapping threshold), moves, copies and swaps.
TEST(PodVectorStorage, ContentsSurviveEveryMoveOfTheBlock) {
  auto check = [](const PodVector<std::uint64_t>& v, std::uint64_t n) {
    ASSERT_EQ(v.size(), n);
    for (std::uint64_t i = 0; i < n; i += 997) ASSERT_EQ(v[i], i * 7 + 1) << i;
    if (n != 0) {
      ASSERT_EQ(v.back(), (n - 1) * 7 + 1);
    }
  };
  PodVector<std::uint64_t> v;
  // Another mapping right behind v's keeps it from growing in place now and then.
  std::vector<PodVector<std::uint64_t>> neighbours;
  const std::uint64_t n = std::uint64_t{5} << 20;  // 40 MiB
  for (std::uint64_t i = 0; i < n; ++i) {
    v.push_back(i * 7 + 1);
    if ((i & (i - 1)) == 0 && i > (1u << 16)) {
      neighbours.emplace_back();
      neighbours.back().resize_uninitialized(std::size_t{1} << 19);
    }
  }
  check(v, n);
  v.reserve(n + (std::uint64_t{3} << 20));
  check(v, n);
  v.shrink_to_fit();
  EXPECT_EQ(v.capacity(), n);
  check(v, n);

  PodVector<std::uint64_t> copy(v);
  check(copy, n);
  PodVector<std::uint64_t> small;
  small.push_back(1);
  small.swap(copy);
  check(small, n);
  EXPECT_EQ(copy.size(), 1u);

  // Down to a few elements: the block shrinks (it may stay a mapping) and keeps them.
  v.resize_uninitialized(1000);
  v.shrink_to_fit();
  EXPECT_EQ(v.capacity(), 1000u);
  check(v, 1000);
  v.push_back(1000 * 7 + 1);
  check(v, 1001);
  PodVector<std::uint64_t> taken(std::move(v));
  EXPECT_EQ(v.data(), nullptr);
  check(taken, 1001);
  taken.clear();
  taken.shrink_to_fit();
  EXPECT_EQ(taken.data(), nullptr);
  EXPECT_EQ(taken.capacity(), 0u);
}

}  // namespace
}  // namespace quarvex
