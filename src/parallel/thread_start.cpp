#include "parallel/thread_start.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "support/proc_text.h"

namespace quarvex::parallel {
namespace {

// Memory a new thread makes sure of before it touches its thread-local state: far more than
// the few hundred bytes that state takes (this module's block and the C++ runtime's).
constexpr std::size_t kThreadStateReserve = 64 << 10;

// The most threads one process can have by the kernel's system-wide bounds: each needs a
// process id below kernel.pid_max (ids 0 and 1 are never free) and counts against
// kernel.threads-max. Unbounded when neither can be read.
std::size_t kernel_thread_limit() noexcept {
  std::size_t limit = SIZE_MAX;
  for (const auto& [path, unusable] : {std::pair{"/proc/sys/kernel/pid_max", 2ull},
                                       std::pair{"/proc/sys/kernel/threads-max", 0ull}}) {
    std::optional<std::uint64_t> value;
    try {
      value = proc_number(read_proc_text(path));
    } catch (const std::bad_alloc&) {  // a number's few bytes; nothing is known then
    }
    if (value && *value > unusable && *value - unusable < limit) limit = static_cast<std::size_t>(*value - unusable);
  }
  return limit;
}

}  // namespace

std::size_t worker_stack_size(std::size_t wanted) noexcept {
  std::size_t size = wanted;
  const long min_stack = ::sysconf(_SC_THREAD_STACK_MIN);
  if (min_stack > 0 && size < static_cast<std::size_t>(min_stack)) size = static_cast<std::size_t>(min_stack);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) {
    const auto p = static_cast<std::size_t>(page);
    size = (size + p - 1) / p * p;
  }
  return size;
}

sigset_t asynchronous_signals() noexcept {
  sigset_t set;
  ::sigfillset(&set);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) ::sigdelset(&set, sig);
  return set;
}

std::string thread_count_refusal(std::size_t threads) {
  // A count that can never fit is refused before anything is made, instead of taking every
  // free process id of the system for the time it takes to find out.
  const std::size_t limit = kernel_thread_limit();
  if (threads < limit) return {};
  return "cannot start " + std::to_string(threads) + " worker threads: the kernel allows at most " +
         std::to_string(limit) + " threads (kernel.pid_max, kernel.threads-max)";
}

bool set_up_thread_state(void (*touch_thread_locals)(void*), void* arg) noexcept {
  void* reserve = std::malloc(kThreadStateReserve);
  asm volatile("" : : "r"(reserve) : "memory");  // the allocation must really happen
  if (reserve == nullptr) return false;
  std::free(reserve);
  touch_thread_locals(arg);
  // Asking the runtime for its uncaught-exception count makes its exception state (created on
  // first use where it lives in a dynamically loaded library's thread-local storage).
  const int uncaught = std::uncaught_exceptions();
  asm volatile("" : : "r"(uncaught) : "memory");
  return true;
}

}  // namespace quarvex::parallel
