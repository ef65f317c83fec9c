#include "parallel/worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <new>

#include "support/os_error.h"
#include "parallel/thread_count.h"

namespace quarvex::parallel {
namespace {

thread_local WorkerThread* t_current_worker = nullptr;

// Layout of WorkerPool::counters_.
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

// How long a sleeping worker waits before it looks for work again on its own.
constexpr std::chrono::milliseconds kSleepRecheck{50};

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

int start_detached_thread(void* (*entry)(void*), void* arg, std::size_t stack_size) {
  // Round the size up to the library's minimum and to whole pages, as it would itself.
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
  if (rc != 0) return rc;
  rc = ::pthread_attr_setstacksize(&attr, stack_size);
  pthread_t thread;
  if (rc == 0) rc = ::pthread_create(&thread, &attr, entry, arg);
  ::pthread_attr_destroy(&attr);
  if (rc == 0) ::pthread_detach(thread);
  return rc;
}

}  // namespace

WorkerThread* current_worker() noexcept { return t_current_worker; }

LockLatch& thread_lock_latch() {
  thread_local LockLatch latch;
  return latch;
}

// ---------------------------------------------------------------------------------------------
// Workers

WorkerThread::WorkerThread(WorkerPool& pool, std::size_t index)
    : pool_(pool), index_(index),
      rng_state_(splitmix64(reinterpret_cast<std::uintptr_t>(&pool) ^ (index + 1))) {
  if (rng_state_ == 0) rng_state_ = 1;  // XorShift must not start at zero
}

void WorkerThread::push(JobHeader* job) {
  const bool had_jobs = deque_.push(job);
  pool_.notify_new_jobs(!had_jobs);
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
    bool retry = false;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t victim = (start + i) % count;
      if (victim == index_) continue;
      JobHeader* job = nullptr;
      switch (pool_.workers_[victim]->deque_.steal(job)) {
        case StealStatus::kSuccess:
          return job;
        case StealStatus::kRetry:
          retry = true;
          break;
        case StealStatus::kEmpty:
          break;
      }
    }
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
    pool_.start_looking();
    IdleState idle;
    bool found = false;
    while (!latch.probe()) {
      if (JobHeader* job = find_work()) {
        pool_.work_found();
        execute(job);
        found = true;
        break;  // the job may have left work in the own deque
      }
      pool_.no_work_found(idle, latch, *this);
    }
    if (!found) pool_.work_found();
  }
}

// ---------------------------------------------------------------------------------------------
// Sleep protocol
//
// A worker that finds nothing yields and searches again kRoundsUntilSleepy times, then
// announces that it is getting sleepy: it makes the JEC odd (or finds it odd already) and
// remembers it. It yields and searches once more, and then, under its own mutex, adds itself
// to the sleeping count with a compare-exchange that succeeds only if the JEC is unchanged.
// A pusher first publishes its job, then read-modify-writes the counters, bumping an odd JEC
// to even. Against one sleeper and one push, in the order of the counters word:
//  - notify before the sleepy announcement: the sleeper's later search synchronizes with the
//    notify and sees the job;
//  - notify between announcement and sleep: the JEC moved, the sleep attempt fails and the
//    worker searches again;
//  - notify after the sleep: the pusher sees the sleeper and wakes one worker, unless an awake
//    worker is idle (and the queue was empty before), which by the same argument will see the
//    job before it can fall asleep.
// So a job is never left unnoticed while every worker sleeps.

void WorkerPool::start_looking() noexcept {
  counters_.fetch_add(kOneInactive, std::memory_order_seq_cst);
}

void WorkerPool::work_found() noexcept {
  counters_.fetch_sub(kOneInactive, std::memory_order_seq_cst);
}

void WorkerPool::no_work_found(IdleState& idle, CoreLatch& latch, WorkerThread& worker) noexcept {
  if (idle.rounds < kRoundsUntilSleepy) {
    ::sched_yield();
    ++idle.rounds;
  } else if (idle.rounds == kRoundsUntilSleepy) {
    idle.sleepy_events = announce_sleepy();
    ++idle.rounds;
    ::sched_yield();
  } else {
    sleep(idle, latch, worker);
  }
}

std::uint32_t WorkerPool::announce_sleepy() noexcept {
  std::uint64_t c = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    if (events_of(c) % 2 == 1) return events_of(c);
    if (counters_.compare_exchange_weak(c, c + kOneEvent, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst))
      return events_of(c + kOneEvent);
  }
}

void WorkerPool::sleep(IdleState& idle, CoreLatch& latch, WorkerThread& worker) noexcept {
  if (!latch.get_sleepy()) return;  // the awaited latch is set: nothing to sleep for
  SleepSlot& slot = sleep_slots_[worker.index_];
  std::unique_lock<std::mutex> lock(slot.mutex);
  if (!latch.fall_asleep()) {
    idle.rounds = kRoundsUntilSleepy;
    return;
  }
  std::uint64_t c = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    if (events_of(c) != idle.sleepy_events) {
      // New work arrived since the announcement: search again, announcing afresh.
      idle.rounds = kRoundsUntilSleepy;
      latch.wake_up();
      return;
    }
    if (counters_.compare_exchange_weak(c, c + kOneSleeping, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst))
      break;
  }
  slot.is_blocked = true;
  // A sleeper also wakes by itself now and then and searches again. The wake-up protocol
  // above is meant to make that unnecessary; the timeout bounds what any wake-up lost in
  // spite of it can cost (a stalled loop for one period) instead of hanging the caller.
  while (slot.is_blocked) {
    if (slot.cond.wait_for(lock, kSleepRecheck) == std::cv_status::timeout && slot.is_blocked) {
      slot.is_blocked = false;  // off the sleeping count under the mutex, as a waker does
      counters_.fetch_sub(kOneSleeping, std::memory_order_seq_cst);
    }
  }
  idle.rounds = 0;
  latch.wake_up();
}

