// Loops on the calling thread alone, for inputs too small for the workers to pay for
// themselves.
//
// Handing a loop to the pool costs a queued job, a worker woken through the kernel, and the
// calling thread put to sleep and woken again: tens of microseconds per loop on a virtual
// machine, and a call runs a dozen loops. While the innermost InlineScope of a thread is
// engaged, every loop that thread starts runs its whole range as one piece there: no job is
// queued and no worker is woken. The loop still asks for the pool first, so whether the pool
// exists, and how a pool that cannot start fails, does not depend on the scope.
//
// One piece is one of the cuts a threaded loop may make, so a loop whose result does not
// depend on its cut points gives the same result inline.
//
// A call opens one scope for its whole length; whoever first learns that the input is small
// engages it (the call body does, from the number of points read; a reader may, from the
// file's size), and it stays engaged until the scope ends.
//
// Sharing: t_innermost and the scopes it chains are this thread's own; no other thread
// reads or writes them.
#pragma once

#include <cstdint>

namespace quarvex::parallel {

// Below these sizes a call runs inline. Handing a loop to the workers costs some 15 us on a
// 2-core virtual machine (a 200-triangle call spent about 170 us in the hand-offs of its dozen
// loops), while a second thread saves about 28 ns per binary triangle over the whole call
// (bin-2M: 0.186 s on one thread, 0.130 s on two) and 24 ns per point in the stages after the
// reading (ascii-300k, 150,000 points). Both break even near 6,000 triangles (300 KB) and
// 5,600 points; the thresholds sit below that, because a woken worker that arrives late costs
// more than a small loop run on one thread.
inline constexpr std::uint64_t kInlineBelowFileBytes = std::uint64_t{128} << 10;
inline constexpr std::uint64_t kInlineBelowPoints = std::uint64_t{4} << 10;

inline bool small_file(std::uint64_t bytes) noexcept { return bytes < kInlineBelowFileBytes; }
inline bool few_points(std::uint64_t points) noexcept { return points < kInlineBelowPoints; }

class InlineScope {
 public:
  // Engaged at once when `engaged`, or when an enclosing scope of this thread is.
  explicit InlineScope(bool engaged = false) noexcept
      : outer_(t_innermost), engaged_(engaged || (outer_ != nullptr && outer_->engaged_)) {
    t_innermost = this;
  }
  ~InlineScope() { t_innermost = outer_; }
  InlineScope(const InlineScope&) = delete;
  InlineScope& operator=(const InlineScope&) = delete;

  // Whether loops started on this thread run on it alone.
  static bool active() noexcept { return t_innermost != nullptr && t_innermost->engaged_; }

  // Engages this thread's innermost scope for the rest of its life when `small`; a thread
  // without a scope (a test, a fuzzer) keeps its threaded loops.
  static void engage_if(bool small) noexcept {
    if (small && t_innermost != nullptr) t_innermost->engaged_ = true;
  }

 private:
  static inline thread_local InlineScope* t_innermost = nullptr;
  InlineScope* const outer_;
  bool engaged_;
};

}  // namespace quarvex::parallel
