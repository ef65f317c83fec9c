// How the idle workers of a pool fall asleep and how new jobs wake them.
//
// A worker that finds no work searches again a few times, then announces that it is getting
// sleepy, searches once more and blocks on its own condition variable. There is no timer: a
// blocked worker wakes only when a push, a latch it waits on or the end of the pool wakes it.
// Every worker starts blocked, before any job exists.
//
// Invariants:
//  - A pushed job is never left unnoticed while every worker sleeps (the argument is in
//    sleep_state.cpp).
//  - A worker marked asleep has an empty job queue: only the owner pushes onto its queue,
//    and it drains the queue before it starts looking for other work.
//  - A push wakes at most one worker, and only while fewer workers are awake than there are
//    CPUs to run them (always, when the pool has no more workers than CPUs).
#pragma once

#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "parallel/latch.h"

namespace quarvex::parallel {

// Where the idle search of one worker stands: searches so far that found nothing, and the
// jobs-event count it saw when it announced that it is getting sleepy.
struct IdleState {
  std::uint32_t rounds = 0;
  std::uint32_t sleepy_events = 0;
};

class SleepState {
 public:
  // `threads` workers, all counted asleep and blocked until woken; `cpus` bounds how many
  // awake workers pushes recruit. May throw std::bad_alloc.
  SleepState(std::size_t threads, std::size_t cpus);
  SleepState(const SleepState&) = delete;
  SleepState& operator=(const SleepState&) = delete;

  // A job has just been published on a queue that already held jobs (or not): wakes one
  // sleeping worker if the rule above asks for it.
  void new_jobs(bool queue_had_jobs) noexcept;

  // Worker `index` only. It starts looking for work / has found some (or its latch was set).
  void start_looking() noexcept;
  void work_found() noexcept;
  // Its search found nothing: yields, announces sleepiness, or blocks until woken, depending
  // on how long it has been idle. Returns at once when `latch` is set.
  void no_work_found(IdleState& idle, CoreLatch& latch, std::size_t index) noexcept;
  // Blocks a freshly started worker until it is first woken.
  void wait_at_start(std::size_t index) noexcept;

  // Wakes worker `index` if it is blocked; true if it was.
  bool wake(std::size_t index) noexcept;

  // Workers blocked right now (a snapshot, for tests).
  std::size_t sleeping() const noexcept;

  // Calls visit(i) for each worker i not marked asleep, in the order start, start + 1, ...,
  // wrapping around, until visit returns true; returns whether it did. Lock-free: a worker
  // that falls asleep or wakes meanwhile may or may not be visited.
  template <class Visit>
  bool visit_awake(std::size_t start, Visit&& visit) const noexcept {
    std::size_t i = start;
    std::size_t remaining = threads_;
    while (remaining > 0) {
      const std::size_t bit = i % 64;
      std::size_t span = 64 - bit;
      if (span > remaining) span = remaining;
      if (span > threads_ - i) span = threads_ - i;
      std::uint64_t awake = ~asleep_[i / 64].load(std::memory_order_relaxed) >> bit;
      if (span < 64) awake &= (std::uint64_t{1} << span) - 1;
      for (; awake != 0; awake &= awake - 1)
        if (visit(i + static_cast<std::size_t>(std::countr_zero(awake)))) return true;
      i += span;
      remaining -= span;
      if (i == threads_) i = 0;
    }
    return false;
  }

 private:
  void sleep(IdleState& idle, CoreLatch& latch, std::size_t index) noexcept;
  std::uint32_t announce_sleepy() noexcept;
  void wake_any() noexcept;
  void mark_asleep(std::size_t index, bool asleep) noexcept;

  // Per-worker blocking state. Sharing: `blocked` is written and read only under `mutex`,
  // by the sleeper (sets it, waits) and by a waker (clears it, takes the worker off the
  // sleeping count and the asleep map, signals), so each sleep ends exactly once. The
  // noexcept members lock `mutex` and wait on `cond`: std::mutex::lock throws only for errors
  // a default mutex cannot have (deadlock detection, recursion, a dead owner), and a failed
  // wait ends the process rather than throwing, so none of them can throw.
  struct alignas(64) Slot {
    std::mutex mutex;
    std::condition_variable cond;
    bool blocked = true;
  };

  const std::size_t threads_;
  const std::size_t awake_limit_;
  std::unique_ptr<Slot[]> slots_;

  // One bit per worker, set while it is asleep or about to be. Written only under the
  // worker's slot mutex: set by the worker before it counts itself sleeping (and cleared
  // again if that fails), cleared by its waker. Read without locks (relaxed) by wakers
  // looking for a sleeper and by thieves skipping empty queues; a reader that synchronized
  // with a sleeping count sees the bits of every sleeper counted in it.
  std::unique_ptr<std::atomic<std::uint64_t>[]> asleep_;

  // Bits 0-15 sleeping workers, 16-31 inactive workers (idle or asleep), 32-63 the
  // jobs-event count (JEC), odd while some worker is getting sleepy. Every change is a
  // read-modify-write (seq_cst), so an acquiring read-modify-write synchronizes with every
  // earlier change, including a pusher's after its push.
  alignas(64) std::atomic<std::uint64_t> counters_;
};

}  // namespace quarvex::parallel
