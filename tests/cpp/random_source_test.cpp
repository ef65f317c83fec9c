// The block functions against published vectors, the generator's draw rules, reseeding and
// fork behaviour, and the uniformity of index draws.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "support/fault.h"
#include "support/chacha.h"
#include "support/random_source.h"

namespace quarvex {
namespace {

// ---------------------------------------------------------------------------------------
// Block functions

std::vector<std::uint32_t> le_words(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint32_t> out(bytes.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 |
             static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
  return out;
}

TEST(ChaChaBlock, MatchesPublishedVectors) {
  // Block function test vector with 20 rounds (key 00..1f, block count 1, nonce
  // 00000009 0000004a 00000000): the raw 16-word state in and out.
  const std::uint32_t input[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                   0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                   0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                   0x00000001, 0x09000000, 0x4a000000, 0x00000000};
  const std::uint32_t expected[16] = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                      0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                      0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  std::uint32_t out[16];
  chacha_block<20>(input, out);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << "word " << i;

  // All-zero key, counter and stream: the key streams of 20 and 12 rounds.
  const std::uint32_t zero_key[8] = {};
  std::uint32_t zero_input[16];
  chacha_input(zero_key, 0, 0, zero_input);
  const auto ks20 = le_words({0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a,
                              0xe5, 0x53, 0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d,
                              0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7});
  const auto ks12 = le_words({0x9b, 0xf4, 0x9a, 0x6a, 0x07, 0x55, 0xf9, 0x53, 0x81, 0x1f, 0xce,
                              0x12, 0x5f, 0x26, 0x83, 0xd5, 0x04, 0x29, 0xc3, 0xbb, 0x49, 0xe0,
                              0x74, 0x14, 0x7e, 0x00, 0x89, 0xa5, 0x2e, 0xae, 0x15, 0x5f});
  chacha_block<20>(zero_input, out);
  for (std::size_t i = 0; i < ks20.size(); ++i) EXPECT_EQ(out[i], ks20[i]) << "20 rounds " << i;
  chacha_block<12>(zero_input, out);
  for (std::size_t i = 0; i < ks12.size(); ++i) EXPECT_EQ(out[i], ks12[i]) << "12 rounds " << i;
}

// ---------------------------------------------------------------------------------------
// Deterministic generators

struct FakeSeeds {
  std::uint64_t forks = 0;
  int reseeds = 0;
  bool fail = false;
  std::uint32_t next_fill = 1000;
};

struct FakeSource {
  FakeSeeds* seeds = nullptr;
  bool fresh_key(ChaChaKey& key) const noexcept {
    ++seeds->reseeds;
    if (seeds->fail) return false;
    key.fill(seeds->next_fill++);
    return true;
  }
  std::uint64_t fork_count() const noexcept { return seeds->forks; }
};

using TestRng = ChaChaRng<12, FakeSource>;

ChaChaKey test_key(std::uint32_t fill) {
  ChaChaKey k;
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = fill * 0x9E3779B9u + static_cast<std::uint32_t>(i);
  return k;
}

// `count` words of the ChaCha12 stream under `key`, starting at block `first_block`.
std::vector<std::uint32_t> stream(const ChaChaKey& key, std::uint64_t first_block,
                                  std::size_t count) {
  std::uint32_t k[8];
  for (int i = 0; i < 8; ++i) k[i] = key[i];
  std::vector<std::uint32_t> out((count + 15) / 16 * 16);
  std::uint32_t input[16];
  for (std::size_t b = 0; b * 16 < count; ++b) {
    chacha_input(k, first_block + b, 0, input);
    chacha_block<12>(input, &out[16 * b]);
  }
  out.resize(count);
  return out;
}

TEST(ChaChaRngDraws, WordsFollowTheBlockStream) {
  FakeSeeds seeds;
  const ChaChaKey key = test_key(1);
  TestRng rng(key, FakeSource{&seeds});
  const auto expected = stream(key, 0, 200);
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(rng.next_u32(), expected[i]) << i;

  // A 64-bit value is two consecutive words, low first, at every buffer position
  // (including 63, which straddles a refill, and 64).
  for (std::size_t offset = 0; offset <= 130; ++offset) {
    TestRng a(key, FakeSource{&seeds});
    for (std::size_t i = 0; i < offset; ++i) a.next_u32();
    const std::uint64_t v = a.next_u64();
    EXPECT_EQ(v, expected[offset] | static_cast<std::uint64_t>(expected[offset + 1]) << 32)
        << "offset " << offset;
    EXPECT_EQ(a.next_u32(), expected[offset + 2]) << "offset " << offset;
  }
  EXPECT_EQ(seeds.reseeds, 0);
}

TEST(ChaChaRngDraws, IndexPathsAndEmptyChoice) {
  FakeSeeds seeds;
  const ChaChaKey key = test_key(2);
  const auto words = stream(key, 0, 4096);

  // n = 1 is always 0, but consumes words until one falls in the zone (below 2^31).
  {
    TestRng rng(key, FakeSource{&seeds});
    std::size_t pos = 0;
    for (int draw = 0; draw < 200; ++draw) {
      ASSERT_EQ(rng.index(1), 0u);
      while (words[pos] >= 0x80000000u) ++pos;
      ++pos;
    }
    EXPECT_EQ(rng.next_u32(), words[pos]);
  }
  // n = 2^32 - 1 takes one 32-bit word v per try: result v - 1 (0 for v = 0), rejecting v = 1.
  {
    TestRng rng(key, FakeSource{&seeds});
    std::size_t pos = 0;
    for (int draw = 0; draw < 500; ++draw) {
      while (words[pos] == 1) ++pos;
      const std::uint32_t v = words[pos++];
      ASSERT_EQ(rng.index(0xFFFFFFFFull), v == 0 ? 0u : v - 1u);
    }
    EXPECT_EQ(rng.next_u32(), words[pos]);
  }
  // n = 2^32 takes 64-bit values: accepted when the low word is below 2^31, and the result
  // is then the high word.
  {
    TestRng rng(key, FakeSource{&seeds});
    std::size_t pos = 0;
    for (int draw = 0; draw < 500; ++draw) {
      while (words[pos] >= 0x80000000u) pos += 2;
      ASSERT_EQ(rng.index(0x100000000ull), words[pos + 1]);
      pos += 2;
    }
    EXPECT_EQ(rng.next_u32(), words[pos]);
  }
  // Results stay in range on both paths, right at the boundaries.
  {
    TestRng rng(key, FakeSource{&seeds});
    for (std::uint64_t n : {2ull, 3ull, 0x80000001ull, 0xFFFFFFFFull, 0x100000001ull, ~0ull}) {
      for (int i = 0; i < 200; ++i) ASSERT_LT(rng.index(n), n);
    }
  }
  // An empty choice yields nothing and leaves the generator where it was.
  {
    TestRng rng(key, FakeSource{&seeds});
    const int none[1] = {0};
    EXPECT_EQ(rng.choose(none, 0), nullptr);
    EXPECT_EQ(rng.next_u32(), words[0]);
    const int list[3] = {10, 20, 30};
    const int* picked = rng.choose(list, 3);
    ASSERT_NE(picked, nullptr);
    EXPECT_TRUE(picked >= list && picked < list + 3);
    EXPECT_THROW(rng.index(0), InternalFault);
  }
  EXPECT_EQ(seeds.reseeds, 0);
}

// ---------------------------------------------------------------------------------------
// Reseeding

TEST(ChaChaRngReseed, EveryTwoHundredFiftySixRefills) {
  FakeSeeds seeds;
  const ChaChaKey key = test_key(3);
  TestRng rng(key, FakeSource{&seeds});
  const std::size_t per_budget = 256 * 64;  // words produced between reseeds
  const auto first = stream(key, 0, per_budget);
  for (std::size_t i = 0; i < per_budget; ++i) ASSERT_EQ(rng.next_u32(), first[i]) << i;
  EXPECT_EQ(seeds.reseeds, 0);

  // The 257th refill reseeds with counter 0 under the fresh key.
  ChaChaKey fresh;
  fresh.fill(seeds.next_fill);
  EXPECT_EQ(rng.next_u32(), stream(fresh, 0, 1)[0]);
  EXPECT_EQ(seeds.reseeds, 1);
  // The reseeding refill counts towards the next budget: 255 more, then a reseed.
  for (std::size_t i = 1; i < per_budget; ++i) rng.next_u32();
  EXPECT_EQ(seeds.reseeds, 1);
  rng.next_u32();
  EXPECT_EQ(seeds.reseeds, 2);
}

TEST(ChaChaRngReseed, AfterForkAndAfterFailure) {
  const ChaChaKey key = test_key(4);
  const auto old_stream = stream(key, 0, 256);
  {
    // A counted fork reseeds at the next refill; words already buffered are used first.
    FakeSeeds seeds;
    TestRng rng(key, FakeSource{&seeds});
    EXPECT_EQ(rng.next_u32(), old_stream[0]);
    seeds.forks = 3;
    for (std::size_t i = 1; i < 64; ++i) ASSERT_EQ(rng.next_u32(), old_stream[i]);
    EXPECT_EQ(seeds.reseeds, 0);
    ChaChaKey fresh;
    fresh.fill(seeds.next_fill);
    EXPECT_EQ(rng.next_u32(), stream(fresh, 0, 1)[0]);
    EXPECT_EQ(seeds.reseeds, 1);
    // The fork is recorded: no further reseed at the following refill.
    for (int i = 0; i < 64; ++i) rng.next_u32();
    EXPECT_EQ(seeds.reseeds, 1);
  }
  {
    // Dropping the buffer makes the very next draw reseed after a fork.
    FakeSeeds seeds;
    TestRng rng(key, FakeSource{&seeds});
    rng.next_u32();
    seeds.forks = 2;
    rng.discard_buffer();
    ChaChaKey fresh;
    fresh.fill(seeds.next_fill);
    EXPECT_EQ(rng.next_u32(), stream(fresh, 0, 1)[0]);
  }
  {
    // A generator made after a fork starts with fork count 0 and reseeds at once.
    FakeSeeds seeds;
    seeds.forks = 5;
    TestRng rng(key, FakeSource{&seeds});
    ChaChaKey fresh;
    fresh.fill(seeds.next_fill);
    EXPECT_EQ(rng.next_u32(), stream(fresh, 0, 1)[0]);
    EXPECT_EQ(seeds.reseeds, 1);
  }
  {
    // A failed reseed keeps the old key and counter, and still records the fork.
    FakeSeeds seeds;
    TestRng rng(key, FakeSource{&seeds});
    for (std::size_t i = 0; i < 64; ++i) rng.next_u32();
    seeds.forks = 2;
    seeds.fail = true;
    for (std::size_t i = 64; i < 256; ++i) ASSERT_EQ(rng.next_u32(), old_stream[i]) << i;
    EXPECT_EQ(seeds.reseeds, 1);
  }
}

// ---------------------------------------------------------------------------------------
// Uniformity

// Pearson's statistic of `counts` against equal expectations.
double chi_square(const std::vector<std::uint64_t>& counts) {
  std::uint64_t total = 0;
  for (auto c : counts) total += c;
  const double expected = static_cast<double>(total) / static_cast<double>(counts.size());
  double x = 0;
  for (auto c : counts) x += (static_cast<double>(c) - expected) * (static_cast<double>(c) - expected) / expected;
  return x;
}

TEST(ChaChaRngUniformity, SmallRangesAndWideRanges) {
  FakeSeeds seeds;
  TestRng rng(test_key(5), FakeSource{&seeds});
  // Bounds are far in the tail (p < 1e-6 for the degrees of freedom used).
  for (std::uint64_t n : {2ull, 3ull, 6ull, 7ull, 10ull}) {
    std::vector<std::uint64_t> counts(n);
    for (int i = 0; i < 60000; ++i) ++counts[rng.index(n)];
    EXPECT_LT(chi_square(counts), 45.0) << "n = " << n;
  }
  // The 64-bit path: both the top and the bottom of the result are even.
  const std::uint64_t wide = 3ull << 33;
  std::vector<std::uint64_t> top(3), bottom(8);
  for (int i = 0; i < 60000; ++i) {
    const std::uint64_t r = rng.index(wide);
    ASSERT_LT(r, wide);
    ++top[r >> 33];
    ++bottom[r & 7];
  }
  EXPECT_LT(chi_square(top), 45.0);
  EXPECT_LT(chi_square(bottom), 45.0);
  // Choosing from a list picks every element equally often.
  const int list[5] = {0, 1, 2, 3, 4};
  std::vector<std::uint64_t> picks(5);
  for (int i = 0; i < 50000; ++i) ++picks[*rng.choose(list, 5)];
  EXPECT_LT(chi_square(picks), 45.0);
}

// ---------------------------------------------------------------------------------------
// The thread generator

TEST(ThreadRngTest, OnePerThreadAndSeededDifferently) {
  ThreadRng& a = thread_rng();
  EXPECT_EQ(&a, &thread_rng());
  std::array<std::uint64_t, 2> here{a.next_u64(), a.next_u64()};
  std::array<std::uint64_t, 2> there{};
  ThreadRng* other = nullptr;
  std::thread t([&] {
    other = &thread_rng();
    there = {other->next_u64(), other->next_u64()};
  });
  t.join();
  EXPECT_NE(other, &a);
  EXPECT_NE(here, there);
}

TEST(ThreadRngTest, ForkedChildNeverRepeatsParent) {
  ThreadRng& rng = thread_rng();
  rng.next_u32();  // leave most of a buffer unread across the fork
  const std::uint64_t forks_before = fork_counter();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr int kDraws = 40;
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    std::uint64_t out[kDraws + 1];
    for (int i = 0; i < kDraws; ++i) out[i] = thread_rng().next_u64();
    out[kDraws] = fork_counter();
    const ssize_t written = ::write(fds[1], out, sizeof out);
    ::_exit(written == static_cast<ssize_t>(sizeof out) ? 0 : 1);
  }
  ::close(fds[1]);
  std::uint64_t mine[kDraws];
  for (int i = 0; i < kDraws; ++i) mine[i] = rng.next_u64();
  std::uint64_t theirs[kDraws + 1];
  std::size_t got = 0;
  while (got < sizeof theirs) {
    const ssize_t r = ::read(fds[0], reinterpret_cast<char*>(theirs) + got, sizeof theirs - got);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, sizeof theirs);
  // No value of the child's output appears anywhere in the parent's.
  for (int i = 0; i < kDraws; ++i)
    for (int j = 0; j < kDraws; ++j) ASSERT_NE(theirs[i], mine[j]) << i << " " << j;
  EXPECT_GT(fork_counter(), forks_before);
  EXPECT_GT(theirs[kDraws], forks_before);
}

}  // namespace
}  // namespace quarvex
