// The number of CPUs this process may run on: the scheduling affinity mask (or the online
// processors when the mask cannot be read), capped by the control group's CPU quota.
#pragma once

#include <cstddef>

namespace quarvex::parallel {

// At least 1. Computed on every call (callers cache what they derive from it).
std::size_t available_cpus() noexcept;

// Quota ÷ period of the process's CPU control group (cgroup v2 "cpu.max", or v1
// "cpu.cfs_quota_us" / "cpu.cfs_period_us"), at least 1; 0 when no quota is set.
std::size_t cgroup_cpu_limit() noexcept;

}  // namespace quarvex::parallel
