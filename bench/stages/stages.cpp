// Times each stage of one reduction on its own, native, without the interpreter:
//   stages FILE [CLUSTERS [REPEATS]]
// Prints the median of REPEATS runs per stage (wall time, and the CPU time of all threads),
// and two floors for comparison: reading the file in one read() call, and in 8192-byte
// read() calls, the sequential reader's pattern.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reduce/cells.h"
#include "reduce/count_adjustment.h"
#include "reduce/grid.h"
#include "reduce/output_split.h"
#include "reduce/point_records.h"
#include "ingest/read_mesh_file.h"
#include "parallel/inline_scope.h"
#include "support/large_block.h"

using namespace quarvex;
using Clock = std::chrono::steady_clock;

namespace {

std::map<std::string, std::vector<double>> timings;
std::map<std::string, std::vector<double>> cpu_timings;
std::vector<std::string> order;

// CPU time of all threads of the process: on a busy machine it shows the work a stage does
// when its wall time mostly shows how long it waited for a core.
double process_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Stage {
  std::string name;
  Clock::time_point start = Clock::now();
  double cpu_start = process_cpu_seconds();
  explicit Stage(std::string n) : name(std::move(n)) {}
  ~Stage() {
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (!timings.count(name)) order.push_back(name);
    timings[name].push_back(s);
    cpu_timings[name].push_back(process_cpu_seconds() - cpu_start);
  }
};

std::size_t read_in_chunks(const char* path, std::size_t chunk) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  std::vector<char> buf(chunk);
  std::size_t total = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buf.data(), chunk);
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return total;
}

std::size_t read_whole(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  const off_t size = ::lseek(fd, 0, SEEK_END);
  ::lseek(fd, 0, SEEK_SET);
  // A fresh huge-page mapping, as numpy allocates large arrays (np.fromfile).
  const std::size_t bytes = static_cast<std::size_t>(size);
  LargeBlock buf(bytes);
  std::size_t total = 0;
  while (total < bytes) {
    const ssize_t got = ::read(fd, static_cast<char*>(buf.data()) + total, bytes - total);
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [CLUSTERS [REPEATS]]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  const std::uint64_t clusters = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 7;
  std::size_t sink = 0;
  for (int r = 0; r < repeats; ++r) {
    { Stage s("floor: one read()"); sink += read_whole(path); }
    { Stage s("floor: 8192-byte read()s"); sink += read_in_chunks(path, 8192); }
    Clock::time_point total_start = Clock::now();
    // As in a call: a small file or few points run every loop on this thread.
    const parallel::InlineScope small_input;
    PodVector<reduce::PointRecord> points;
    {
      stl::ReadResult<ingest::SummedMesh> read = [&] {
        Stage s("read + merge (read_mesh_file)");
        return ingest::read_mesh_file(path);
      }();
      if (!read) {
        std::fprintf(stderr, "read failed: %s\n", read.error().text.c_str());
        return 1;
      }
      Stage s("point records (normalise)");
      points = reduce::build_point_records(std::move(read).value());
    }
    parallel::InlineScope::engage_if(parallel::few_points(points.size()));
    reduce::BoundingBox box;
    {
      Stage s("bounds");
      box = reduce::compute_bounds(points);
    }
    const std::uint64_t n = reduce::cells_per_axis(clusters);
    std::vector<reduce::PointRecord> adjusted;
    {
      std::optional<reduce::CellMap> cell_map(std::in_place);
      reduce::CellMap& cells = *cell_map;
      {
        Stage s("cell accumulation");
        reduce::accumulate_cells(points, box, n, cells);
      }
      {
        Stage s("representatives");
        adjusted = reduce::pick_representatives(cells, points);
      }
      {
        Stage s("count adjustment");
        reduce::adjust_count(adjusted, points, clusters);
      }
      Stage s("release cells");
      cell_map.reset();
    }
    {
      Stage s("split output");
      auto out = reduce::split_output(std::move(adjusted));
      sink += out.positions.size();
    }
    { Stage s("release records"); PodVector<reduce::PointRecord>().swap(points); }
    const double total = std::chrono::duration<double>(Clock::now() - total_start).count();
    if (!timings.count("TOTAL (without lists)")) order.push_back("TOTAL (without lists)");
    timings["TOTAL (without lists)"].push_back(total);
  }
  double floor = 0;
  for (const auto& name : order) {
    auto v = timings[name];
    std::sort(v.begin(), v.end());
    const double med = v[v.size() / 2];
    if (name == "floor: one read()") floor = med;
    auto cpu = cpu_timings[name];
    std::sort(cpu.begin(), cpu.end());
    const double cpu_med = cpu.empty() ? 0.0 : cpu[cpu.size() / 2];
    // Microseconds for a small file, where seconds would print as zeros.
    const bool small = timings["TOTAL (without lists)"].front() < 0.01;
    const double unit = small ? 1e6 : 1.0;
    std::printf("%-44s %10.4f %s  %6.2fx floor  cpu %10.4f %s\n", name.c_str(), med * unit, small ? "us" : "s",
                floor > 0 ? med / floor : 0.0, cpu_med * unit, small ? "us" : "s");
  }
  return sink == 42 ? 1 : 0;
}
