// Slow paths of RwLock: spinning with growing back-off, parking on the futex and waking.
#include "parallel/rw_lock.h"

#include <climits>
#include <cstdint>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/fault.h"

namespace quarvex::parallel {
namespace {

// Readers and writers sleep on the same futex word under different bit sets, so that
// "wake one writer" can never be taken by a reader.
constexpr std::uint32_t kReaderBits = 1;
constexpr std::uint32_t kWriterBits = 2;

// Spins before parking: the first few rounds busy-wait 2, 4, 8 ... pause instructions, the
// rest yield the CPU.
constexpr unsigned kSpinRounds = 10;
constexpr unsigned kBusyRounds = 3;

std::uint32_t* futex_word(std::atomic<std::uint64_t>& word) noexcept {
  // Low 32 bits of the word (little-endian, checked in the header).
  return reinterpret_cast<std::uint32_t*>(&word);
}

void futex_wait(std::atomic<std::uint64_t>& word, std::uint64_t expected,
                std::uint32_t bits) noexcept {
  // Returns on wake, on a changed word (EAGAIN) or on a signal; callers re-check the word.
  ::syscall(SYS_futex, futex_word(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
            static_cast<std::uint32_t>(expected), nullptr, nullptr, bits);
}

void futex_wake(std::atomic<std::uint64_t>& word, int count, std::uint32_t bits) noexcept {
  ::syscall(SYS_futex, futex_word(word), FUTEX_WAKE_BITSET | FUTEX_PRIVATE_FLAG, count, nullptr,
            nullptr, bits);
}

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// One step of back-off; false once the spinning budget is spent.
bool back_off(unsigned& round) noexcept {
  if (round >= kSpinRounds) return false;
  if (round < kBusyRounds) {
    for (unsigned i = 0; i < (2u << round); ++i) cpu_relax();
  } else {
    ::sched_yield();
  }
  ++round;
  return true;
}

}  // namespace

void RwLock::lock_slow() {
  unsigned round = 0;
  // After sleeping once this writer cannot know whether other writers still sleep (the last
  // reader wakes only one and clears bit 1), so it keeps bit 1 set when it acquires.
  std::uint64_t keep = 0;
  for (;;) {
    std::uint64_t s = word_.load(std::memory_order_relaxed);
    if ((s & kExclusive) == 0) {
      if (word_.compare_exchange_weak(s, kExclusive | (s & kFlags) | keep,
                                      std::memory_order_acquire, std::memory_order_relaxed))
        return;
      continue;
    }
    if ((s & kWritersParked) == 0 && back_off(round)) continue;
    if ((s & kWritersParked) == 0) {
      if (!word_.compare_exchange_weak(s, s | kWritersParked, std::memory_order_relaxed,
                                       std::memory_order_relaxed))
        continue;
      s |= kWritersParked;
    }
    futex_wait(word_, s, kWriterBits);
    keep = kWritersParked;
    round = 0;
  }
}

void RwLock::unlock_slow() noexcept {
  // Only flags can have been added while we held the lock; clearing them all is safe because
  // every sleeper is woken and re-flags the word if it has to sleep again.
  const std::uint64_t old = word_.exchange(0, std::memory_order_release);
  if ((old & kFlags) != 0) futex_wake(word_, INT_MAX, FUTEX_BITSET_MATCH_ANY);
}

void RwLock::lock_shared_slow() {
  unsigned round = 0;
  for (;;) {
    std::uint64_t s = word_.load(std::memory_order_relaxed);
    const std::uint64_t holders = s & kExclusive;
    if (holders != kExclusive) {
      if (holders == kExclusive - kOneReader) fault("reader count overflowed");
      if (word_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                      std::memory_order_relaxed))
        return;
      continue;
    }
    if ((s & kReadersParked) == 0 && back_off(round)) continue;
    if ((s & kReadersParked) == 0) {
      if (!word_.compare_exchange_weak(s, s | kReadersParked, std::memory_order_relaxed,
                                       std::memory_order_relaxed))
        continue;
      s |= kReadersParked;
    }
    futex_wait(word_, s, kReaderBits);
    round = 0;
  }
}

void RwLock::unlock_shared_slow() noexcept {
  std::uint64_t s = word_.load(std::memory_order_relaxed);
  for (;;) {
    // The last reader leaving while a writer sleeps hands the lock over: one compare-and-swap
    // both drops the reader and clears bit 1, so a writer that enters in between cannot lose
    // a flag that belongs to it.
    const bool hand_over = (s & kExclusive) == kOneReader && (s & kWritersParked) != 0;
    const std::uint64_t next = hand_over ? (s - kOneReader) & ~kWritersParked : s - kOneReader;
    if (word_.compare_exchange_weak(s, next, std::memory_order_release,
                                    std::memory_order_relaxed)) {
      if (hand_over) futex_wake(word_, 1, kWriterBits);
      return;
    }
  }
}

}  // namespace quarvex::parallel
