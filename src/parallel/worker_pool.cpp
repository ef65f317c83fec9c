#include "parallel/worker_pool.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "support/os_error.h"
#include "parallel/cpu_count.h"

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

// Memory a new worker makes sure of before it touches its thread-local state: far more than
// the few hundred bytes that state takes (this module's block and the C++ runtime's).
constexpr std::size_t kThreadStateReserve = 64 << 10;

// Sets up, on a new worker, the per-thread state that the C library would otherwise allocate
// on first use and abort the process for when memory is short: this module's thread-local
// block and the C++ runtime's exception state (needed by every throw and rethrow). First a
// reserve is allocated and given back to the thread's heap, from which the small blocks are
// then carved; false, with nothing touched, when the reserve cannot be had. Callers keep
// the other new workers from allocating in between (start_mutex_).
bool set_up_thread_state(WorkerThread* worker) noexcept {
  void* reserve = std::malloc(kThreadStateReserve);
  asm volatile("" : : "r"(reserve) : "memory");  // the allocation must really happen
  if (reserve == nullptr) return false;
  std::free(reserve);
  t_current_worker = worker;
  // Asking the runtime for its uncaught-exception count makes its exception state (created on
  // first use where it lives in a dynamically loaded library's thread-local storage).
  const int uncaught = std::uncaught_exceptions();
  asm volatile("" : : "r"(uncaught) : "memory");
  return true;
}

// Every signal but those a fault raises on the thread itself, so that asynchronous signals
// (SIGINT, SIGALRM, ...) go to threads that can act on them, and a crash on a worker still
// reaches the handlers (fault handler, sanitizers) instead of killing the process silently.
sigset_t asynchronous_signals() noexcept {
  sigset_t set;
  ::sigfillset(&set);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) ::sigdelset(&set, sig);
  return set;
}

// The most threads one process can have by the kernel's system-wide bounds: each needs a
// process id below kernel.pid_max (ids 0 and 1 are never free) and counts against
// kernel.threads-max. Unbounded when neither can be read.
std::size_t kernel_thread_limit() noexcept {
  std::size_t limit = SIZE_MAX;
  for (const auto& [path, unusable] : {std::pair{"/proc/sys/kernel/pid_max", 2ull},
                                       std::pair{"/proc/sys/kernel/threads-max", 0ull}}) {
    unsigned long long value = 0;
    if (std::FILE* f = std::fopen(path, "re")) {
      if (std::fscanf(f, "%llu", &value) == 1 && value > unusable && value - unusable < limit)
        limit = static_cast<std::size_t>(value - unusable);
      std::fclose(f);
    }
  }
  return limit;
}

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
  // A count that can never fit is refused before anything is made, instead of taking every
  // free process id of the system for the time it takes to find out.
  const std::size_t kernel_limit = kernel_thread_limit();
  if (threads >= kernel_limit) {
    error = "cannot start " + std::to_string(threads) +
            " worker threads: the kernel allows at most " + std::to_string(kernel_limit) +
            " threads (kernel.pid_max, kernel.threads-max)";
    return nullptr;
  }
  std::unique_ptr<WorkerPool> pool(new WorkerPool(threads));
  if (!pool->start_threads(start != nullptr ? start : &::pthread_create, error))
    return nullptr;  // the destructor ends and joins the threads already started
  return pool;
}

bool WorkerPool::start_threads(StartThread start, std::string& error) {
  // Round the size up to the library's minimum and to whole pages, as it would itself.
  std::size_t stack_size = kStackSize;
  const long min_stack = ::sysconf(_SC_THREAD_STACK_MIN);
  if (min_stack > 0 && stack_size < static_cast<std::size_t>(min_stack))
    stack_size = static_cast<std::size_t>(min_stack);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) {
    const auto p = static_cast<std::size_t>(page);
    stack_size = (stack_size + p - 1) / p * p;
  }
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
    const bool ready = set_up_thread_state(worker);
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
