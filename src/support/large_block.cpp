#include "support/large_block.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "support/fault.h"
#include "support/memory_reserve.h"
#include "support/os_error.h"

namespace quarvex {
namespace {

constexpr std::size_t kMapFrom = std::size_t{2} << 20;  // PodVector blocks at least this large are mapped

std::size_t round_up(std::size_t n, std::size_t to) {
  if (n > SIZE_MAX - (to - 1)) throw_out_of_memory();
  return (n + to - 1) & ~(to - 1);
}

// Unmapping a whole mapping that we own cannot fail unless the bookkeeping is wrong; such a
// failure is reported (and the pages leak) rather than thrown from a release path.
void unmap_whole(void* data, std::size_t length) noexcept {
  if (::munmap(data, length) == 0) return;
  const int error = errno;
  try {
    report_fault("munmap of an owned block failed: " + os_error_text(error),
                 FaultLocation{__FILE__, __LINE__, 1});
  } catch (...) {
  }
}

// A fresh zero-filled mapping of `length` bytes (a multiple of 2 MiB) on a 2 MiB boundary,
// offered for huge pages. One huge page more is mapped, then the slack on both sides is
// unmapped.
void* map_aligned(std::size_t length) {
  if (length > SIZE_MAX - kHugePageBytes) throw_out_of_memory();
  void* raw = ::mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw_out_of_memory();
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::uintptr_t tail = aligned + length;
  const std::uintptr_t end = start + length + kHugePageBytes;
  // Trimming splits nothing, but should the kernel refuse, nothing is kept half-trimmed.
  if (aligned > start && ::munmap(raw, aligned - start) != 0) {
    unmap_whole(raw, end - start);
    throw_out_of_memory();
  }
  if (end > tail && ::munmap(reinterpret_cast<void*>(tail), end - tail) != 0) {
    unmap_whole(reinterpret_cast<void*>(aligned), end - aligned);
    throw_out_of_memory();
  }
  void* data = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  ::madvise(data, length, MADV_HUGEPAGE);  // advice only: failure leaves 4 KiB pages
#endif
  return data;
}

std::size_t page_size() noexcept {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Grows a mapping to `length` bytes: in place when the address space after it is free,
// otherwise by moving its pages (not their contents) to the start of a new aligned mapping.
RawBlock grow_mapping(RawBlock block, std::size_t keep, std::size_t length) {
  void* same = ::mremap(block.data, block.mapped, length, 0);
  if (same != MAP_FAILED) return RawBlock{same, length};
  void* fresh = map_aligned(length);
  void* moved = ::mremap(block.data, block.mapped, block.mapped, MREMAP_MAYMOVE | MREMAP_FIXED, fresh);
  if (moved == MAP_FAILED) {
    std::memcpy(fresh, block.data, keep);
    unmap_whole(block.data, block.mapped);
  }
  return RawBlock{fresh, length};
}

}  // namespace

RawBlock resize_block(RawBlock block, std::size_t keep, std::size_t bytes) {
  if (bytes == 0) {
    release_block(block);
    return RawBlock{};
  }
  if (block.mapped == 0) {
    if (bytes < kMapFrom) {
      void* p = std::realloc(block.data, bytes);
      if (p == nullptr) throw_out_of_memory();
      return RawBlock{p, 0};
    }
    const std::size_t length = round_up(bytes, kHugePageBytes);
    void* fresh = map_aligned(length);
    if (keep != 0) std::memcpy(fresh, block.data, keep);  // under 2 MiB
    std::free(block.data);
    return RawBlock{fresh, length};
  }
  const std::size_t shrunk = round_up(bytes, page_size());
  if (shrunk <= block.mapped) {
    // Shrinking (or a growth that still fits): return the whole pages past the end.
    // Should the kernel refuse to split the mapping, the block simply stays larger.
    if (shrunk < block.mapped &&
        ::munmap(static_cast<char*>(block.data) + shrunk, block.mapped - shrunk) == 0) {
      block.mapped = shrunk;
    }
    return block;
  }
  return grow_mapping(block, keep, round_up(bytes, kHugePageBytes));
}

void release_block(RawBlock block) noexcept {
  if (block.data == nullptr) return;
  if (block.mapped != 0) {
    unmap_whole(block.data, block.mapped);
  } else {
    std::free(block.data);
  }
}

LargeBlock::LargeBlock(std::size_t bytes) : bytes_(bytes) {
  if (bytes == 0) return;
  if (bytes < kHugePageBytes) {
    block_.data = std::calloc(bytes, 1);
    if (block_.data == nullptr) throw_out_of_memory();
    return;
  }
  const std::size_t length = round_up(bytes, kHugePageBytes);
  block_ = RawBlock{map_aligned(length), length};
}

void LargeBlock::release_front(std::size_t bytes) noexcept {
  if (block_.mapped == 0) return;
  const std::size_t upto = std::min(bytes, block_.mapped) & ~(kHugePageBytes - 1);  // never split a huge page
  if (upto <= released_) return;
  // Advice on our own mapping: should the kernel refuse, the pages stay until the unmap.
  ::madvise(static_cast<char*>(block_.data) + released_, upto - released_, MADV_DONTNEED);
  released_ = upto;
}

}  // namespace quarvex
