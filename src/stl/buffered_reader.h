// A reader with its own buffer, layered over an StlSource that it borrows: 8192 bytes by
// default; the facet readers take kFacetReadBytes, so that a pipe is drained in a few large
// read() calls rather than one call per 8 KiB (each of which may wake the writer).
//
// Invariants: the unread bytes are [pos_, len_) of `buffer_`; fill() is only called when
// nothing is left, so bytes are never moved within the buffer. Whatever is still buffered
// when the reader is released is lost to the source.
#pragma once

#include <cstddef>
#include <memory>

#include "stl/read_error.h"
#include "stl/stl_source.h"

namespace quarvex::stl {

inline constexpr std::size_t kFacetReadBytes = std::size_t{64} << 10;

class BufferedReader {
 public:
  explicit BufferedReader(StlSource& source, std::size_t capacity = kReadBufferSize)
      : source_(&source), buffer_(new std::byte[capacity]), capacity_(capacity) {}

  StlSource& source() const noexcept { return *source_; }
  const std::byte* data() const noexcept { return buffer_.get() + pos_; }
  std::size_t available() const noexcept { return len_ - pos_; }
  void consume(std::size_t n) noexcept { pos_ += n; }

  // Refills the (empty) buffer with one read from the source.
  IoResult fill() {
    pos_ = len_ = 0;
    const IoResult r = source_->read(buffer_.get(), capacity_);
    if (r.os_errno == 0) len_ = r.count;
    return r;
  }

  // Reads exactly `size` bytes into `out`: the buffered bytes first, then whole buffers or
  // more straight from the source. A source that ends first gives "failed to fill whole
  // buffer"; bytes taken before a failure are lost.
  bool read_exact(std::byte* out, std::size_t size, ReadError& error);

 private:
  StlSource* source_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t capacity_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

}  // namespace quarvex::stl
