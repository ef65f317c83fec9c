// Fork-join on the pool: the jobs that carry one half of a fork, their result slots, and
// join() itself, from a worker or from a thread outside the pool.
//
// Invariants:
//  - A job lives in the stack frame of the thread that created it; that thread does not leave
//    the frame before the job's latch is set (or it ran the job itself).
//  - A job's fault is caught on the thread that ran it and rethrown by the thread that joins
//    it, after both halves of the fork have finished; the left half's fault wins.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "parallel/worker_pool.h"
#include "support/fault.h"
#include "support/memory_reserve.h"

namespace quarvex::parallel {

// Latch of a job whose creator is a worker: setting it wakes that worker if it sleeps.
class SpinLatch {
 public:
  explicit SpinLatch(WorkerThread& owner) noexcept : pool_(&owner.pool()), owner_(owner.index()) {}
  bool probe() const noexcept { return core_.probe(); }
  CoreLatch& core() noexcept { return core_; }
  void set() noexcept {
    // Copy first: once set, the owner may return and destroy this latch.
    WorkerPool* pool = pool_;
    const std::size_t owner = owner_;
    if (core_.set()) pool->wake_specific(owner);
  }

 private:
  CoreLatch core_;
  WorkerPool* pool_;
  std::size_t owner_;
};

// The result slot of a job: nothing yet, a value (for a void job, that it returned), or the
// fault the job raised. Running out of
// memory is kept as a flag and thrown afresh by take(): a loop whose pieces fail one after
// another then holds no exception object per failed piece, which matters where the C++
// runtime has only a few hundred bytes for exceptions once malloc fails (see
// support/memory_reserve.h).
// Sharing: written by the thread that runs the job, then read by the thread that joins it,
// only after the job's latch is set: the setter's exchange (acq_rel) and the waiter's probe
// (acquire) of a CoreLatch, or the mutex of a LockLatch, order the write before the read.
template <class R>
class JobResult {
 public:
  template <class F, class... Args>
  void capture(F& func, Args&&... args) noexcept {
    try {
      if constexpr (std::is_void_v<R>) {
        func(std::forward<Args>(args)...);
        value_.emplace();
      } else {
        value_.emplace(func(std::forward<Args>(args)...));
      }
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
    } catch (...) {
      fault_ = std::current_exception();
    }
  }
  // The value, or the fault rethrown on the calling thread.
  R take() {
    if (out_of_memory_) throw_out_of_memory();
    if (fault_) std::rethrow_exception(fault_);
    if (!value_) fault("internal error: entered unreachable code");
    if constexpr (!std::is_void_v<R>) return std::move(*value_);
  }

 private:
  std::optional<std::conditional_t<std::is_void_v<R>, std::monostate, R>> value_;
  std::exception_ptr fault_;
  bool out_of_memory_ = false;
};

// The right half of a fork on a worker, pushed onto that worker's deque. `func` is called as
// func(WorkerThread&, bool migrated).
template <class F, class R>
class StackJob : public JobHeader {
 public:
  StackJob(F& func, WorkerThread& owner) noexcept
      : JobHeader{&StackJob::run_stolen}, func_(func), latch_(owner) {}
  // Run by the creating worker after taking the job back from its own deque.
  void run_inline(WorkerThread& worker) noexcept { result_.capture(func_, worker, false); }
  SpinLatch& latch() noexcept { return latch_; }
  R take_result() { return result_.take(); }

 private:
  static void run_stolen(JobHeader* job, WorkerThread& worker) noexcept {
    auto* self = static_cast<StackJob*>(job);
    self->result_.capture(self->func_, worker, true);
    self->latch_.set();
  }
  F& func_;
  SpinLatch latch_;
  JobResult<R> result_;
};

// A job handed to the pool by a thread outside it. `op` is called as op(WorkerThread&).
template <class Op, class R>
class InjectedJob : public JobHeader {
 public:
  InjectedJob(Op& op, LockLatch& latch) noexcept
      : JobHeader{&InjectedJob::run_injected}, op_(op), latch_(latch) {}
  R take_result() { return result_.take(); }

 private:
  static void run_injected(JobHeader* job, WorkerThread& worker) noexcept {
    auto* self = static_cast<InjectedJob*>(job);
    self->result_.capture(self->op_, worker);
    LockLatch& latch = self->latch_;  // the job may vanish once the latch is set
    latch.set();
  }
  Op& op_;
  LockLatch& latch_;
  JobResult<R> result_;
};

// Runs op(worker) on a worker of `pool` while the calling thread, which is not one of its
// workers, blocks on its own latch. The op's fault is rethrown here.
template <class Op>
auto run_from_outside(WorkerPool& pool, Op& op) {
  using R = std::invoke_result_t<Op&, WorkerThread&>;
  LockLatch& latch = thread_lock_latch();
  InjectedJob<Op, R> job(op, latch);
  pool.inject(&job);
  latch.wait_and_reset();
  return job.take_result();
}

// A job handed to the pool by a thread outside it, which goes on with other work meanwhile
// (the sequential reader reads the next window while the workers merge the last one).
// `op` is called as op(WorkerThread&), returns nothing or a value (which is dropped) and must
// outlive the job. wait() blocks until the job has run and rethrows its fault; a job not
// waited for is waited for by the destructor, its fault dropped (the owner is already leaving
// with a failure of its own), so the job never outlives the frame it refers to.
template <class Op>
class BackgroundJob {
 public:
  BackgroundJob(WorkerPool& pool, Op& op) : job_(op, latch_) { pool.inject(&job_); }
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;
  ~BackgroundJob() {
    if (!waited_) latch_.wait_and_reset();
  }

  void wait() {
    waited_ = true;
    latch_.wait_and_reset();
    job_.take_result();
  }

 private:
  LockLatch latch_;  // its own: the owner's thread latch stays free for loops of its own
  InjectedJob<Op, std::invoke_result_t<Op&, WorkerThread&>> job_;
  bool waited_ = false;
};

// Fork-join on a worker: a(worker, migrated) here at once, b possibly on a thief. Returns both
// results once both halves have finished; a fault of either is rethrown, a's first.
template <class FA, class FB>
auto join_on_worker(WorkerThread& worker, FA& a, FB& b) {
  using RA = std::invoke_result_t<FA&, WorkerThread&, bool>;
  using RB = std::invoke_result_t<FB&, WorkerThread&, bool>;
  StackJob<FB, RB> job_b(b, worker);
  worker.push(&job_b);
  JobResult<RA> result_a;
  result_a.capture(a, worker, false);
  // Take jobs back newest first until b is found, finished elsewhere, or gone to a thief.
  while (!job_b.latch().probe()) {
    JobHeader* job = worker.take_local();
    if (job == &job_b) {
      job_b.run_inline(worker);
      break;
    }
    if (job == nullptr) {
      worker.wait_until(job_b.latch().core());
      break;
    }
    worker.execute(job);
  }
  RA ra = result_a.take();
  RB rb = job_b.take_result();
  return std::pair<RA, RB>(std::move(ra), std::move(rb));
}

// Fork-join from any thread: on a worker of `pool` (`worker` non-null) directly, otherwise
// the whole fork is handed to the pool as one injected job.
template <class FA, class FB>
auto join(WorkerPool& pool, WorkerThread* worker, FA& a, FB& b) {
  if (worker != nullptr) return join_on_worker(*worker, a, b);
  auto op = [&a, &b](WorkerThread& w) { return join_on_worker(w, a, b); };
  return run_from_outside(pool, op);
}

}  // namespace quarvex::parallel
