// The process's own control group for one controller, as the kernel exposes it.
//
// /proc/self/cgroup names the group (a v2 line "0::/path", or a v1 line whose controller
// list holds the controller); /proc/self/mountinfo says where that hierarchy is mounted and
// which part of the path the mount shows. Limits may sit on any ancestor, so the reader
// lists the group's directory and every ancestor up to the mount point. Nothing is cached:
// a caller reads the limits it needs when it needs them.
#pragma once

#include <string>
#include <vector>

namespace quarvex {

enum class CgroupController { kCpu, kMemory };

struct CgroupDirs {
  bool v2 = false;                // the unified hierarchy (cpu.max, memory.max)
  std::vector<std::string> dirs;  // the group's own directory first, the mount point last
};

// The directories of the process's group for `controller`; empty when the process is in
// no such group or its hierarchy is not mounted. v1 is preferred where both name it.
CgroupDirs process_cgroup(CgroupController controller);

// The first word of a file of the group ("max", a number, ...); empty when unreadable.
std::string read_cgroup_word(const std::string& dir, const char* file, int word = 0);

}  // namespace quarvex
