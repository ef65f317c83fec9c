// A growable array of trivially copyable values, kept in one block.
//
// Why not std::vector: small blocks grow through realloc, and blocks of 2 MiB and more are
// huge-page mappings that grow in place or by moving their pages (large_block.h), so the
// doubling of a list of millions of entries (cell numbers, routed vertices) neither copies
// the data nor briefly holds it twice, and a large list is faulted in 2 MiB at a time. resize_uninitialized() leaves new elements uninitialised: the parallel collect loops reserve
// their whole output and then every piece writes its own slots, so zero-filling first
// would be a wasted pass.
//
// Invariants: data_ is null exactly when capacity_ is 0; size_ <= capacity_; mapped_ is
// the block's mapping length, or 0 for a malloc'd block. Allocation failure throws
// std::bad_alloc (the boundary turns it into MemoryError).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

#include "support/large_block.h"
#include "support/memory_reserve.h"

namespace quarvex {

template <class T>
class PodVector {
  static_assert(alignof(T) <= alignof(std::max_align_t), "malloc alignment suffices");
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "PodVector moves its elements with realloc, mremap and memcpy");

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  PodVector() noexcept = default;
  PodVector(std::initializer_list<T> items) { assign(items.begin(), items.end()); }  // tests only
  template <class It>
  PodVector(It first, It last) {
    assign(first, last);
  }
  PodVector(const PodVector& other) { assign(other.begin(), other.end()); }
  // Takes over `block` (from LargeBlock::release) as storage for `capacity` elements, the
  // first `size` of them already written.
  static PodVector adopt(RawBlock block, std::size_t capacity, std::size_t size) noexcept {
    PodVector v;
    v.data_ = static_cast<T*>(block.data);
    v.mapped_ = block.mapped;
    v.capacity_ = capacity;
    v.size_ = size;
    return v;
  }
  PodVector(PodVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        mapped_(std::exchange(other.mapped_, 0)) {}
  PodVector& operator=(PodVector other) noexcept {
    swap(other);
    return *this;
  }
  ~PodVector() { release_block(RawBlock{data_, mapped_}); }

  void swap(PodVector& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_, other.mapped_);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }              // tests only
  const T& back() const noexcept { return data_[size_ - 1]; }  // tests only
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  void push_back(const T& value) {
    if (size_ == capacity_) {
      const T copy = value;  // `value` may live in the block that is about to move
      grow_to(capacity_ == 0 ? 4 : capacity_ * 2);
      data_[size_++] = copy;
      return;
    }
    data_[size_++] = value;
  }

  // Room for n more values past the end, the capacity growing at least twofold when it runs
  // out; returns where they go. Writing them there and then resize_uninitialized() to the new
  // length appends them (a writer that may use less of the room sets the length it used).
  T* room_for(std::size_t n) {
    if (n > capacity_ - size_) grow_to(std::max(size_ + n, 2 * capacity_));
    return data_ + size_;
  }

  // Appends n values copied from `first` (not from this vector's own block).
  void append(const T* first, std::size_t n) {
    if (n == 0) return;
    std::memcpy(room_for(n), first, n * sizeof(T));
    size_ += n;
  }

  void reserve(std::size_t n) {
    if (n > capacity_) grow_to(n);
  }

  // Sets the length to n; elements past the old length are left uninitialised.
  void resize_uninitialized(std::size_t n) {
    reserve(n);
    size_ = n;
  }

  void clear() noexcept { size_ = 0; }

  // Returns the room past the end (for a list made in memory that had a larger use first).
  void shrink_to_fit() {
    if (size_ == capacity_) return;
    rebuild(size_);
    capacity_ = size_;
  }

 private:
  template <class It>
  void assign(It first, It last) {
    std::size_t n = 0;
    for (It it = first; it != last; ++it) ++n;
    reserve(n);
    for (; first != last; ++first) data_[size_++] = *first;
  }

  void grow_to(std::size_t n) {
    rebuild(n);
    capacity_ = n;
  }
  // Moves the contents into a block for n elements (n >= size_).
  void rebuild(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw_out_of_memory();
    const RawBlock block = resize_block(RawBlock{data_, mapped_}, size_ * sizeof(T), n * sizeof(T));
    data_ = static_cast<T*>(block.data);
    mapped_ = block.mapped;
  }
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t mapped_ = 0;
};

}  // namespace quarvex
