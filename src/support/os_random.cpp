#include "support/os_random.h"

#include "support/os_error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

namespace quarvex {
namespace {

std::once_flag g_urandom_once;
int g_urandom_fd = -1;
int g_urandom_errno = 0;

bool read_urandom(unsigned char* out, std::size_t size, std::string& error) {
  std::call_once(g_urandom_once, [] {
    // Block once until the kernel's pool is initialised, as getrandom would.
    int rfd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (rfd >= 0) {
      pollfd p{rfd, POLLIN, 0};
      while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      ::close(rfd);
    }
    do {
      g_urandom_fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (g_urandom_fd < 0 && errno == EINTR);
    if (g_urandom_fd < 0) g_urandom_errno = errno;
  });
  if (g_urandom_fd < 0) {
    error = os_error_text(g_urandom_errno);
    return false;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t r = ::read(g_urandom_fd, out + done, size - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      error = os_error_text(errno);
      return false;
    }
    if (r == 0) {
      error = "unexpected end of file reading /dev/urandom";
      return false;
    }
    done += static_cast<std::size_t>(r);
  }
  return true;
}

}  // namespace

bool fill_os_random(void* out, std::size_t size, std::string& error) noexcept {
  try {
    auto* bytes = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t r = ::getrandom(bytes + done, size - done, 0);
      if (r < 0) {
        if (errno == EINTR) continue;
        if (errno == ENOSYS || errno == EPERM) return read_urandom(bytes + done, size - done, error);
        error = os_error_text(errno);
        return false;
      }
      done += static_cast<std::size_t>(r);
    }
    return true;
  } catch (...) {
    error = "out of memory";
    return false;
  }
}

}  // namespace quarvex
