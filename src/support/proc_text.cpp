#include "support/proc_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quarvex {
namespace {

struct Descriptor {
  int fd;
  ~Descriptor() { ::close(fd); }
};

}  // namespace

std::string read_proc_text(const char* path) {
  const Descriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return {};
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return text;
    } else if (errno != EINTR) {
      return {};
    }
  }
}

}  // namespace quarvex
