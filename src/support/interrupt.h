// How a long-running call learns that it has to stop early.
//
// The call's owner (the module boundary) supplies a check that runs whatever is pending
// for the calling thread, such as signal handlers, and says whether the call must end. The
// code doing the work calls `poll()` at its waiting points: after a system call came back
// interrupted (EINTR), every kInterruptCheckBytes of input, and between the stages of the
// call. Once a poll has said "stop", the interrupt stays fired and the work unwinds,
// releasing what it made, with a plain "interrupted" value; the owner then raises what the
// check collected.
//
// Invariants: `poll()` runs only on the thread that owns the call (the check may run code
// that needs that thread, e.g. the interpreter's handlers), and never while a parallel loop
// of the call is in flight: a handler may start a whole new call of the module, loops and
// all. `fired()` is one relaxed atomic load and may be asked from any thread, e.g. by a
// worker that should stop early; a worker that sees false just goes on and the calling
// thread polls again later. The flag publishes nothing else (what the check collected stays
// with the calling thread), so relaxed is enough on any processor. A default-made Interrupt
// never fires: tests and tools read files without one.
#pragma once

#include <atomic>
#include <cstddef>

namespace quarvex {

// Input taken in between two polls while a file is read: a few milliseconds of work.
inline constexpr std::size_t kInterruptCheckBytes = std::size_t{4} << 20;

class Interrupt {
 public:
  // Runs what is pending for the calling thread; true when the call has to end.
  using Check = bool (*)(void* context) noexcept;

  Interrupt() noexcept = default;
  Interrupt(Check check, void* context) noexcept : check_(check), context_(context) {}
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // Calling thread only. True when the call has to end (now or at an earlier poll).
  bool poll() noexcept {
    if (fired()) return true;
    if (check_ == nullptr || !check_(context_)) return false;
    fired_.store(true, std::memory_order_relaxed);
    return true;
  }

  // Any thread: whether a poll has already said "stop".
  bool fired() const noexcept { return fired_.load(std::memory_order_relaxed); }

 private:
  Check check_ = nullptr;
  void* context_ = nullptr;
  std::atomic<bool> fired_{false};
};

// An interrupt that never fires, for callers without anything to check.
inline Interrupt& no_interrupt() noexcept {
  static Interrupt never;
  return never;
}

}  // namespace quarvex
