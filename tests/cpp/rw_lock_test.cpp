// The shard lock: its word encoding, exclusion under contention, and waking of parked
// readers and writers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/fault.h"
#include "parallel/rw_lock.h"
#include "watchdog.h"

namespace quarvex::parallel {
namespace {

// Waits (up to a few seconds) until the lock word has all of `bits` set.
bool wait_for_bits(const RwLock& lock, std::uint64_t bits) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((lock.word() & bits) != bits) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

using quarvex::testing::Watchdog;

TEST(RwLockWord, EncodingAndReaderOverflow) {
  RwLock lock;
  EXPECT_EQ(lock.word(), 0u);
  lock.lock();
  EXPECT_EQ(lock.word(), 0xFFFFFFFFFFFFFFFCull);
  lock.unlock();
  EXPECT_EQ(lock.word(), 0u);
  lock.lock_shared();
  lock.lock_shared();
  lock.lock_shared();
  EXPECT_EQ(lock.word(), 12u);
  for (int i = 0; i < 3; ++i) lock.unlock_shared();
  EXPECT_EQ(lock.word(), 0u);

  // The largest reader count that is not the exclusive pattern can still be reached, but
  // not passed.
  RwLock nearly_full(RwLock::kExclusive - 2 * RwLock::kOneReader);
  nearly_full.lock_shared();
  EXPECT_EQ(nearly_full.word(), RwLock::kExclusive - RwLock::kOneReader);
  try {
    nearly_full.lock_shared();
    ADD_FAILURE() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "reader count overflowed");
  }
  EXPECT_EQ(nearly_full.word(), RwLock::kExclusive - RwLock::kOneReader);
}

TEST(RwLockContention, WritersExcludeEveryoneReadersShare) {
  RwLock lock;
  // Guarded by `lock`; plain variables so that ThreadSanitizer sees any unguarded access.
  std::uint64_t a = 0, b = 0;
  std::atomic<int> readers_inside{0};
  std::atomic<int> max_readers_inside{0};
  std::atomic<bool> torn{false};
  constexpr int kWriters = 4, kReaders = 4, kRounds = 3000;
  Watchdog watchdog("contended lock");
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        lock.lock();
        if (readers_inside.load() != 0) torn = true;
        ++a;
        std::this_thread::yield();
        ++b;
        lock.unlock();
      }
    });
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        lock.lock_shared();
        const int inside = ++readers_inside;
        int seen = max_readers_inside.load();
        while (inside > seen && !max_readers_inside.compare_exchange_weak(seen, inside)) {
        }
        if (a != b) torn = true;
        --readers_inside;
        lock.unlock_shared();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(a, std::uint64_t{kWriters} * kRounds);
  EXPECT_EQ(b, a);
  EXPECT_EQ(lock.word(), 0u);
}

TEST(RwLockParking, ParkedReadersWakeWhenTheWriterLeaves) {
  Watchdog watchdog("parked readers");
  RwLock lock;
  lock.lock();
  std::atomic<bool> released{false};
  std::atomic<int> entered_early{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i)
    readers.emplace_back([&] {
      lock.lock_shared();
      if (!released.load()) ++entered_early;
      lock.unlock_shared();
    });
  ASSERT_TRUE(wait_for_bits(lock, RwLock::kReadersParked));
  released = true;
  lock.unlock();
  for (auto& t : readers) t.join();
  EXPECT_EQ(entered_early.load(), 0);
  EXPECT_EQ(lock.word(), 0u);
}

TEST(RwLockParking, EveryParkedWriterGetsInAfterTheLastReader) {
  // Several writers sleep behind readers; the last reader wakes only one, and the others
  // must still be woken through that writer's release.
  Watchdog watchdog("parked writers");
  RwLock lock;
  lock.lock_shared();
  lock.lock_shared();
  std::atomic<bool> released{false};
  std::atomic<int> entered_early{0};
  int counter = 0;  // guarded by `lock`
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i)
    writers.emplace_back([&] {
      lock.lock();
      if (!released.load()) ++entered_early;
      ++counter;
      lock.unlock();
    });
  ASSERT_TRUE(wait_for_bits(lock, RwLock::kWritersParked));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the others park too
  lock.unlock_shared();
  EXPECT_NE(lock.word() & RwLock::kWritersParked, 0u) << "one reader still inside";
  released = true;
  lock.unlock_shared();
  for (auto& t : writers) t.join();
  EXPECT_EQ(entered_early.load(), 0);
  EXPECT_EQ(counter, 4);
  EXPECT_EQ(lock.word(), 0u);
}

}  // namespace
}  // namespace quarvex::parallel
