#include "support/cgroup.h"

#include <fstream>
#include <sstream>

namespace quarvex {
namespace {

// Where the hierarchy is mounted and the group path its root stands for.
bool find_mount(bool v2, const char* v1_name, std::string& mount_point, std::string& mount_root) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options... - fstype source super-options
    std::istringstream fields(line);
    std::string id, parent, dev, root, point, word, fstype, source, super;
    fields >> id >> parent >> dev >> root >> point;
    while (fields >> word && word != "-") {
    }
    fields >> fstype >> source >> super;
    if (v2 ? fstype != "cgroup2" : fstype != "cgroup") continue;
    if (!v2) {
      bool has = false;
      std::istringstream opts(super);
      for (std::string opt; std::getline(opts, opt, ',');) has = has || opt == v1_name;
      if (!has) continue;
    }
    mount_point = point;
    mount_root = root;
    return true;
  }
  return false;
}

}  // namespace

CgroupDirs process_cgroup(CgroupController controller) {
  const char* v1_name = controller == CgroupController::kCpu ? "cpu" : "memory";
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
      continue;
    }
    std::istringstream names(controllers);
    for (std::string name; std::getline(names, name, ',');)
      if (name == v1_name) v1_path = path, have_v1 = true;
  }
  for (const bool v2 : {false, true}) {
    if (v2 ? !have_v2 : !have_v1) continue;
    std::string point, root;
    if (!find_mount(v2, v1_name, point, root)) continue;
    std::string rel = v2 ? v2_path : v1_path;
    if (root != "/" && rel.compare(0, root.size(), root) == 0) rel = rel.substr(root.size());
    CgroupDirs out;
    out.v2 = v2;
    std::string dir = point + rel;
    for (;;) {
      while (dir.size() > point.size() && dir.back() == '/') dir.pop_back();
      out.dirs.push_back(dir);
      if (dir.size() <= point.size()) break;
      dir.resize(dir.rfind('/'));
      if (dir.size() < point.size()) dir = point;
    }
    return out;
  }
  return CgroupDirs{};
}

std::string read_cgroup_word(const std::string& dir, const char* file, int word) {
  std::ifstream in(dir + "/" + file);
  std::string text;
  for (int i = 0; i <= word; ++i)
    if (!(in >> text)) return std::string();
  return text;
}

}  // namespace quarvex
