#include "stl/stl_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "support/os_error.h"
#include "stl/read_error.h"

namespace quarvex::stl {

ReadError os_read_error(int errnum) {
  if (errnum == EINTR) return ReadError{ReadErrorKind::kInterrupted, errnum, std::string()};
  return ReadError{ReadErrorKind::kOs, errnum, os_error_text(errnum)};
}

namespace {

// How long one wait for a pipe's or FIFO's input lasts before the Interrupt is polled again. A
// signal normally ends the wait at once (EINTR); the limit bounds the delay for one that landed
// between a poll and the wait, whose handler then ran with nothing to interrupt.
constexpr int kWaitSliceMs = 100;

// Waits until `fd` has input, an end or an error for the next read to report. 0; EINTR
// when the Interrupt fired; or the errno of a failed poll().
int wait_for_input(int fd, Interrupt& interrupt) noexcept {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, kWaitSliceMs);
    if (n > 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
    if (interrupt.poll()) return EINTR;
  }
}

}  // namespace

int open_for_reading(const char* path, Interrupt& interrupt) noexcept {
  for (;;) {
    // Non-blocking, so that a FIFO without a writer does not block here (the sequential
    // route waits for its writer in prepare_stream); it changes nothing for a regular file.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    // A lease held by another process: wait for it as a blocking open does.
    if (fd < 0 && errno == EWOULDBLOCK) fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
    if (interrupt.poll()) {
      errno = EINTR;
      return -1;
    }
  }
}

StlSource::StlSource(StlSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      regular_file_(std::exchange(other.regular_file_, false)),
      offset_(std::exchange(other.offset_, 0)),
      interrupt_(other.interrupt_),
      buffer_(std::move(other.buffer_)),
      pos_(std::exchange(other.pos_, 0)),
      len_(std::exchange(other.len_, 0)),
      unpolled_(std::exchange(other.unpolled_, 0)) {}

StlSource& StlSource::operator=(StlSource&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    regular_file_ = std::exchange(other.regular_file_, false);
    offset_ = std::exchange(other.offset_, 0);
    interrupt_ = other.interrupt_;
    buffer_ = std::move(other.buffer_);
    pos_ = std::exchange(other.pos_, 0);
    len_ = std::exchange(other.len_, 0);
    unpolled_ = std::exchange(other.unpolled_, 0);
  }
  return *this;
}

StlSource::~StlSource() { close(); }

void StlSource::close() noexcept {
  // The descriptor is gone after close() whatever it returns (EINTR included on Linux), so
  // it is never retried.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  regular_file_ = false;
  offset_ = 0;
  pos_ = len_ = 0;
}

IoResult StlSource::read_fd(std::byte* out, std::size_t size) {
  if (unpolled_ >= kInterruptCheckBytes) {
    unpolled_ = 0;
    if (interrupt_->poll()) return IoResult{0, EINTR};
  }
  for (;;) {
    const ssize_t r = regular_file_ ? ::pread(fd_, out, size, static_cast<off_t>(offset_)) : ::read(fd_, out, size);
    if (r >= 0) {
      offset_ += static_cast<std::uint64_t>(r);
      unpolled_ += static_cast<std::size_t>(r);
      return IoResult{static_cast<std::size_t>(r), 0};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A pipe or FIFO (non-blocking): nothing to read yet.
      if (const int failed = wait_for_input(fd_, *interrupt_)) return IoResult{0, failed};
      continue;
    }
    if (errno != EINTR) return IoResult{0, errno};
    // Terminals and other devices: a signal ended the wait for data.
    if (interrupt_->poll()) return IoResult{0, EINTR};
  }
}

IoResult StlSource::read(std::byte* out, std::size_t size) {
  if (interrupt_->fired()) return IoResult{0, EINTR};
  if (pos_ == len_) {
    pos_ = len_ = 0;
    if (size >= kReadBufferSize) return read_fd(out, size);
    if (buffer_.size() != kReadBufferSize) {
      PodVector<std::byte>().swap(buffer_);  // also drops a large block left by unread()
      buffer_.resize_uninitialized(kReadBufferSize);
    }
    const IoResult r = read_fd(buffer_.data(), kReadBufferSize);
    if (r.os_errno != 0) return r;
    len_ = r.count;
  }
  const std::size_t n = std::min(size, len_ - pos_);
  std::memcpy(out, buffer_.data() + pos_, n);
  pos_ += n;
  if (pos_ == len_ && buffer_.size() > kReadBufferSize) {
    PodVector<std::byte>().swap(buffer_);  // the unread bytes are all served
    pos_ = len_ = 0;
  }
  return IoResult{n, 0};
}

int StlSource::prepare_stream() noexcept {
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || S_ISREG(st.st_mode)) return 0;
  if (!S_ISFIFO(st.st_mode)) {
    // A device or terminal reads as it would without O_NONBLOCK.
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) (void)::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    return 0;
  }
#ifdef F_SETPIPE_SZ
  constexpr int kPipeBytes = 1 << 20;
  const int now = ::fcntl(fd_, F_GETPIPE_SZ);
  if (now >= 0 && now < kPipeBytes) (void)::fcntl(fd_, F_SETPIPE_SZ, kPipeBytes);
#endif
  // A FIFO's read end reports neither input nor an end until a writer has come and written or
  // gone, so the wait ends just where a blocking open() would have returned.
  return wait_for_input(fd_, *interrupt_);
}

bool StlSource::seekable() const noexcept { return regular_file_ || ::lseek(fd_, 0, SEEK_CUR) >= 0; }

int StlSource::rewind() noexcept {
  if (regular_file_) {
    offset_ = 0;
  } else if (::lseek(fd_, 0, SEEK_SET) < 0) {
    return errno;
  }
  pos_ = len_ = 0;
  return 0;
}

bool StlSource::input_ready(int timeout_ms) noexcept {
  if (pos_ < len_) return true;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) != 0;  // a failed poll too: the read reports what is wrong
}

void StlSource::put_back(PodVector<std::byte> bytes) {
  if (pos_ < len_) bytes.append(buffer_.data() + pos_, len_ - pos_);
  unread(std::move(bytes));
}

void StlSource::unread(PodVector<std::byte> bytes) noexcept {
  pos_ = 0;
  len_ = bytes.size();
  buffer_ = std::move(bytes);
}

}  // namespace quarvex::stl
