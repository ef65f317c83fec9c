#include "parallel/os_random.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace quarvex {
namespace {

// Replaces every invalid UTF-8 sequence by U+FFFD (the description comes from the C
// library's current locale and is not guaranteed to be UTF-8).
std::string lossy_utf8(const char* text, std::size_t n) {
  std::string out;
  out.reserve(n);
  std::size_t i = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  while (i < n) {
    unsigned char c = s[i];
    std::size_t len = 0;
    std::uint32_t lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t k = 1;
    if (len != 0) {
      for (; k < len && i + k < n; ++k) {
        const unsigned char cc = s[i + k];
        const std::uint32_t l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
        if (cc < l || cc > h) break;
      }
    }
    if (len != 0 && k == len) {
      out.append(text + i, len);
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += (len == 0) ? 1 : k;  // a maximal invalid prefix is one replacement
    }
  }
  return out;
}

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

std::string os_error_text(int errnum) {
  char buffer[128] = {0};
  const char* text = buffer;
  // g++ always defines _GNU_SOURCE, which gives the GNU strerror_r; glibc's XSI form, which
  // writes into the buffer as the XSI contract says, is __xpg_strerror_r.
  if (::__xpg_strerror_r(errnum, buffer, sizeof buffer) != 0) buffer[0] = '\0';
  std::string out = lossy_utf8(text, std::strlen(text));
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

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
