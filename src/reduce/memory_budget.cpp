#include "reduce/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>

namespace quarvex::reduce {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

std::uint64_t meminfo_available() {
  std::ifstream in("/proc/meminfo");
  std::string name, unit;
  std::uint64_t value = 0, available = kUnlimited, swap_free = 0;
  while (in >> name >> value) {
    std::getline(in, unit);
    if (name == "MemAvailable:") available = value * 1024;
    if (name == "SwapFree:") swap_free = value * 1024;
  }
  return available == kUnlimited ? kUnlimited : available + swap_free;
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

bool read_number(const std::string& path, std::uint64_t& out) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text) || text == "max") return false;
  try {
    out = std::stoull(text);
  } catch (...) {
    return false;
  }
  return true;
}

std::uint64_t cgroup_left() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const auto a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    std::uint64_t limit = 0, usage = 0;
    if (controllers.empty()) {
      for (const std::string& dir : {"/sys/fs/cgroup" + path, std::string("/sys/fs/cgroup")})
        if (read_number(dir + "/memory.max", limit) && read_number(dir + "/memory.current", usage))
          return usage >= limit ? 0 : limit - usage;
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      for (const std::string& dir :
           {"/sys/fs/cgroup/memory" + path, std::string("/sys/fs/cgroup/memory")}) {
        if (read_number(dir + "/memory.limit_in_bytes", limit) &&
            read_number(dir + "/memory.usage_in_bytes", usage)) {
          if (limit >= (std::uint64_t{1} << 62)) break;  // v1 reports "no limit" as a huge number
          return usage >= limit ? 0 : limit - usage;
        }
      }
    }
  }
  return kUnlimited;
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
