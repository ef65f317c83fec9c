// The pool of worker threads and its fork-join primitive.
//
// One WorkerPool per process is created on first use (global_pool()) and lives until the
// process ends; tests may also create private pools of a chosen size. A pool has T workers
// (fixed at creation), each with its own JobDeque, one shared Injector for threads outside the
// pool, and the SleepState that lets idle workers block.
//
// Invariants:
//  - A job lives in the stack frame of the thread that created it; that thread does not leave
//    the frame before the job's latch is set (or it ran the job itself).
//  - A job's fault is caught on the thread that ran it and rethrown by the thread that joins
//    it, after both halves of the fork have finished; the left half's fault wins.
//  - A pushed job is never left unnoticed while every worker sleeps (sleep_state.cpp).
//  - A pool is handed out only once all T workers run, each with its thread-local state set
//    up and every asynchronous signal blocked; if any of them cannot start, none is left.
//  - Worker threads never touch interpreter objects; the pool knows nothing about them.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/fault.h"
#include "support/memory_reserve.h"
#include "parallel/injector.h"
#include "parallel/job_deque.h"
#include "parallel/latch.h"
#include "parallel/sleep_state.h"

namespace quarvex::parallel {

class WorkerPool;

// One worker: its deque and its per-worker state. Only the owning thread calls the
// non-const members; thieves reach the deque through the pool.
class alignas(64) WorkerThread {
 public:
  WorkerThread(WorkerPool& pool, std::size_t index);
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  WorkerPool& pool() const noexcept { return pool_; }
  std::size_t index() const noexcept { return index_; }

  // Pushes onto the own deque and applies the wake rule. May throw std::bad_alloc.
  void push(JobHeader* job);
  JobHeader* take_local() noexcept { return deque_.take(); }
  void execute(JobHeader* job) noexcept { job->run(job, *this); }

  // Runs other work until `latch` is set, blocking when there is none.
  void wait_until(CoreLatch& latch) noexcept {
    if (!latch.probe()) wait_until_cold(latch);
  }

 private:
  friend class WorkerPool;
  void wait_until_cold(CoreLatch& latch) noexcept;
  void search_while_idle(CoreLatch& latch, IdleState idle) noexcept;
  JobHeader* find_work() noexcept;
  JobHeader* steal() noexcept;
  std::uint64_t next_random() noexcept;

  JobDeque deque_;
  WorkerPool& pool_;
  const std::size_t index_;
  std::uint64_t rng_state_;  // XorShift64*, owner only
  CoreLatch terminate_;      // set when the pool ends this worker
};

class WorkerPool {
 public:
  // Worker stack size; rounded up to the thread library's minimum and to whole pages.
  static constexpr std::size_t kStackSize = std::size_t{2} << 20;

  // Starts a thread, as pthread_create does (tests replace it to make starts fail).
  using StartThread = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

  // Starts `threads` workers (at least 1), indices 0 to T - 1 in order, and returns once all
  // of them run. When one cannot be started, those already running are ended and joined,
  // `error` describes the failure and the result is null; a count above what the kernel can
  // ever allow fails before any thread starts. May throw std::bad_alloc.
  static std::unique_ptr<WorkerPool> create(std::size_t threads, std::string& error,
                                            StartThread start = nullptr);
  // Ends the workers and joins them. Only when no job of this pool is pending.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t num_threads() const noexcept { return workers_.size(); }

  // Workers blocked right now (a snapshot, for tests).
  std::size_t sleeping_threads() const noexcept { return sleep_.sleeping(); }

  // Queues a job from outside the pool and applies the wake rule. May throw std::bad_alloc.
  void inject(JobHeader* job);

  // Wakes worker `index` if it is blocked (a latch it waits on has been set).
  void wake_specific(std::size_t index) noexcept { sleep_.wake(index); }

 private:
  friend class WorkerThread;
  explicit WorkerPool(std::size_t threads);
  bool start_threads(StartThread start, std::string& error);
  static void* worker_main(void* arg) noexcept;

  std::vector<std::unique_ptr<WorkerThread>> workers_;  // fixed after construction
  SleepState sleep_;
  Injector injector_;

  // Start-up. Sharing: threads_ is written only by the creating thread, before the pool is
  // handed out, and read by the destructor. reported_, failed_at_ and failed_ are written by
  // starting workers and read by the creator, all under start_mutex_, which also keeps the
  // workers' set-ups apart (see worker_main).
  std::vector<pthread_t> threads_;
  std::mutex start_mutex_;
  std::condition_variable start_cond_;
  std::size_t reported_ = 0;
  bool failed_ = false;
  std::size_t failed_at_ = 0;
};

// The pool worker running on this thread, or nullptr on any other thread.
WorkerThread* current_worker() noexcept;

// The calling thread's own latch for waiting on the pool.
LockLatch& thread_lock_latch() noexcept;

// The process-wide pool, created on first use with thread_count_from_env() workers (the
// count is chosen once per process). When it cannot be created, the call faults with a
// message beginning "The global thread pool has not been initialized."; the next call tries
// again. The child of fork() starts without a pool and makes its own on first use.
WorkerPool& global_pool();

// The worker of `pool` running on this thread, or nullptr.
inline WorkerThread* worker_of(WorkerPool& pool) noexcept {
  WorkerThread* w = current_worker();
  return w != nullptr && &w->pool() == &pool ? w : nullptr;
}

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

// The result slot of a job: nothing yet, a value, or the fault the job raised. Running out of
// memory is kept as a flag and thrown afresh by take(): a loop whose pieces fail one after
// another then holds no exception object per failed piece, which matters where the C++
// runtime has only a few hundred bytes for exceptions once malloc fails (see
// support/memory_reserve.h).
template <class R>
class JobResult {
 public:
  template <class F, class... Args>
  void capture(F& func, Args&&... args) noexcept {
    try {
      value_.emplace(func(std::forward<Args>(args)...));
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
    } catch (...) {
      fault_ = std::current_exception();
    }
  }
  bool has_fault() const noexcept { return out_of_memory_ || static_cast<bool>(fault_); }
  // The value, or the fault rethrown on the calling thread.
  R take() {
    if (out_of_memory_) throw_out_of_memory();
    if (fault_) std::rethrow_exception(fault_);
    if (!value_) fault("internal error: entered unreachable code");
    return std::move(*value_);
  }

 private:
  std::optional<R> value_;
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
