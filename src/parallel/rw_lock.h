// A one-word reader-writer lock that spins briefly and then parks on a futex.
//
// Word layout (64 bits):
//   0                          free
//   kExclusive | flags         held exclusively (every bit except bits 0 and 1 set)
//   4 * r | flags              held shared by r readers
//   bit 0 (kReadersParked)     at least one reader sleeps waiting
//   bit 1 (kWritersParked)     at least one writer sleeps waiting
//
// Shared state: the word is written and read by every thread that takes the lock, only with
// atomic read-modify-writes. A successful acquire uses acquire ordering and every release
// uses release ordering, so the data the lock guards is published from holder to holder.
// Sleepers wait on the low 32 bits of the word (the futex word); a waker changes the word
// before it wakes, so a sleeper whose expected value is stale returns at once.
//
// Wake rules: an exclusive release with a flag set clears the word and wakes every sleeper;
// the last reader leaving while bit 1 is set clears bit 1 and wakes one writer. A writer
// that has slept keeps bit 1 set when it acquires, so writers still asleep are woken by its
// release. Readers enter while no writer holds the lock, even when writers wait.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>

namespace quarvex::parallel {

class RwLock {
 public:
  static constexpr std::uint64_t kReadersParked = 1;
  static constexpr std::uint64_t kWritersParked = 2;
  static constexpr std::uint64_t kFlags = kReadersParked | kWritersParked;
  static constexpr std::uint64_t kExclusive = ~kFlags;
  static constexpr std::uint64_t kOneReader = 4;

  constexpr RwLock() noexcept = default;
  // Starts from a given word; lets tests reach states such as a full reader count.
  explicit constexpr RwLock(std::uint64_t word) noexcept : word_(word) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() {
    std::uint64_t expected = 0;
    if (!word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                       std::memory_order_relaxed))
      lock_slow();
  }

  void unlock() noexcept {
    std::uint64_t expected = kExclusive;
    if (!word_.compare_exchange_strong(expected, 0, std::memory_order_release,
                                       std::memory_order_relaxed))
      unlock_slow();
  }

  // Faults with "reader count overflowed" if one more reader would reach the exclusive
  // pattern.
  void lock_shared() {
    std::uint64_t s = word_.load(std::memory_order_relaxed);
    const std::uint64_t holders = s & kExclusive;
    if (holders >= kExclusive - kOneReader ||
        !word_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                     std::memory_order_relaxed))
      lock_shared_slow();
  }

  void unlock_shared() noexcept {
    std::uint64_t s = word_.load(std::memory_order_relaxed);
    if ((s & kWritersParked) != 0 ||
        !word_.compare_exchange_weak(s, s - kOneReader, std::memory_order_release,
                                     std::memory_order_relaxed))
      unlock_shared_slow();
  }

  // The raw word, for tests and diagnostics only.
  std::uint64_t word() const noexcept { return word_.load(std::memory_order_relaxed); }

 private:
  void lock_slow();
  void unlock_slow() noexcept;
  void lock_shared_slow();
  void unlock_shared_slow() noexcept;

  std::atomic<std::uint64_t> word_{0};
};

static_assert(sizeof(RwLock) == 8, "the lock is one word");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
// Sleepers wait on the low half of the word, which sits first in memory only on little-endian.
static_assert(std::endian::native == std::endian::little);

}  // namespace quarvex::parallel
