// Baseline for bench/pool_startup.py: how long this machine takes to start N threads with
// the worker stack size (2 MiB) that then block, and to end them again. Prints milliseconds.
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
bool g_go = false;

void* wait_for_go(void*) {
  pthread_mutex_lock(&g_mutex);
  while (!g_go) pthread_cond_wait(&g_cond, &g_mutex);
  pthread_mutex_unlock(&g_mutex);
  return nullptr;
}
}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 2;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, std::size_t{2} << 20);
  std::vector<pthread_t> threads(static_cast<std::size_t>(n));
  const auto start = std::chrono::steady_clock::now();
  for (auto& t : threads)
    if (pthread_create(&t, &attr, wait_for_go, nullptr) != 0) return 1;
  const auto started = std::chrono::steady_clock::now();
  pthread_mutex_lock(&g_mutex);
  g_go = true;
  pthread_cond_broadcast(&g_cond);
  pthread_mutex_unlock(&g_mutex);
  for (auto& t : threads) pthread_join(t, nullptr);
  std::printf("%.3f\n", std::chrono::duration<double, std::milli>(started - start).count());
}
