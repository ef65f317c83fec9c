#include "parallel/large_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace quarvex {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  if (bytes < 2 * kHugePage) return;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

LargeBlock::LargeBlock(std::size_t bytes) : bytes_(bytes) {
  if (bytes == 0) return;
  if (bytes < kHugePage) {
    data_ = std::calloc(bytes, 1);
    if (data_ == nullptr) throw std::bad_alloc();
    return;
  }
  const std::size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  if (length < bytes || length + kHugePage < length) throw std::bad_alloc();
  // Map one huge page more than needed, then unmap the slack on both sides so that the
  // block starts on a 2 MiB boundary.
  void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + length;
  const std::uintptr_t end = start + length + kHugePage;
  if (end > tail) ::munmap(reinterpret_cast<void*>(tail), end - tail);
  data_ = reinterpret_cast<void*>(aligned);
  mapped_ = length;
#ifdef MADV_HUGEPAGE
  ::madvise(data_, length, MADV_HUGEPAGE);  // advice only: failure leaves 4 KiB pages
#endif
}

LargeBlock::~LargeBlock() {
  if (data_ == nullptr) return;
  if (mapped_ != 0) {
    ::munmap(data_, mapped_);
  } else {
    std::free(data_);
  }
}

}  // namespace quarvex
