#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "parallel/large_block.h"
#include "parallel/pod_vector.h"

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

// Huge-page advice on a grown PodVector leaves its contents alone.
TEST(LargeBlock, AdviceKeepsPodVectorContents) {
  PodVector<std::uint64_t> v;
  for (std::uint64_t i = 0; i < (std::uint64_t{3} << 20); ++i) v.push_back(i * 7);
  v.shrink_to_fit();
  for (std::uint64_t i = 0; i < v.size(); i += 1021) ASSERT_EQ(v[i], i * 7);
  advise_huge_pages(v.data(), 0);
  advise_huge_pages(v.data() + 1, v.size() * sizeof(std::uint64_t) - 8);
  EXPECT_EQ(v.back(), (v.size() - 1) * 7);
}

}  // namespace
}  // namespace quarvex
