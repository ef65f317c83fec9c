// The opened STL file: its descriptor and a buffer of 8192 bytes in front of it.
//
// Invariants: the source owns `fd_` (or holds -1 when moved from) and closes it once, in
// its destructor. Buffered bytes are [pos_, len_) of `buffer_`; a read that asks for at
// least a whole buffer while the buffer is empty goes straight to the descriptor, so the
// layered readers above (which always ask for whole buffers) never cause a copy here.
// Interrupted reads are repeated.
#pragma once

#include <cstddef>
#include <memory>

namespace quarvex::stl {

inline constexpr std::size_t kReadBufferSize = 8192;

// Outcome of one read: `count` bytes delivered (0 at end of file) when `os_errno` is 0.
struct IoResult {
  std::size_t count;
  int os_errno;
};

class StlSource {
 public:
  StlSource() noexcept = default;
  explicit StlSource(int fd) noexcept : fd_(fd) {}
  StlSource(StlSource&& other) noexcept;
  StlSource& operator=(StlSource&& other) noexcept;
  StlSource(const StlSource&) = delete;
  StlSource& operator=(const StlSource&) = delete;
  ~StlSource();

  int fd() const noexcept { return fd_; }

  // Reads up to `size` bytes (at most one read of the descriptor).
  IoResult read(std::byte* out, std::size_t size);

  // Seeks the descriptor to offset 0 and then drops the buffered bytes. Returns 0, or the
  // errno of the failed seek (nothing is dropped then).
  int rewind() noexcept;

  // Closes the descriptor now (the destructor then does nothing).
  void close() noexcept;

 private:
  int fd_ = -1;
  std::unique_ptr<std::byte[]> buffer_;  // allocated on first buffered read
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

}  // namespace quarvex::stl
