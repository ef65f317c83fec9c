// Completion latches of jobs.
//
// CoreLatch: the latch a pool worker waits on. The worker polls it while it keeps running
// other jobs; before it blocks, it moves the latch through "sleepy" to "sleeping", so the
// setter learns that it must wake that worker. Once set, a latch stays set.
//
// LockLatch: the latch of a thread outside the pool, which blocks on a condition variable
// instead of polling. One per thread, reused for every loop (set, then wait_and_reset). It is
// constant-initialised and trivially destructible, so a thread-local one needs neither a
// first-use guard nor an exit handler (whose registration can end the process when memory
// runs out).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace quarvex::parallel {

// Sharing: state_ is written by the waiting worker (UNSET -> SLEEPY -> SLEEPING -> UNSET,
// each by compare-exchange) and by the setter (exchange to SET, acq_rel). probe() acquires,
// so a waiter that sees SET also sees everything the setter wrote before setting. The setter
// must not touch the latch after set(): the waiter may return and destroy it at once.
class CoreLatch {
 public:
  bool probe() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }

  // Sets the latch; true when the waiter had fallen asleep and must be woken by the caller.
  bool set() noexcept { return state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping; }

  // Waiter only. False when the latch is already set (the waiter must not sleep).
  bool get_sleepy() noexcept { return advance(kUnset, kSleepy); }
  bool fall_asleep() noexcept { return advance(kSleepy, kSleeping); }
  // Waiter only, after waking or giving up sleep: back to UNSET unless set meanwhile.
  void wake_up() noexcept { advance(kSleeping, kUnset); }

 private:
  static constexpr std::uint32_t kUnset = 0, kSleepy = 1, kSleeping = 2, kSet = 3;
  bool advance(std::uint32_t from, std::uint32_t to) noexcept {
    return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                          std::memory_order_acquire);
  }
  std::atomic<std::uint32_t> state_{kUnset};
};

// Sharing: set_ is written by the setter and read/reset by the owning thread, both only under
// mutex_. The setter signals while holding the mutex, so the owner cannot return (and later
// reuse or destroy the latch) before the setter has let go of it. The pthread calls cannot
// fail on these default (non-robust, non-checking) objects.
class LockLatch {
 public:
  constexpr LockLatch() noexcept = default;
  void set() noexcept {
    ::pthread_mutex_lock(&mutex_);
    set_ = true;
    ::pthread_cond_signal(&cond_);
    ::pthread_mutex_unlock(&mutex_);
  }
  // Owner only: blocks until set, then makes the latch ready for the next use.
  void wait_and_reset() noexcept {
    ::pthread_mutex_lock(&mutex_);
    while (!set_) ::pthread_cond_wait(&cond_, &mutex_);
    set_ = false;
    ::pthread_mutex_unlock(&mutex_);
  }

 private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
  bool set_ = false;
};

static_assert(std::is_trivially_destructible_v<LockLatch>);

}  // namespace quarvex::parallel
