#include "reduce/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "support/cgroup.h"
#include "support/proc_text.h"

namespace quarvex::reduce {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// A field of /proc/meminfo in bytes, or `missing`.
std::uint64_t meminfo_field(const std::string& text, const char* name, std::uint64_t missing) {
  const std::size_t at = text.find(name);
  if (at == std::string::npos) return missing;
  return std::strtoull(text.c_str() + at + std::strlen(name), nullptr, 10) * 1024;
}

std::uint64_t meminfo_available() {
  const std::string text = read_proc_text("/proc/meminfo");
  const std::uint64_t available = meminfo_field(text, "\nMemAvailable:", kUnlimited);
  return available == kUnlimited ? kUnlimited : available + meminfo_field(text, "\nSwapFree:", 0);
}

std::uint64_t address_space_left() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  // "size resident ...", in pages.
  const std::optional<std::uint64_t> pages = proc_number(read_proc_text("/proc/self/statm"));
  if (!pages) return kUnlimited;
  const std::uint64_t used = *pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  return used >= limit.rlim_cur ? 0 : limit.rlim_cur - used;
}

// The least memory left under any limit of the group or its ancestors. The group is looked
// up once per process, since parsing the mount table costs more than the rest of the check
// together; the limits themselves are read anew every time. (A process moved to another
// group later is still measured against the first one.)
std::uint64_t cgroup_left() {
  static const CgroupDirs group = process_cgroup(CgroupController::kMemory);
  std::uint64_t left = kUnlimited;
  for (const std::string& dir : group.dirs) {
    const std::optional<std::uint64_t> limit =
        proc_number(read_cgroup_file(dir, group.v2 ? "memory.max" : "memory.limit_in_bytes"));
    if (!limit || (!group.v2 && *limit >= (std::uint64_t{1} << 62))) continue;  // v1 says "no limit" with a huge number
    const std::optional<std::uint64_t> usage =
        proc_number(read_cgroup_file(dir, group.v2 ? "memory.current" : "memory.usage_in_bytes"));
    if (!usage) continue;
    left = std::min(left, *usage >= *limit ? 0 : *limit - *usage);
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
  if (points <= kUncheckedPoints) return std::nullopt;
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
