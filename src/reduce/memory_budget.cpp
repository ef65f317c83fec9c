#include "reduce/memory_budget.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "support/cgroup.h"

namespace quarvex::reduce {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// A field of /proc/meminfo in bytes, or `missing`. The file is read with one plain read():
// a stream costs several times the kernel's own work here.
std::uint64_t meminfo_field(const std::string& text, const char* name, std::uint64_t missing) {
  const std::size_t at = text.find(name);
  if (at == std::string::npos) return missing;
  return std::strtoull(text.c_str() + at + std::strlen(name), nullptr, 10) * 1024;
}

std::uint64_t meminfo_available() {
  char buffer[8192];
  const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kUnlimited;
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return kUnlimited;
  const std::string text(buffer, static_cast<std::size_t>(n));
  const std::uint64_t available = meminfo_field(text, "\nMemAvailable:", kUnlimited);
  return available == kUnlimited ? kUnlimited : available + meminfo_field(text, "\nSwapFree:", 0);
}

std::uint64_t address_space_left() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  std::ifstream in("/proc/self/statm");
  std::uint64_t pages = 0;
  if (!(in >> pages)) return kUnlimited;
  const std::uint64_t used = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  return used >= limit.rlim_cur ? 0 : limit.rlim_cur - used;
}

bool read_number(const std::string& dir, const char* file, std::uint64_t& out) {
  const std::string text = read_cgroup_word(dir, file);
  if (text.empty() || text == "max") return false;
  try {
    out = std::stoull(text);
  } catch (...) {
    return false;
  }
  return true;
}

// The least memory left under any limit of the group or its ancestors. The group is looked
// up once per process, since parsing the mount table costs more than the rest of the check
// together; the limits themselves are read anew every time. (A process moved to another
// group later is still measured against the first one.)
std::uint64_t cgroup_left() {
  static const CgroupDirs group = process_cgroup(CgroupController::kMemory);
  std::uint64_t left = kUnlimited;
  for (const std::string& dir : group.dirs) {
    std::uint64_t limit = 0, usage = 0;
    if (group.v2) {
      if (!read_number(dir, "memory.max", limit) || !read_number(dir, "memory.current", usage)) continue;
    } else {
      if (!read_number(dir, "memory.limit_in_bytes", limit) ||
          !read_number(dir, "memory.usage_in_bytes", usage))
        continue;
      if (limit >= (std::uint64_t{1} << 62)) continue;  // v1 reports "no limit" as a huge number
    }
    left = std::min(left, usage >= limit ? 0 : limit - usage);
  }
  return left;
}

}  // namespace

std::uint64_t available_memory_bytes() noexcept {
  try {
    return std::min({meminfo_available(), address_space_left(), cgroup_left()});
  } catch (...) {
    return kUnlimited;
  }
}

std::optional<std::string> result_too_large(std::uint64_t points) {
  const std::uint64_t available = available_memory_bytes();
  if (points <= available / kBytesPerReturnedPoint) return std::nullopt;
  std::ostringstream message;
  message << "cannot return " << points << " points: they would need ";
  if (points > kUnlimited / kBytesPerReturnedPoint) {
    message << "more than " << kUnlimited;
  } else {
    message << "about " << points * kBytesPerReturnedPoint;
  }
  message << " bytes of memory, and only " << available << " bytes are available";
  return message.str();
}

}  // namespace quarvex::reduce
