// The pool of worker threads and its fork-join primitive.
//
// One WorkerPool per process is created on first use (global_pool()) and lives until the
// process ends; tests may also create private pools of a chosen size. A pool has T workers
// (fixed at creation), each with its own JobDeque, one shared Injector for threads outside the
// pool, and sleep bookkeeping that lets idle workers block.
//
// Invariants:
//  - A job lives in the stack frame of the thread that created it; that thread does not leave
//    the frame before the job's latch is set (or it ran the job itself).
//  - A job's fault is caught on the thread that ran it and rethrown by the thread that joins
//    it, after both halves of the fork have finished; the left half's fault wins.
//  - A pushed job is never left unnoticed while every worker sleeps (see the sleep protocol
//    in worker_pool.cpp).
//  - Worker threads never touch interpreter objects; the pool knows nothing about them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/fault.h"
#include "parallel/injector.h"
#include "parallel/job_deque.h"
#include "parallel/latch.h"

namespace quarvex::parallel {

class WorkerPool;

// Where the idle search of one worker stands: yield rounds so far, and the jobs-event count
// it saw when it announced that it is getting sleepy.
struct IdleState {
  std::uint32_t rounds = 0;
  std::uint32_t sleepy_events = 0;
};

// One worker: its deque and its per-worker state. Only the owning thread calls the
// non-const members, except steal_from(), which thieves call.
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
  // Worker stack size; the thread library raises it to its minimum and to whole pages.
  static constexpr std::size_t kStackSize = std::size_t{2} << 20;

  // Starts a detached thread running entry(arg) with the given stack size; 0 or an errno.
  using StartThread = int (*)(void* (*entry)(void*), void* arg, std::size_t stack_size);

  // Starts `threads` workers (at least 1), indices 0 to T - 1 in order. When a thread cannot be
  // started, the ones already running are ended, `error` describes the failure and the result
  // is null. `start` replaces the thread start (tests). May throw std::bad_alloc.
  static std::unique_ptr<WorkerPool> create(std::size_t threads, std::string& error,
                                            StartThread start = nullptr);
  // Ends the workers and waits until they have left. Only when no job of this pool is pending.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t num_threads() const noexcept { return workers_.size(); }

  // Workers blocked right now (a snapshot, for diagnostics and tests).
  std::size_t sleeping_threads() const noexcept {
    return static_cast<std::size_t>(counters_.load(std::memory_order_relaxed) & 0xFFFF);
  }

  // Queues a job from outside the pool and applies the wake rule. May throw std::bad_alloc.
  void inject(JobHeader* job);

  // Wakes worker `index` if it is blocked (a latch it waits on has been set).
  void wake_specific(std::size_t index) noexcept;

 private:
  friend class WorkerThread;
  explicit WorkerPool(std::size_t threads);

  // Sleep bookkeeping; see worker_pool.cpp.
  void notify_new_jobs(bool queue_was_empty) noexcept;
  void start_looking() noexcept;
  void work_found() noexcept;
  void no_work_found(IdleState& idle, CoreLatch& latch, WorkerThread& worker) noexcept;
  std::uint32_t announce_sleepy() noexcept;
  void sleep(IdleState& idle, CoreLatch& latch, WorkerThread& worker) noexcept;
  void wake_any() noexcept;
  bool wake_blocked(std::size_t index) noexcept;

  static void* worker_main(void* arg) noexcept;
  void end_started_workers() noexcept;

  // Per-worker blocking state. Sharing: is_blocked is written and read only under mutex, by
  // the sleeper (sets it, waits) and by a waker (clears it, signals, and takes the sleeper
  // off the sleeping count while still holding the mutex, so exactly once per sleep).
  struct alignas(64) SleepSlot {
    std::mutex mutex;
    std::condition_variable cond;
    bool is_blocked = false;
  };

  std::vector<std::unique_ptr<WorkerThread>> workers_;  // fixed after construction
  std::unique_ptr<SleepSlot[]> sleep_slots_;
  Injector injector_;

  // Sleep counters, one word: bits 0-15 sleeping workers, 16-31 inactive workers (idle or
  // sleeping), 32-63 the jobs-event count (JEC), odd while some worker is getting sleepy.
  // Every change is a read-modify-write (seq_cst), so any acquiring read of the word
  // synchronizes with every earlier change, including a pusher's notify after its push.
  alignas(64) std::atomic<std::uint64_t> counters_{0};

  // Thread start/exit bookkeeping, under exit_mutex_.
  std::size_t started_ = 0;
  std::mutex exit_mutex_;
  std::condition_variable exit_cond_;
  std::size_t exited_ = 0;
};

// The pool worker running on this thread, or nullptr on any other thread.
WorkerThread* current_worker() noexcept;

// The calling thread's own latch for waiting on the pool; created on first use.
LockLatch& thread_lock_latch();

// The process-wide pool, created on first use with thread_count_from_env() workers. If that
// creation failed, this and every later call faults with a message beginning "The global
// thread pool has not been initialized.". After fork() the child gets a fresh pool on first use.
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

// The result slot of a job: nothing yet, a value, or the fault the job raised.
template <class R>
class JobResult {
 public:
  template <class F, class... Args>
  void capture(F& func, Args&&... args) noexcept {
    try {
      value_.emplace(func(std::forward<Args>(args)...));
    } catch (...) {
      fault_ = std::current_exception();
    }
  }
  bool has_fault() const noexcept { return static_cast<bool>(fault_); }
  // The value, or the fault rethrown on the calling thread.
  R take() {
    if (fault_) std::rethrow_exception(fault_);
    if (!value_) fault("internal error: entered unreachable code");
    return std::move(*value_);
  }

 private:
  std::optional<R> value_;
  std::exception_ptr fault_;
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
