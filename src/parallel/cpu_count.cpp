#include "parallel/cpu_count.h"

#include <sched.h>
#include <unistd.h>

#include <string>

#include "support/cgroup.h"

namespace quarvex::parallel {

std::size_t cgroup_cpu_limit() noexcept {
  try {
    const CgroupDirs group = process_cgroup(CgroupController::kCpu);
    for (const std::string& dir : group.dirs) {
      long long quota = 0, period = 0;
      if (group.v2) {
        const std::string q = read_cgroup_word(dir, "cpu.max");
        const std::string p = read_cgroup_word(dir, "cpu.max", 1);
        if (q.empty() || q == "max" || p.empty()) continue;
        quota = std::stoll(q), period = std::stoll(p);
      } else {
        const std::string q = read_cgroup_word(dir, "cpu.cfs_quota_us");
        const std::string p = read_cgroup_word(dir, "cpu.cfs_period_us");
        if (q.empty() || p.empty()) continue;
        quota = std::stoll(q), period = std::stoll(p);
      }
      if (quota > 0 && period > 0) {
        const long long n = quota / period;
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
