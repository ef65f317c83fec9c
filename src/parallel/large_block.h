// Zero-filled memory for the large, randomly accessed hash tables.
//
// A table of tens of megabytes probed at random misses the TLB on almost every access with
// 4 KiB pages. Blocks of at least 2 MiB are therefore mapped directly, aligned to 2 MiB and
// offered to the kernel for transparent huge pages (where it supports them; nothing changes
// otherwise). Fresh mappings are already zero, so no block is cleared by hand. Smaller
// blocks come from calloc.
//
// Invariants: a LargeBlock owns its memory alone and returns it once, in its destructor;
// bytes() is the size asked for. Allocation failure throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <utility>

namespace quarvex {

// Offers the whole 2 MiB pages inside [data, data + bytes) to the kernel for transparent
// huge pages. Does nothing for blocks under 4 MiB. Advice only: results never depend on it.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

class LargeBlock {
 public:
  LargeBlock() noexcept = default;
  explicit LargeBlock(std::size_t bytes);  // zero-filled
  LargeBlock(LargeBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        bytes_(std::exchange(other.bytes_, 0)),
        mapped_(std::exchange(other.mapped_, 0)) {}
  LargeBlock& operator=(LargeBlock&& other) noexcept {
    LargeBlock(std::move(other)).swap(*this);
    return *this;
  }
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;
  ~LargeBlock();

  void swap(LargeBlock& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    std::swap(mapped_, other.mapped_);
  }
  void* data() const noexcept { return data_; }
  std::size_t bytes() const noexcept { return bytes_; }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t mapped_ = 0;  // length of the mapping, 0 when the block came from calloc
};

}  // namespace quarvex
