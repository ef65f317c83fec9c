// The pool of worker threads: each worker's deque, the shared injector, the sleep state, and
// how idle workers find work. Fork-join on top of it is in fork_join.h; what a new thread
// needs before it runs a job is in thread_start.h.
//
// One WorkerPool per process is created on first use (global_pool()) and lives until the
// process ends; tests may also create private pools of a chosen size. A pool has T workers
// (fixed at creation), each with its own JobDeque, one shared Injector for threads outside the
// pool, and the SleepState that lets idle workers block.
//
// Invariants:
//  - A pushed job is never left unnoticed while every worker sleeps (sleep_state.cpp).
//  - A pool is handed out only once all T workers run, each with its thread-local state set
//    up and every asynchronous signal blocked; if any of them cannot start, none is left.
//  - Worker threads never touch interpreter objects; the pool knows nothing about them.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
  CoreLatch terminate_;      // set by the pool's destructor, probed by this worker
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

}  // namespace quarvex::parallel
