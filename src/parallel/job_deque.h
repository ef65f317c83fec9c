// A worker's own job queue: a Chase–Lev work-stealing deque of job references.
//
// The owner pushes and takes at the bottom (newest first); any other thread steals at the
// top (oldest first). Jobs are never copied or owned here: a slot holds a pointer to a job
// that lives in the stack frame of the thread that pushed it.
//
// Invariants: top <= bottom + 1 at all times, and the live entries are [top, bottom).
// Capacity starts at 64 and doubles when full; a replaced buffer stays alive (chained from
// its successor) until the deque dies, because a thief may still be reading from it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quarvex::parallel {

class WorkerThread;

// The common head of every job. A queue entry is a pointer to it; `run` executes the job on
// the given worker and then sets the job's latch, after which the job must not be touched.
struct JobHeader {
  void (*run)(JobHeader* job, WorkerThread& worker);
};

// Outcome of one steal attempt. `kRetry`: lost a race with another taker; the deque may still
// hold jobs.
enum class StealStatus { kEmpty, kSuccess, kRetry };

// Sharing (after Lê, Pop, Cohen, Zappa Nardelli, "Correct and Efficient Work-Stealing for
// Weak Memory Models"):
//   bottom_  written only by the owner; read by thieves.
//   top_     advanced by compare-exchange from the owner (taking the last entry) and thieves.
//   buffer_  written only by the owner (on growth); read by thieves.
//   slots    written only by the owner at index bottom_; read by the owner and by thieves.
// The published version places seq_cst fences between the store to bottom and the load of
// top in take(), and between the two loads in steal(). Here those accesses are seq_cst
// operations instead: as strong on every target, free on x86 for the loads, and visible to
// ThreadSanitizer, which does not model fences. Every store to bottom_ is at least a release
// (C++20 no longer extends a release sequence to later plain stores of the same thread), so
// a thief that reads any value of bottom_ also sees the slots written before it, and the jobs
// they point to. push() reads top_ with acquire: a thief reads its slot before its exchange
// of top_, so the owner overwrites a slot only after the thief that emptied it has read it.
// None of this leans on x86's ordering; the orders above are all a weakly ordered processor
// (ARM) needs.
class JobDeque {
 public:
  JobDeque() : buffer_(new Buffer(kInitialCapacity, nullptr)) {}
  ~JobDeque() { delete buffer_.load(std::memory_order_relaxed); }
  JobDeque(const JobDeque&) = delete;
  JobDeque& operator=(const JobDeque&) = delete;

  static constexpr std::size_t kInitialCapacity = 64;

  // Owner only. Returns true when the deque already held entries before this push. May throw
  // std::bad_alloc while growing; the deque is unchanged then.
  bool push(JobHeader* job) {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);
    const std::int64_t t = top_.load(std::memory_order_acquire);
    Buffer* a = buffer_.load(std::memory_order_relaxed);
    if (b - t > static_cast<std::int64_t>(a->mask)) a = grow(a, t, b);
    a->slot(b).store(job, std::memory_order_relaxed);
    bottom_.store(b + 1, std::memory_order_release);
    return b - t > 0;
  }

  // Owner only: the newest entry, or nullptr when empty.
  JobHeader* take() noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    Buffer* a = buffer_.load(std::memory_order_relaxed);
    bottom_.store(b, std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {  // was empty
      bottom_.store(b + 1, std::memory_order_release);
      return nullptr;
    }
    JobHeader* job = a->slot(b).load(std::memory_order_relaxed);
    if (t == b) {
      // The last entry: race the thieves for it through top.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
        job = nullptr;
      bottom_.store(b + 1, std::memory_order_release);
    }
    return job;
  }

  // Any thread: takes the oldest entry into `out`.
  StealStatus steal(JobHeader*& out) noexcept {
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return StealStatus::kEmpty;
    Buffer* a = buffer_.load(std::memory_order_acquire);
    JobHeader* job = a->slot(t).load(std::memory_order_relaxed);
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed))
      return StealStatus::kRetry;
    out = job;
    return StealStatus::kSuccess;
  }

  // Owner only (for tests): current capacity.
  std::size_t capacity() const noexcept {
    return buffer_.load(std::memory_order_relaxed)->mask + 1;
  }

 private:
  struct Buffer {
    Buffer(std::size_t capacity, Buffer* prev)
        : mask(capacity - 1), slots(new std::atomic<JobHeader*>[capacity]), previous(prev) {}
    std::atomic<JobHeader*>& slot(std::int64_t i) noexcept {
      return slots[static_cast<std::size_t>(i) & mask];
    }
    std::size_t mask;
    std::unique_ptr<std::atomic<JobHeader*>[]> slots;
    std::unique_ptr<Buffer> previous;  // kept for thieves still reading the old one
  };

  Buffer* grow(Buffer* old, std::int64_t t, std::int64_t b) {
    auto* bigger = new Buffer((old->mask + 1) * 2, nullptr);
    for (std::int64_t i = t; i < b; ++i)
      bigger->slot(i).store(old->slot(i).load(std::memory_order_relaxed),
                            std::memory_order_relaxed);
    bigger->previous.reset(old);
    buffer_.store(bigger, std::memory_order_release);
    return bigger;
  }

  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  std::atomic<Buffer*> buffer_;
};

static_assert(std::atomic<std::int64_t>::is_always_lock_free);
static_assert(std::atomic<JobHeader*>::is_always_lock_free);

}  // namespace quarvex::parallel
