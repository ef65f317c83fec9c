#include "support/proc_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

std::string_view proc_word(std::string_view line, std::size_t index) noexcept {
  for (std::size_t i = 0;; ++i) {
    const std::size_t end = line.find(' ');
    if (i == index) return line.substr(0, end);
    if (end == std::string_view::npos) return {};
    line.remove_prefix(end + 1);
  }
}

std::optional<std::uint64_t> proc_number(std::string_view text, int word) noexcept {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  const std::string_view digits = proc_word(text, static_cast<std::size_t>(word));
  if (digits.empty() || digits.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

}  // namespace quarvex
