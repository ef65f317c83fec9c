#include "support/cgroup.h"

#include "support/proc_text.h"

namespace quarvex {
namespace {

// Calls fn(line) for every line of `text`, without the line ends.
template <class Fn>
void for_each_line(std::string_view text, Fn&& fn) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    fn(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool in_list(std::string_view list, std::string_view name) {
  for (;;) {
    const std::size_t end = list.find(',');
    if (list.substr(0, end) == name) return true;
    if (end == std::string_view::npos) return false;
    list.remove_prefix(end + 1);
  }
}

// mountinfo writes a blank, tab, newline or backslash in a path as \ooo (octal).
std::string unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i >= 4) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// Whether group path `path` lies in the tree under `root` (the root itself included).
bool holds(std::string_view root, std::string_view path) {
  if (root == "/") return true;
  return path.substr(0, root.size()) == root && (path.size() == root.size() || path[root.size()] == '/');
}

struct Mount {
  std::string point, root;
};

// The first mount of the hierarchy whose root holds group path `path`.
bool find_mount(std::string_view mountinfo, bool v2, std::string_view name, std::string_view path,
                Mount& out) {
  bool found = false;
  for_each_line(mountinfo, [&](std::string_view line) {
    if (found) return;
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::size_t sep = 6;
    while (!proc_word(line, sep).empty() && proc_word(line, sep) != "-") ++sep;
    if (proc_word(line, sep) != "-") return;
    const std::string_view fstype = proc_word(line, sep + 1);
    if (v2 ? fstype != "cgroup2" : fstype != "cgroup" || !in_list(proc_word(line, sep + 3), name)) return;
    std::string root = unescape(proc_word(line, 3));
    if (!holds(root, path)) return;
    out = Mount{unescape(proc_word(line, 4)), std::move(root)};
    found = true;
  });
  return found;
}

}  // namespace

CgroupDirs find_cgroup_dirs(std::string_view cgroup, std::string_view mountinfo,
                            CgroupController controller) {
  const std::string_view name = controller == CgroupController::kCpu ? "cpu" : "memory";
  std::string_view v1_path, v2_path;
  bool have_v1 = false, have_v2 = false;
  for_each_line(cgroup, [&](std::string_view line) {
    // hierarchy-id:controller-list:path
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) return;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (line.substr(0, first) == "0" && controllers.empty()) {
      v2_path = path, have_v2 = true;
    } else if (in_list(controllers, name)) {
      v1_path = path, have_v1 = true;
    }
  });
  for (const bool v2 : {false, true}) {
    if (v2 ? !have_v2 : !have_v1) continue;
    const std::string_view path = v2 ? v2_path : v1_path;
    Mount mount;
    if (!find_mount(mountinfo, v2, name, path, mount)) continue;
    const std::string_view rel = mount.root == "/" ? path : path.substr(mount.root.size());
    CgroupDirs out;
    out.v2 = v2;
    const std::string& point = mount.point;
    std::string dir = point + std::string(rel);
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

CgroupDirs process_cgroup(CgroupController controller) {
  return find_cgroup_dirs(read_proc_text("/proc/self/cgroup"), read_proc_text("/proc/self/mountinfo"),
                          controller);
}

std::string read_cgroup_file(const std::string& dir, const char* file) {
  return read_proc_text((dir + "/" + file).c_str());
}

}  // namespace quarvex
