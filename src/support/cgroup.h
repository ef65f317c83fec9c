// The process's own control group for one controller, as the kernel exposes it.
//
// /proc/self/cgroup names the group (a v2 line "0::/path", or a v1 line whose controller
// list holds the controller); /proc/self/mountinfo says where that hierarchy is mounted and
// which part of the group tree the mount shows (its root: "/" for the whole tree, or a
// sub-path, as inside a container). Limits may sit on any ancestor, so the group's directory
// and every ancestor up to the mount point are listed.
//
// The parsing is pure (find_cgroup_dirs here, proc_number for the limit files), so every layout can be checked from
// text; process_cgroup and read_cgroup_file are the thin shell that reads the files. Nothing
// is cached here: a caller reads what it needs when it needs it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

enum class CgroupController { kCpu, kMemory };

struct CgroupDirs {
  bool v2 = false;                // the unified hierarchy (cpu.max, memory.max)
  std::vector<std::string> dirs;  // the group's own directory first, the mount point last
};

// The directories of the group for `controller`, from the texts of /proc/self/cgroup and
// /proc/self/mountinfo; empty when the process is in no such group or its hierarchy is not
// mounted. v1 is preferred where both name the controller (the hybrid layout, whose v2 tree
// holds no controllers). The first mount of the hierarchy whose root holds the group is
// used; a group outside every mount's root is not visible, and gives no directories.
CgroupDirs find_cgroup_dirs(std::string_view cgroup, std::string_view mountinfo,
                            CgroupController controller);

// find_cgroup_dirs over this process's files.
CgroupDirs process_cgroup(CgroupController controller);

// The text of a file of the group (a limit: one short line); empty when unreadable.
std::string read_cgroup_file(const std::string& dir, const char* file);

}  // namespace quarvex
