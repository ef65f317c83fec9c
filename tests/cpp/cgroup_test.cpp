#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cgroup.h"
#include "support/proc_text.h"

namespace quarvex {
namespace {

using Dirs = std::vector<std::string>;
constexpr auto kCpu = CgroupController::kCpu;
constexpr auto kMemory = CgroupController::kMemory;

// mountinfo lines: id parent dev root point options [optional fields] - fstype source super.
const char* const kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw\n";
const char* const kV1Mounts =
    "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw shared:5 master:1 - cgroup cgroup rw,cpu,cpuacct\n"
    "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";

struct Case {
  const char* what;
  const char* cgroup;
  std::string mountinfo;
  CgroupController controller;
  bool v2;
  Dirs dirs;
};

TEST(Cgroup, DirectoriesFromTheGroupAndMountTables) {
  const std::vector<Case> cases = {
      {"v2, nested group: the group and every ancestor up to the mount point",
       "0::/user.slice/app.scope\n", kV2Mount, kMemory, true,
       {"/sys/fs/cgroup/user.slice/app.scope", "/sys/fs/cgroup/user.slice", "/sys/fs/cgroup"}},
      {"v2, the root group, no final newline", "0::/", kV2Mount, kCpu, true, {"/sys/fs/cgroup"}},
      {"v1 beside an empty v2 tree (hybrid): v1 holds the controller, in a joint list",
       "4:memory:/m\n3:cpu,cpuacct:/a/b/\n0::/\n", kV1Mounts + std::string(kV2Mount), kCpu, false,
       {"/sys/fs/cgroup/cpu,cpuacct/a/b", "/sys/fs/cgroup/cpu,cpuacct/a", "/sys/fs/cgroup/cpu,cpuacct"}},
      {"v1, the other controller", "4:memory:/m\n3:cpu,cpuacct:/a/b\n", kV1Mounts, kMemory, false,
       {"/sys/fs/cgroup/memory/m", "/sys/fs/cgroup/memory"}},
      {"mount root a sub-path (a container's view): the root is the mount point",
       "4:memory:/docker/abc\n", "40 30 0:32 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n",
       kMemory, false, {"/sys/fs/cgroup/memory"}},
      {"mount root a sub-path, group below it",
       "0::/docker/abc/inner\n", "40 30 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", kMemory,
       true, {"/sys/fs/cgroup/inner", "/sys/fs/cgroup"}},
      {"the first mount whose root holds the group; a root that only shares a prefix does not",
       "0::/docker/abc\n",
       "40 30 0:26 /docker/ab /mnt/a rw - cgroup2 cgroup2 rw\n"
       "41 30 0:26 /docker /mnt/b rw - cgroup2 cgroup2 rw\n"
       "42 30 0:26 / /mnt/c rw - cgroup2 cgroup2 rw\n",
       kMemory, true, {"/mnt/b/abc", "/mnt/b"}},
      {"a group outside every mount's root is not visible",
       "0::/elsewhere\n", "40 30 0:26 /docker /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", kMemory, true, {}},
      {"escaped blanks in the mount point", "4:memory:/g\n",
       "35 31 0:32 / /mnt/my\\040cgroups rw - cgroup cgroup rw,memory\n", kMemory, false,
       {"/mnt/my cgroups/g", "/mnt/my cgroups"}},
      {"no line for the controller", "3:cpu,cpuacct:/a\n", kV1Mounts, kMemory, false, {}},
      {"hierarchy not mounted", "4:memory:/m\n", kV2Mount, kMemory, false, {}},
      {"a controller only named like another ('cpuset' is not 'cpu')", "5:cpuset:/x\n",
       "36 31 0:33 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n", kCpu, false, {}},
  };
  for (const Case& c : cases) {
    const CgroupDirs found = find_cgroup_dirs(c.cgroup, c.mountinfo, c.controller);
    EXPECT_EQ(found.dirs, c.dirs) << c.what;
    if (!c.dirs.empty()) {
      EXPECT_EQ(found.v2, c.v2) << c.what;
    }
  }
}

TEST(Cgroup, LimitValues) {
  struct ValueCase {
    const char* text;
    int word;
    std::optional<std::uint64_t> value;
  };
  const std::vector<ValueCase> cases = {
      {"123456\n", 0, 123456},
      {"max\n", 0, std::nullopt},                // v2: no limit
      {"max 100000\n", 0, std::nullopt},         // v2 cpu.max without a quota ...
      {"max 100000\n", 1, 100000},               // ... and its period
      {"50000 100000\n", 0, 50000},
      {"50000 100000\n", 2, std::nullopt},       // no such word
      {"-1\n", 0, std::nullopt},                 // v1: no quota
      {"9223372036854771712\n", 0, 9223372036854771712u},  // v1: "no limit" is a number
      {"18446744073709551615", 0, UINT64_MAX},
      {"18446744073709551616", 0, std::nullopt},
      {"12k\n", 0, std::nullopt},
      {"", 0, std::nullopt},
  };
  for (const ValueCase& c : cases) EXPECT_EQ(proc_number(c.text, c.word), c.value) << c.text << " word " << c.word;
}

}  // namespace
}  // namespace quarvex
