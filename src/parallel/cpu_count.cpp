#include "parallel/cpu_count.h"

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace quarvex {
namespace {

// Reads quota and period from one cgroup directory; true when a finite quota is set there.
bool quota_in_dir(const std::string& dir, bool v2, long long& quota, long long& period) {
  if (v2) {
    std::ifstream in(dir + "/cpu.max");
    std::string q;
    if (!(in >> q >> period)) return false;
    if (q == "max") return false;
    quota = std::stoll(q);
    return true;
  }
  std::ifstream qin(dir + "/cpu.cfs_quota_us"), pin(dir + "/cpu.cfs_period_us");
  if (!(qin >> quota) || !(pin >> period)) return false;
  return quota > 0;
}

// Finds where the cgroup hierarchy holding the CPU controller is mounted.
bool find_mount(bool v2, std::string& mount_point, std::string& mount_root) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options... - fstype source super-options
    std::istringstream fields(line);
    std::string id, parent, dev, root, point, word;
    fields >> id >> parent >> dev >> root >> point;
    bool after_dash = false;
    std::string fstype, super;
    while (fields >> word) {
      if (!after_dash) {
        if (word == "-") after_dash = true;
        continue;
      }
      if (fstype.empty()) {
        fstype = word;
      } else if (super.empty()) {
        fields >> super;  // skip source, take super options
        break;
      }
    }
    if (v2 && fstype == "cgroup2") {
      mount_point = point, mount_root = root;
      return true;
    }
    if (!v2 && fstype == "cgroup") {
      std::istringstream opts(super);
      std::string opt;
      while (std::getline(opts, opt, ','))
        if (opt == "cpu") {
          mount_point = point, mount_root = root;
          return true;
        }
    }
  }
  return false;
}

}  // namespace

std::size_t cgroup_cpu_limit() noexcept {
  try {
    std::ifstream in("/proc/self/cgroup");
    std::string line, v1_path, v2_path;
    bool have_v1 = false, have_v2 = false;
    while (std::getline(in, line)) {
      const auto first = line.find(':');
      const auto second = line.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos) continue;
      const std::string controllers = line.substr(first + 1, second - first - 1);
      const std::string path = line.substr(second + 1);
      if (line.compare(0, first, "0") == 0 && controllers.empty()) {
        v2_path = path, have_v2 = true;
      } else {
        std::istringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ','))
          if (name == "cpu") v1_path = path, have_v1 = true;
      }
    }
    for (const bool v2 : {false, true}) {
      if (v2 ? !have_v2 : !have_v1) continue;
      std::string point, root;
      if (!find_mount(v2, point, root)) continue;
      std::string rel = v2 ? v2_path : v1_path;
      if (rel.compare(0, root.size(), root) == 0) rel = rel.substr(root.size());
      // The limit may sit on any ancestor; walk up to the mount point.
      for (std::string dir = point + rel;;) {
        while (dir.size() > point.size() && dir.back() == '/') dir.pop_back();
        long long quota = 0, period = 0;
        if (quota_in_dir(dir, v2, quota, period) && quota > 0 && period > 0) {
          const long long n = quota / period;
          return static_cast<std::size_t>(n < 1 ? 1 : n);
        }
        if (dir.size() <= point.size()) break;
        dir = dir.substr(0, dir.rfind('/'));
        if (dir.size() < point.size()) break;
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

}  // namespace quarvex
