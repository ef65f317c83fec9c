#include "parallel/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "parallel/cpu_count.h"
#include "parallel/thread_start.h"
#include "support/os_error.h"

namespace quarvex::parallel {
namespace {

// Constant-initialised: a worker's first write to it is the first touch of this module's
// thread-local block, which the C library allocates lazily for a loaded library.
constinit thread_local WorkerThread* t_current_worker = nullptr;

constinit thread_local LockLatch t_lock_latch;

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void touch_current_worker(void* worker) noexcept { t_current_worker = static_cast<WorkerThread*>(worker); }

}  // namespace

WorkerThread* current_worker() noexcept { return t_current_worker; }

LockLatch& thread_lock_latch() noexcept { return t_lock_latch; }

// ---------------------------------------------------------------------------------------------
// Workers

WorkerThread::WorkerThread(WorkerPool& pool, std::size_t index)
    : pool_(pool), index_(index),
      rng_state_(splitmix64(reinterpret_cast<std::uintptr_t>(&pool) ^ (index + 1))) {
  if (rng_state_ == 0) rng_state_ = 1;  // XorShift must not start at zero
}

void WorkerThread::push(JobHeader* job) {
  const bool had_jobs = deque_.push(job);
  pool_.sleep_.new_jobs(had_jobs);
}

std::uint64_t WorkerThread::next_random() noexcept {
  std::uint64_t x = rng_state_;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  rng_state_ = x;
  return x * 0x2545F4914F6CDD1Dull;
}

JobHeader* WorkerThread::steal() noexcept {
  const std::size_t count = pool_.num_threads();
  if (count <= 1) return nullptr;
  const std::size_t start = static_cast<std::size_t>(next_random() % count);
  for (;;) {
    // Victims in order from `start`, wrapping; sleepers are skipped, their deques are empty.
    bool retry = false;
    JobHeader* job = nullptr;
    pool_.sleep_.visit_awake(start, [&](std::size_t victim) {
      if (victim == index_) return false;
      switch (pool_.workers_[victim]->deque_.steal(job)) {
        case StealStatus::kSuccess:
          return true;
        case StealStatus::kRetry:
          retry = true;
          return false;
        case StealStatus::kEmpty:
          return false;
      }
      return false;
    });
    if (job != nullptr) return job;
    if (!retry) return nullptr;
  }
}

JobHeader* WorkerThread::find_work() noexcept {
  if (JobHeader* job = deque_.take()) return job;
  if (JobHeader* job = steal()) return job;
  return pool_.injector_.pop();
}

void WorkerThread::wait_until_cold(CoreLatch& latch) noexcept {
  while (!latch.probe()) {
    // Own work first, without going idle.
    if (JobHeader* job = deque_.take()) {
      execute(job);
      continue;
    }
    pool_.sleep_.start_looking();
    search_while_idle(latch, IdleState{});
  }
}

// Counted inactive from the start; counted active again on return, after running one job
// found (which may leave work in the own deque) or once `latch` is set.
void WorkerThread::search_while_idle(CoreLatch& latch, IdleState idle) noexcept {
  while (!latch.probe()) {
    if (JobHeader* job = find_work()) {
      pool_.sleep_.work_found();
      execute(job);
      return;
    }
    pool_.sleep_.no_work_found(idle, latch, index_);
  }
  pool_.sleep_.work_found();
}

// ---------------------------------------------------------------------------------------------
// Pool

WorkerPool::WorkerPool(std::size_t threads) : sleep_(threads, available_cpus()) {
  workers_.reserve(threads);
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i)
    workers_.push_back(std::make_unique<WorkerThread>(*this, i));
}

std::unique_ptr<WorkerPool> WorkerPool::create(std::size_t threads, std::string& error,
                                               StartThread start) {
  if (threads == 0) threads = 1;
  error = thread_count_refusal(threads);
  if (!error.empty()) return nullptr;
  std::unique_ptr<WorkerPool> pool(new WorkerPool(threads));
  if (!pool->start_threads(start != nullptr ? start : &::pthread_create, error))
    return nullptr;  // the destructor ends and joins the threads already started
  return pool;
}

bool WorkerPool::start_threads(StartThread start, std::string& error) {
  const std::size_t stack_size = worker_stack_size(kStackSize);
  pthread_attr_t attr;
  int rc = ::pthread_attr_init(&attr);
  std::size_t failed_at = 0;
  if (rc == 0) {
    rc = ::pthread_attr_setstacksize(&attr, stack_size);
    // A new thread inherits the signal mask of its creator.
    const sigset_t blocked = asynchronous_signals();
    sigset_t old;
    ::pthread_sigmask(SIG_BLOCK, &blocked, &old);
    for (std::size_t i = 0; rc == 0 && i < workers_.size(); ++i) {
      {
        std::lock_guard<std::mutex> lock(start_mutex_);
        if (failed_) break;
      }
      // Outside the lock, so that new workers set up while the next ones are made.
      pthread_t thread;
      rc = start(&thread, &attr, &WorkerPool::worker_main, workers_[i].get());
      if (rc == 0) threads_.push_back(thread);
      failed_at = i;
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::pthread_attr_destroy(&attr);
  }
  {
    std::unique_lock<std::mutex> lock(start_mutex_);
    start_cond_.wait(lock, [this] { return reported_ == threads_.size(); });
    if (failed_ && (rc == 0 || failed_at_ < failed_at)) {
      rc = ENOMEM;
      failed_at = failed_at_;
    }
  }
  if (rc == 0) return true;
  error = "failed to start worker thread " + std::to_string(failed_at) + ": " + os_error_text(rc);
  return false;
}

void* WorkerPool::worker_main(void* arg) noexcept {
  auto* worker = static_cast<WorkerThread*>(arg);
  WorkerPool& pool = worker->pool_;
  {
    // Under the start mutex, so that no other new worker allocates between the reserve being
    // given back and the state being carved from it. The creator may: pthread_create maps the
    // stack and takes only a few hundred bytes from the heap, far less than the reserve.
    std::lock_guard<std::mutex> lock(pool.start_mutex_);
    const bool ready = set_up_thread_state(&touch_current_worker, worker);
    if (!ready && !pool.failed_) {
      pool.failed_ = true;
      pool.failed_at_ = worker->index_;
    }
    ++pool.reported_;
    pool.start_cond_.notify_one();
    if (!ready) return nullptr;
  }
  pool.sleep_.wait_at_start(worker->index_);
  worker->search_while_idle(worker->terminate_, IdleState{});
  worker->wait_until(worker->terminate_);
  return nullptr;
}

WorkerPool::~WorkerPool() {
  // Workers blocked at start never saw their latch move to SLEEPING: wake every one.
  for (std::size_t i = 0; i < threads_.size(); ++i) {
    workers_[i]->terminate_.set();
    sleep_.wake(i);
  }
  for (pthread_t thread : threads_) ::pthread_join(thread, nullptr);
}

void WorkerPool::inject(JobHeader* job) {
  const bool had_jobs = !injector_.empty();
  injector_.push(job);
  sleep_.new_jobs(had_jobs);
}

}  // namespace quarvex::parallel
