// The pool's shared injection queue: a lock-free, unbounded, first-in first-out queue of job
// references, pushed by threads outside the pool and popped by any worker.
//
// Layout: a chain of blocks of 63 slots. A position is lap * 64 + offset; offset 63 never
// names a slot but marks "the thread that took slot 62 is linking the next block", during
// which the other threads on that end wait (a few instructions). Positions only grow.
//
// Invariants: slots [head, tail) are reserved for jobs that are, or are about to be, written;
// every slot is written once and read once; a block is freed by the reader that completes
// the 63rd read of it, when nobody else can still be touching it.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "parallel/job_deque.h"

namespace quarvex::parallel {

// Sharing:
//   tail_.index/block  advanced by pushers (compare-exchange on index; the thread that takes a
//                      block's last slot alone installs the next block and then moves index
//                      past the marker with release stores, block before index).
//   head_.index/block  advanced by poppers in the same way.
//   Slot::job          written once by the pusher that reserved the slot, then
//   Slot::written      released by it; the popper that reserved the slot acquires `written`.
//   Block::next        written once (release) by the pusher of slot 62; read by the popper of
//                      slot 62 (acquire).
//   Block::reads_done  incremented (acq_rel) by each popper after its read; the one reaching
//                      63 frees the block.
// A thread dereferences a block only after its compare-exchange reserved a slot in it, and
// the block cannot be freed before that slot is read; an end's block is loaded after its
// index (acquire), so a successful exchange proves the block matches the index. (An index
// read from another thread's exchange still carries the block: read-modify-writes continue
// the release sequence of the store that moved the index onto that block.)
// Freeing: a pusher's last touch of a block is its release of `written`, which the slot's
// popper acquires before its acq_rel increment of reads_done; the increments form one chain,
// so the popper whose increment is the 63rd has every other access to the block ordered
// before its delete.
class Injector {
 public:
  static constexpr std::size_t kBlockCapacity = 63;
  static constexpr std::uint64_t kLap = 64;

  Injector() {
    Block* first = new Block;
    head_.block.store(first, std::memory_order_relaxed);
    tail_.block.store(first, std::memory_order_relaxed);
  }
  // Only when no thread uses the queue any more.
  ~Injector() {
    Block* b = head_.block.load(std::memory_order_relaxed);
    while (b != nullptr) {
      Block* next = b->next.load(std::memory_order_relaxed);
      delete b;
      b = next;
    }
  }
  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;

  // May throw std::bad_alloc (before anything is queued).
  void push(JobHeader* job) {
    std::unique_ptr<Block> spare;
    for (;;) {
      std::uint64_t index = tail_.index.load(std::memory_order_acquire);
      const std::uint64_t offset = index % kLap;
      if (offset == kBlockCapacity) {  // the next block is being linked
        ::sched_yield();
        continue;
      }
      Block* block = tail_.block.load(std::memory_order_acquire);
      const bool last_slot = offset + 1 == kBlockCapacity;
      // Allocate before reserving, so a failed allocation leaves the queue untouched.
      if (last_slot && !spare) spare = std::make_unique<Block>();
      if (!tail_.index.compare_exchange_weak(index, index + 1, std::memory_order_seq_cst,
                                             std::memory_order_relaxed))
        continue;
      if (last_slot) {
        Block* next = spare.release();
        block->next.store(next, std::memory_order_release);
        tail_.block.store(next, std::memory_order_release);
        tail_.index.store(index + 2, std::memory_order_release);  // next lap, offset 0
      }
      Slot& slot = block->slots[offset];
      slot.job.store(job, std::memory_order_relaxed);
      slot.written.store(true, std::memory_order_release);
      return;
    }
  }

  // The oldest job, or nullptr when the queue is empty.
  JobHeader* pop() noexcept {
    for (;;) {
      std::uint64_t index = head_.index.load(std::memory_order_acquire);
      const std::uint64_t offset = index % kLap;
      if (offset == kBlockCapacity) {  // another popper is moving to the next block
        ::sched_yield();
        continue;
      }
      Block* block = head_.block.load(std::memory_order_acquire);
      // tail may sit on the marker of the block head has already left: still empty.
      if (index >= tail_.index.load(std::memory_order_seq_cst)) return nullptr;
      if (!head_.index.compare_exchange_weak(index, index + 1, std::memory_order_seq_cst,
                                             std::memory_order_relaxed))
        continue;
      if (offset + 1 == kBlockCapacity) {
        Block* next;
        while ((next = block->next.load(std::memory_order_acquire)) == nullptr) ::sched_yield();
        head_.block.store(next, std::memory_order_release);
        head_.index.store(index + 2, std::memory_order_release);
      }
      Slot& slot = block->slots[offset];
      while (!slot.written.load(std::memory_order_acquire)) ::sched_yield();
      JobHeader* job = slot.job.load(std::memory_order_relaxed);
      if (block->reads_done.fetch_add(1, std::memory_order_acq_rel) + 1 == kBlockCapacity)
        delete block;
      return job;
    }
  }

  bool empty() const noexcept {
    return head_.index.load(std::memory_order_seq_cst) >=
           tail_.index.load(std::memory_order_seq_cst);
  }

 private:
  struct Slot {
    std::atomic<JobHeader*> job{nullptr};
    std::atomic<bool> written{false};
  };
  struct Block {
    std::atomic<Block*> next{nullptr};
    std::atomic<std::uint32_t> reads_done{0};
    Slot slots[kBlockCapacity];
  };
  struct alignas(64) End {
    std::atomic<std::uint64_t> index{0};
    std::atomic<Block*> block{nullptr};
  };

  End head_;
  End tail_;
};

static_assert(Injector::kBlockCapacity + 1 == Injector::kLap,
              "one position per lap is the block-change marker");
static_assert(sizeof(Injector) == 128, "head and tail on separate cache lines");

}  // namespace quarvex::parallel
