#include "ingest/file_at.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quarvex::ingest {

std::optional<std::uint64_t> regular_file_size(int fd) noexcept {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t stored_bytes(int fd, std::uint64_t size) noexcept {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_blocks < 0) return size;
  return std::min(size, static_cast<std::uint64_t>(st.st_blocks) * 512);
}

int read_at(int fd, std::byte* out, std::size_t size, std::uint64_t offset) noexcept {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return -1;
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return 0;
}

}  // namespace quarvex::ingest
