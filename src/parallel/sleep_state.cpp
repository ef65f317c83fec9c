#include "parallel/sleep_state.h"

#include <sched.h>

#include "parallel/thread_count.h"

// Why a pushed job is never left unnoticed while every worker sleeps.
//
// Let J be a job published by a push whose counters read-modify-write in new_jobs() is P,
// and order every change of the counters word by its single modification order.
//  - A job on a worker's own queue cannot be missed: its owner is awake, because a worker
//    drains its own queue before it looks elsewhere, let alone sleeps. The jobs that need
//    the protocol are those in the injector, pushed by threads outside the pool.
//  - A worker sleeps only through a successful sleep compare-exchange S that finds the JEC
//    still at the value E left by its announcement A; between A and S it searches once more
//    (own queue, other queues, injector).
//  - Take a worker W not counted asleep in the value P read. If W's next A follows P, the
//    search after it synchronizes with P and finds the injector non-empty. If A preceded P,
//    then P found the JEC either at E (odd), which it moves on, or already past E: W's S
//    fails and W announces and searches afresh. So W cannot fall asleep without a search
//    that sees J (or an older injected job, after which it searches again).
//  - If P's value counts every worker asleep, no worker is awake and P always wakes one.
//    Every sleeper counted there set its bit in the asleep map before its S, which P
//    synchronizes with, so wake_any() sees each bit unless a waker has cleared it; such a
//    waker's count change follows P, so the worker it woke searches after P as well.
//  - The JEC is 32 bits: only 2^31 pushes between one worker's A and S could fool S.
// Latches close the other gap: a worker waiting for a latch moves it to SLEEPING under its
// slot mutex before it blocks, and whoever sets a SLEEPING latch wakes that worker under the
// same mutex, so the wake cannot fall between the worker's check and its wait.

namespace quarvex::parallel {
namespace {

constexpr std::uint64_t kOneSleeping = 1;
constexpr std::uint64_t kOneInactive = std::uint64_t{1} << 16;
constexpr std::uint64_t kOneEvent = std::uint64_t{1} << 32;
constexpr std::uint32_t sleeping_of(std::uint64_t c) { return static_cast<std::uint32_t>(c & 0xFFFF); }
constexpr std::uint32_t inactive_of(std::uint64_t c) {
  return static_cast<std::uint32_t>((c >> 16) & 0xFFFF);
}
constexpr std::uint32_t events_of(std::uint64_t c) { return static_cast<std::uint32_t>(c >> 32); }
static_assert(kMaxThreads <= 0xFFFF, "worker counts must fit their 16-bit fields");

// Searches that find nothing before a worker announces that it is getting sleepy.
constexpr std::uint32_t kRoundsUntilSleepy = 32;

}  // namespace

SleepState::SleepState(std::size_t threads, std::size_t cpus)
    : threads_(threads),
      awake_limit_(cpus < 1 ? 1 : cpus),
      slots_(new Slot[threads]),
      asleep_(new std::atomic<std::uint64_t>[(threads + 63) / 64]),
      counters_(threads * kOneSleeping + threads * kOneInactive) {
  for (std::size_t w = 0; w < (threads + 63) / 64; ++w) {
    const std::size_t bits = threads - w * 64;
    asleep_[w].store(bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1,
                     std::memory_order_relaxed);
  }
}

std::size_t SleepState::sleeping() const noexcept {
  return sleeping_of(counters_.load(std::memory_order_relaxed));
}

void SleepState::start_looking() noexcept {
  counters_.fetch_add(kOneInactive, std::memory_order_seq_cst);
}

void SleepState::work_found() noexcept {
  counters_.fetch_sub(kOneInactive, std::memory_order_seq_cst);
}

void SleepState::no_work_found(IdleState& idle, CoreLatch& latch, std::size_t index) noexcept {
  if (idle.rounds < kRoundsUntilSleepy) {
    ::sched_yield();
    ++idle.rounds;
  } else if (idle.rounds == kRoundsUntilSleepy) {
    idle.sleepy_events = announce_sleepy();
    ++idle.rounds;
    ::sched_yield();
  } else {
    sleep(idle, latch, index);
  }
}

std::uint32_t SleepState::announce_sleepy() noexcept {
  std::uint64_t c = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    if (events_of(c) % 2 == 1) return events_of(c);
    if (counters_.compare_exchange_weak(c, c + kOneEvent, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst))
      return events_of(c + kOneEvent);
  }
}

void SleepState::mark_asleep(std::size_t index, bool asleep) noexcept {
  const std::uint64_t bit = std::uint64_t{1} << (index % 64);
  if (asleep)
    asleep_[index / 64].fetch_or(bit, std::memory_order_relaxed);
  else
    asleep_[index / 64].fetch_and(~bit, std::memory_order_relaxed);
}

void SleepState::sleep(IdleState& idle, CoreLatch& latch, std::size_t index) noexcept {
  if (!latch.get_sleepy()) return;  // the awaited latch is set: nothing to sleep for
  Slot& slot = slots_[index];
  std::unique_lock<std::mutex> lock(slot.mutex);
  if (!latch.fall_asleep()) return;  // set meanwhile
  mark_asleep(index, true);  // before the count: see the argument above
  std::uint64_t c = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    if (events_of(c) != idle.sleepy_events) {
      // New work since the announcement: search again, announcing afresh.
      mark_asleep(index, false);
      latch.wake_up();
      idle.rounds = kRoundsUntilSleepy;
      return;
    }
    if (counters_.compare_exchange_weak(c, c + kOneSleeping, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst))
      break;
  }
  slot.blocked = true;
  do slot.cond.wait(lock);
  while (slot.blocked);
  idle.rounds = 0;
  latch.wake_up();
}

void SleepState::wait_at_start(std::size_t index) noexcept {
  Slot& slot = slots_[index];
  std::unique_lock<std::mutex> lock(slot.mutex);
  while (slot.blocked) slot.cond.wait(lock);
}

bool SleepState::wake(std::size_t index) noexcept {
  Slot& slot = slots_[index];
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.blocked) return false;
  slot.blocked = false;
  mark_asleep(index, false);
  counters_.fetch_sub(kOneSleeping, std::memory_order_seq_cst);
  slot.cond.notify_one();
  return true;
}

void SleepState::wake_any() noexcept {
  for (std::size_t w = 0; w < (threads_ + 63) / 64; ++w)
    for (std::uint64_t bits = asleep_[w].load(std::memory_order_relaxed); bits != 0;
         bits &= bits - 1)
      if (wake(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)))) return;
}

void SleepState::new_jobs(bool queue_had_jobs) noexcept {
  std::uint64_t c = counters_.load(std::memory_order_relaxed);
  for (;;) {
    // Always a successful read-modify-write, even when nothing changes: see above.
    const std::uint64_t next = events_of(c) % 2 == 1 ? c + kOneEvent : c;
    if (counters_.compare_exchange_weak(c, next, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
      break;
  }
  const std::uint32_t sleeping = sleeping_of(c);
  if (sleeping == 0) return;
  const std::size_t awake = threads_ - sleeping;
  // With nobody awake a worker must be woken. Otherwise one more helps only when the
  // queue is backing up or nobody awake is free to take the job, and only while the awake
  // workers do not already fill the CPUs.
  const bool awake_idle = inactive_of(c) > sleeping;
  if (awake == 0 || (awake < awake_limit_ && (queue_had_jobs || !awake_idle))) wake_any();
}

}  // namespace quarvex::parallel
