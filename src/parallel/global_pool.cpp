// The process-wide pool: created by the first loop that asks for it, then kept until the
// process ends. A failed creation is not remembered (the next request tries again), and the
// child of fork(), which has none of the parent's threads, starts without a pool.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "support/fault.h"
#include "support/memory_reserve.h"
#include "parallel/thread_count.h"
#include "parallel/worker_pool.h"

namespace quarvex::parallel {
namespace {

// Sharing: g_pool is published once (release) under g_init_mutex and read lock-free
// (acquire). g_thread_count and g_atfork_registered are touched only under g_init_mutex. The
// fork handlers hold g_init_mutex across fork(), so the child never inherits it locked or a
// pool half made; the child handler runs while the child has a single thread.
std::atomic<WorkerPool*> g_pool{nullptr};
std::mutex g_init_mutex;
std::size_t g_thread_count = 0;  // 0 until chosen
bool g_atfork_registered = false;

void lock_for_fork() noexcept { g_init_mutex.lock(); }
void unlock_in_parent() noexcept { g_init_mutex.unlock(); }

// The parent's pool has no threads here: forget it (its memory stays behind, unreachable)
// so that the child's first loop makes a pool of its own, sized from the environment as
// the child finds it.
void reset_in_child() noexcept {
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_thread_count = 0;
  g_init_mutex.unlock();
}

WorkerPool& create_global_pool() {
  std::string error;
  {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) return *pool;
    if (!g_atfork_registered) {
      // Without the handlers a child would wait for threads it does not have.
      if (::pthread_atfork(&lock_for_fork, &unlock_in_parent, &reset_in_child) != 0)
        throw_out_of_memory();  // its only failure is ENOMEM
      g_atfork_registered = true;
    }
    if (g_thread_count == 0) g_thread_count = thread_count_from_env();
    if (std::unique_ptr<WorkerPool> pool = WorkerPool::create(g_thread_count, error)) {
      WorkerPool* created = pool.release();
      g_pool.store(created, std::memory_order_release);
      return *created;
    }
  }
  fault("The global thread pool has not been initialized.: " + error);
}

}  // namespace

WorkerPool& global_pool() {
  if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  return create_global_pool();
}

}  // namespace quarvex::parallel
