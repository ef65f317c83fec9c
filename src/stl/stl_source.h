// The opened STL file: its descriptor and a buffer in front of it.
//
// Invariants: the source owns `fd_` (or holds -1 when moved from) and closes it once, in
// its destructor. Buffered bytes are [pos_, len_) of `buffer_` and are always served
// before the descriptor is read again: normally at most 8192 bytes read ahead for a small
// read, or bytes handed back with unread() or put_back(). A read that asks for at least a
// whole buffer while nothing is buffered goes straight to the descriptor, so the layered
// readers above (which always ask for whole buffers) never cause a copy here.
//
// Interruptions: a read interrupted by a signal polls the Interrupt and is repeated unless
// it fired; a pipe or FIFO (non-blocking) is waited for in poll(), which polls the Interrupt
// when a signal ends it and every 100 ms, so a signal whose handler ran just before a wait
// began is answered too; every kInterruptCheckBytes of input the Interrupt is polled too.
// Once it has fired, every read fails with EINTR, so EINTR reaches the readers only when the
// call has to stop (os_read_error turns it into kInterrupted).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/interrupt.h"
#include "support/pod_vector.h"

namespace quarvex::stl {

inline constexpr std::size_t kReadBufferSize = 8192;

// Outcome of one read: `count` bytes delivered (0 at end of file) when `os_errno` is 0.
struct IoResult {
  std::size_t count;
  int os_errno;
};

// open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK), repeated while interrupted and the
// Interrupt has not fired; prepare_stream finishes the opening of anything but a regular
// file. The descriptor, or -1 with errno set (EINTR when the Interrupt fired).
int open_for_reading(const char* path, Interrupt& interrupt) noexcept;

class StlSource {
 public:
  StlSource() noexcept = default;
  explicit StlSource(int fd, Interrupt& interrupt = no_interrupt()) noexcept
      : fd_(fd), interrupt_(&interrupt) {}
  StlSource(StlSource&& other) noexcept;
  StlSource& operator=(StlSource&& other) noexcept;
  StlSource(const StlSource&) = delete;
  StlSource& operator=(const StlSource&) = delete;
  ~StlSource();

  int fd() const noexcept { return fd_; }
  Interrupt& interrupt() const noexcept { return *interrupt_; }

  // Reads up to `size` bytes (buffered bytes first, else at most one read of the
  // descriptor).
  IoResult read(std::byte* out, std::size_t size);

  // Whether the descriptor has a file position (false for pipes, FIFOs, sockets and
  // terminals: what was read from them cannot be read again).
  bool seekable() const noexcept;
  // Records that the descriptor is a regular file, before the first read: from then on it
  // is read by offset (pread), so that neither seekable() nor rewind() asks the system.
  void known_regular_file() noexcept { regular_file_ = true; }

  // Seeks the descriptor to offset 0 and then drops the buffered bytes. Returns 0, or the
  // errno of the failed seek (nothing is dropped then).
  int rewind() noexcept;

  // Puts `bytes` in front of everything still to be read. Only while nothing is buffered.
  void unread(PodVector<std::byte> bytes) noexcept;
  // The same whatever is buffered: `bytes`, then the bytes still buffered, are read next.
  void put_back(PodVector<std::byte> bytes);

  // Whether a read would return at once (bytes buffered, or input, an end or an error
  // waiting), after waiting up to `timeout_ms` for the descriptor to get there.
  bool input_ready(int timeout_ms) noexcept;

  // Before the first read of a descriptor that is not a regular file. A device or terminal
  // is set back to blocking reads. A pipe or FIFO stays non-blocking (every wait for it is in
  // poll()); with a smaller buffer it gets one of 1 MiB, where the system allows it (a failure
  // changes nothing): the writer then blocks, and wakes this reader, a sixteenth as often as
  // with the default 64 KiB, which halves what a large file costs to come through; the buffer
  // is only ever grown, and its pages are taken only as the writer fills them. Then it is
  // waited for until a writer has written or gone. 0; EINTR when the Interrupt fired; or the
  // errno of a failed wait.
  int prepare_stream() noexcept;

  // Closes the descriptor now (the destructor then does nothing).
  void close() noexcept;

 private:
  IoResult read_fd(std::byte* out, std::size_t size);

  int fd_ = -1;
  bool regular_file_ = false;
  std::uint64_t offset_ = 0;  // where the next pread starts, for a known regular file
  Interrupt* interrupt_ = &no_interrupt();
  PodVector<std::byte> buffer_;  // allocated on first buffered read or by unread()
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::size_t unpolled_ = 0;  // bytes read from the descriptor since the last poll
};

}  // namespace quarvex::stl
