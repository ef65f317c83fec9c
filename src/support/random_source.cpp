#include "support/random_source.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "support/os_random.h"

namespace quarvex {
namespace {

// Written by the fork handlers (relaxed increments: only the changed value matters, no data
// is published with it); read by every refill of every thread generator.
std::atomic<std::uint64_t> g_fork_counter{0};

// Guards the one-time registration of the fork handler.
std::mutex g_atfork_mutex;
bool g_atfork_registered = false;

// Thread-local: touched only by its own thread (including from the fork handlers, which run
// on the forking thread). Trivially destructible, so no exit-time destructor is registered.
thread_local std::optional<ThreadRng> t_rng;

// Runs at the prepare, parent and child stage of every fork. Besides counting, it drops the
// forking thread's buffered words: otherwise parent and child would both hand out the same
// rest of the buffer before their reseed. Other threads do not exist in the child.
void count_fork_stage() noexcept {
  g_fork_counter.fetch_add(1, std::memory_order_relaxed);
  if (t_rng.has_value()) t_rng->discard_buffer();
}

void register_fork_handler_once() {
  std::lock_guard<std::mutex> lock(g_atfork_mutex);
  if (g_atfork_registered) return;
  const int rc = ::pthread_atfork(count_fork_stage, count_fork_stage, count_fork_stage);
  if (rc != 0) fault("libc::pthread_atfork failed with code " + std::to_string(rc));
  g_atfork_registered = true;
}

[[gnu::noinline]] ThreadRng& create_thread_rng() {
  ChaChaKey key;
  std::string error;
  if (!fill_os_random(key.data(), sizeof key, error))
    fault("could not initialize thread_rng: " + error);
  // Registered before the generator exists, so no generator can ever miss a fork.
  register_fork_handler_once();
  t_rng.emplace(key);
  return *t_rng;
}

}  // namespace

std::uint64_t fork_counter() noexcept { return g_fork_counter.load(std::memory_order_relaxed); }

bool OsSeedSource::fresh_key(ChaChaKey& key) const noexcept {
  std::string error;
  return fill_os_random(key.data(), sizeof key, error);
}

ThreadRng& thread_rng() {
  if (t_rng.has_value()) [[likely]] return *t_rng;
  return create_thread_rng();
}

}  // namespace quarvex
