#include "parallel/cpu_count.h"

#include <sched.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "support/cgroup.h"
#include "support/proc_text.h"

namespace quarvex::parallel {

std::size_t cgroup_cpu_limit() noexcept {
  try {
    const CgroupDirs group = process_cgroup(CgroupController::kCpu);
    for (const std::string& dir : group.dirs) {
      // v2: "quota period" or "max period" in one file; v1: two files, "-1" for no quota.
      const std::string v2_text = group.v2 ? read_cgroup_file(dir, "cpu.max") : std::string();
      const std::optional<std::uint64_t> quota =
          group.v2 ? proc_number(v2_text) : proc_number(read_cgroup_file(dir, "cpu.cfs_quota_us"));
      const std::optional<std::uint64_t> period =
          group.v2 ? proc_number(v2_text, 1) : proc_number(read_cgroup_file(dir, "cpu.cfs_period_us"));
      if (quota && period && *quota > 0 && *period > 0) {
        const std::uint64_t n = *quota / *period;
        return static_cast<std::size_t>(n < 1 ? 1 : n);
      }
    }
  } catch (...) {
  }
  return 0;
}

std::size_t available_cpus() noexcept {
  std::size_t n = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
  if (n == 0) {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) n = static_cast<std::size_t>(online);
  }
  if (n == 0) return 1;
  const std::size_t limit = cgroup_cpu_limit();
  if (limit != 0 && limit < n) n = limit;
  return n;
}

}  // namespace quarvex::parallel
