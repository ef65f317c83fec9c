// Memory for the large arrays and hash tables of a call.
//
// On a virtual machine a 4 KiB page fault can cost more than the work done in the page, and
// a table of tens of megabytes probed at random misses the TLB on almost every access with
// 4 KiB pages. Large blocks are therefore mapped directly, aligned to 2 MiB and offered to
// the kernel for transparent huge pages (where it supports them; nothing else changes
// otherwise). Fresh mappings are already zero, so no block is cleared by hand.
//
//  - LargeBlock: a zero-filled block of fixed size, for the hash tables (calloc below
//    2 MiB, a mapping above).
//  - resize_block / release_block: the growable storage behind PodVector (realloc below
//    2 MiB; from there, a mapping that grows in place when it can and otherwise moves its pages
//    to a new aligned mapping without copying them).
//
// Invariants: every block has exactly one owner and is returned once; `mapped` is the
// length of the mapping, or 0 when the block came from malloc. Allocation failure throws
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <utility>

namespace quarvex {

// The size of a transparent huge page on the processors the module runs on: mappings are
// aligned to it, and memory goes back to the system in whole units of it.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

struct RawBlock {
  void* data = nullptr;
  std::size_t mapped = 0;
};

// Storage for `bytes` bytes holding the first `keep` bytes of `block` (keep <= both sizes);
// `block` is consumed. bytes == 0 releases everything and returns an empty block.
RawBlock resize_block(RawBlock block, std::size_t keep, std::size_t bytes);
void release_block(RawBlock block) noexcept;

class LargeBlock {
 public:
  LargeBlock() noexcept = default;
  explicit LargeBlock(std::size_t bytes);  // zero-filled
  LargeBlock(LargeBlock&& other) noexcept
      : block_(std::exchange(other.block_, RawBlock{})), bytes_(std::exchange(other.bytes_, 0)),
        released_(std::exchange(other.released_, 0)) {}
  LargeBlock& operator=(LargeBlock&& other) noexcept {
    LargeBlock(std::move(other)).swap(*this);
    return *this;
  }
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;
  ~LargeBlock() { release_block(block_); }

  void swap(LargeBlock& other) noexcept {
    std::swap(block_, other.block_);
    std::swap(bytes_, other.bytes_);
    std::swap(released_, other.released_);
  }
  void* data() const noexcept { return block_.data; }
  std::size_t bytes() const noexcept { return bytes_; }

  // Hands the memory to a new owner (a PodVector adopting it); the block is left empty.
  RawBlock release() noexcept {
    bytes_ = released_ = 0;
    return std::exchange(block_, RawBlock{});
  }

  // Hands the whole huge pages among the first `bytes` bytes back to the system: the owner
  // no longer needs them (they read as zero afterwards). A block from calloc keeps its
  // memory until it is released.
  void release_front(std::size_t bytes) noexcept;

 private:
  RawBlock block_;
  std::size_t bytes_ = 0;
  std::size_t released_ = 0;  // bytes from the start already handed back
};

}  // namespace quarvex