bool WorkerPool::wake_blocked(std::size_t index) noexcept {
  SleepSlot& slot = sleep_slots_[index];
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.is_blocked) return false;
  slot.is_blocked = false;
  slot.cond.notify_one();
  counters_.fetch_sub(kOneSleeping, std::memory_order_seq_cst);
  return true;
}

void WorkerPool::wake_specific(std::size_t index) noexcept { wake_blocked(index); }

void WorkerPool::wake_any() noexcept {
  for (std::size_t i = 0; i < workers_.size(); ++i)
    if (wake_blocked(i)) return;
}

void WorkerPool::notify_new_jobs(bool queue_was_empty) noexcept {
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
  const std::uint32_t awake_idle = inactive_of(c) - sleeping;
  if (!queue_was_empty || awake_idle == 0) wake_any();
}

// ---------------------------------------------------------------------------------------------
// Pool

WorkerPool::WorkerPool(std::size_t threads) : sleep_slots_(new SleepSlot[threads]) {
  workers_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i)
    workers_.push_back(std::make_unique<WorkerThread>(*this, i));
}

std::unique_ptr<WorkerPool> WorkerPool::create(std::size_t threads, std::string& error,
                                               StartThread start) {
  if (threads == 0) threads = 1;
  if (start == nullptr) start = &start_detached_thread;
  std::unique_ptr<WorkerPool> pool(new WorkerPool(threads));
  for (std::size_t i = 0; i < threads; ++i) {
    const int rc = start(&WorkerPool::worker_main, pool->workers_[i].get(), kStackSize);
    if (rc != 0) {
      error = "failed to start worker thread " + std::to_string(i) + ": " + os_error_text(rc);
      return nullptr;  // the destructor ends the threads already started
    }
    std::lock_guard<std::mutex> lock(pool->exit_mutex_);
    ++pool->started_;
  }
  return pool;
}

void* WorkerPool::worker_main(void* arg) noexcept {
  auto* worker = static_cast<WorkerThread*>(arg);
  WorkerPool& pool = worker->pool_;
  t_current_worker = worker;
  worker->wait_until(worker->terminate_);
  t_current_worker = nullptr;
  // Last touch of the pool: the destructor may free it as soon as the mutex is released.
  std::lock_guard<std::mutex> lock(pool.exit_mutex_);
  ++pool.exited_;
  pool.exit_cond_.notify_all();
  return nullptr;
}

void WorkerPool::end_started_workers() noexcept {
  std::size_t started;
  {
    std::lock_guard<std::mutex> lock(exit_mutex_);
    started = started_;
  }
  for (std::size_t i = 0; i < started; ++i)
    if (workers_[i]->terminate_.set()) wake_specific(i);
  std::unique_lock<std::mutex> lock(exit_mutex_);
  exit_cond_.wait(lock, [&] { return exited_ == started; });
}

WorkerPool::~WorkerPool() { end_started_workers(); }

void WorkerPool::inject(JobHeader* job) {
  const bool was_empty = injector_.empty();
  injector_.push(job);
  notify_new_jobs(was_empty);
}

// ---------------------------------------------------------------------------------------------
// The process-wide pool

namespace {

// Sharing: g_pool is published once (release) under g_init_mutex and read lock-free
// (acquire). g_failure and g_atfork_registered are touched only under g_init_mutex. In a
// forked child all three are reset by the fork handler, which runs while the child has a
// single thread.
std::atomic<WorkerPool*> g_pool{nullptr};
std::mutex g_init_mutex;
std::string g_failure;
bool g_atfork_registered = false;

// The child of fork() has none of the parent's worker threads: forget the pool (its memory
// stays behind, unreachable) so the first loop in the child starts a fresh one. The init
// mutex may have been held by a thread that does not exist here; make a new one.
void forget_pool_in_child() noexcept {
  t_current_worker = nullptr;
  ::new (static_cast<void*>(&g_init_mutex)) std::mutex();
  g_pool.store(nullptr, std::memory_order_relaxed);
}

WorkerPool& create_global_pool() {
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) return *pool;
    if (g_failure.empty()) {
      if (!g_atfork_registered)
        g_atfork_registered = ::pthread_atfork(nullptr, nullptr, &forget_pool_in_child) == 0;
      std::string error;
      std::unique_ptr<WorkerPool> pool = WorkerPool::create(thread_count_from_env(), error);
      if (pool) {
        WorkerPool* created = pool.release();
        g_pool.store(created, std::memory_order_release);
        return *created;
      }
      g_failure = "The global thread pool has not been initialized.: " + error;
    }
    failure = g_failure;
  }
  fault(std::move(failure));
}

}  // namespace

WorkerPool& global_pool() {
  if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  return create_global_pool();
}

}  // namespace quarvex::parallel
