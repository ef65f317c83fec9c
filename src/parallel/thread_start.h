// What a worker thread needs before it runs its first job, apart from how jobs are scheduled:
// its stack size, the signals it must not take, the kernel's bound on thread counts, and
// per-thread state made while memory is sure to be there.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>

namespace quarvex::parallel {

// `wanted` rounded up to the thread library's minimum stack and to whole pages.
std::size_t worker_stack_size(std::size_t wanted) noexcept;

// Every signal but those a fault raises on the thread itself, so that asynchronous signals
// (SIGINT, SIGALRM, ...) go to threads that can act on them, and a crash on a worker still
// reaches the handlers (fault handler, sanitizers) instead of killing the process silently.
sigset_t asynchronous_signals() noexcept;

// Empty when the kernel's system-wide bounds (kernel.pid_max, kernel.threads-max) could allow
// `threads` more threads; else the sentence that refuses the count.
std::string thread_count_refusal(std::size_t threads);

// Sets up, on a new thread, the per-thread state that the C library would otherwise allocate
// on first use and abort the process for when memory is short: this module's thread-local
// block (`touch_thread_locals(arg)` makes it, by a first write) and the C++ runtime's
// exception state (needed by every throw and rethrow). First a reserve is allocated and given
// back to the thread's heap, from which the small blocks are then carved; false, with nothing
// touched, when the reserve cannot be had. Callers keep other new threads from allocating in
// between.
bool set_up_thread_state(void (*touch_thread_locals)(void*), void* arg) noexcept;

}  // namespace quarvex::parallel
