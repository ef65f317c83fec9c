#include "support/memory_reserve.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace quarvex {
namespace {

// Room for a few hundred exception objects; below glibc's mmap threshold (128 KiB).
constexpr std::size_t kReserveBytes = 64 << 10;

std::atomic<void*> g_reserve{nullptr};

}  // namespace

void renew_memory_reserve() noexcept {
  if (g_reserve.load(std::memory_order_relaxed) != nullptr) return;
  void* block = std::malloc(kReserveBytes);
  if (block == nullptr) return;
  void* expected = nullptr;
  if (!g_reserve.compare_exchange_strong(expected, block)) std::free(block);
}

void throw_out_of_memory() {
  std::free(g_reserve.exchange(nullptr));
  throw std::bad_alloc();
}

void install_out_of_memory_handler() noexcept {
#ifdef QUARVEX_PRIVATE_CXX_RUNTIME
  // A new handler that throws ends operator new's retry loop at once, so the freed reserve
  // is left for the exception rather than taken by the allocation that failed.
  std::set_new_handler([] { throw_out_of_memory(); });
#endif
}

}  // namespace quarvex
