#include "stl/stl_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <utility>

#include "support/os_error.h"
#include "stl/read_error.h"

namespace quarvex::stl {

ReadError os_read_error(int errnum) {
  return ReadError{ReadErrorKind::kOs, errnum, os_error_text(errnum)};
}

namespace {

IoResult read_fd(int fd, std::byte* out, std::size_t size) {
  for (;;) {
    const ssize_t r = ::read(fd, out, size);
    if (r >= 0) return IoResult{static_cast<std::size_t>(r), 0};
    if (errno != EINTR) return IoResult{0, errno};
  }
}

}  // namespace

StlSource::StlSource(StlSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      pos_(std::exchange(other.pos_, 0)),
      len_(std::exchange(other.len_, 0)) {}

StlSource& StlSource::operator=(StlSource&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    pos_ = std::exchange(other.pos_, 0);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

StlSource::~StlSource() { close(); }

void StlSource::close() noexcept {
  // The descriptor is gone after close() whatever it returns (EINTR included on Linux), so
  // it is never retried.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pos_ = len_ = 0;
}

IoResult StlSource::read(std::byte* out, std::size_t size) {
  if (pos_ == len_) {
    pos_ = len_ = 0;
    if (size >= kReadBufferSize) return read_fd(fd_, out, size);
    if (!buffer_) buffer_.reset(new std::byte[kReadBufferSize]);
    const IoResult r = read_fd(fd_, buffer_.get(), kReadBufferSize);
    if (r.os_errno != 0) return r;
    len_ = r.count;
  }
  const std::size_t n = std::min(size, len_ - pos_);
  std::memcpy(out, buffer_.get() + pos_, n);
  pos_ += n;
  return IoResult{n, 0};
}

int StlSource::rewind() noexcept {
  if (::lseek(fd_, 0, SEEK_SET) < 0) return errno;
  pos_ = len_ = 0;
  return 0;
}

}  // namespace quarvex::stl
