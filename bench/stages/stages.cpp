// Times each stage of one reduction on its own, native, without the interpreter:
//   stages FILE [CLUSTERS [REPEATS]]
// Prints the median of REPEATS runs per stage, two floors for comparison (reading the file
// in one read() call, and in 8192-byte read() calls, the reader's pattern), and for a
// binary file two lower bounds of the sequential merge: inserting each distinct vertex into
// the vertex map once, with every key already in memory, and storing the face list alone.
#include <fcntl.h>
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
#include "stl/binary_reader.h"
#include "stl/detect_format.h"
#include "stl/read_mesh_file.h"
#include "stl/vertex_index_map.h"
#include "support/hash_keys.h"
#include "support/large_block.h"

using namespace quarvex;
using Clock = std::chrono::steady_clock;

namespace {

std::map<std::string, std::vector<double>> timings;
std::vector<std::string> order;

struct Stage {
  std::string name;
  Clock::time_point start = Clock::now();
  explicit Stage(std::string n) : name(std::move(n)) {}
  ~Stage() {
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (!timings.count(name)) order.push_back(name);
    timings[name].push_back(s);
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
    {
      Stage s("decode triangles only (no merge)");
      stl::StlSource source(::open(path, O_RDONLY | O_CLOEXEC));
      if (stl::detect_format(source) == stl::StlFormat::kBinary) {
        auto reader = stl::BinaryFacetReader::create(source);
        stl::RawTriangle t;
        stl::ReadError e;
        while (reader.value().next_triangle(t, e) == stl::NextTriangle::kTriangle)
          sink += std::bit_cast<std::uint32_t>(t.vertex[2].z);
      }
    }
    {
      // Every vertex key of the file in memory first, so that only the lookups are timed.
      std::vector<stl::VertexKey> keys;
      std::vector<Vec3f> normals;
      stl::StlSource source(::open(path, O_RDONLY | O_CLOEXEC));
      if (stl::detect_format(source) == stl::StlFormat::kBinary) {
        auto reader = stl::BinaryFacetReader::create(source);
        stl::RawTriangle t;
        stl::ReadError e;
        while (reader.value().next_triangle(t, e) == stl::NextTriangle::kTriangle) {
          for (const Vec3f& v : t.vertex) keys.push_back(stl::VertexIndexMap<std::uint32_t>::key_of(v));
          normals.push_back(t.normal);
        }
        // The distinct vertices in order of first appearance (untimed): any merge through a
        // hash map inserts each of them once, whatever else it does.
        std::vector<stl::VertexKey> distinct;
        {
          const stl::VertexHasher hasher{next_map_keys()};
          stl::VertexIndexMap<std::uint32_t> seen(hasher);
          for (const stl::VertexKey& k : keys) {
            if (seen.find_or_insert(k, hasher(k), distinct.size()) == distinct.size()) distinct.push_back(k);
          }
        }
        {
          Stage s("bound: inserting each distinct vertex once");
          const stl::VertexHasher hasher{next_map_keys()};
          stl::VertexIndexMap<std::uint32_t> map(hasher);
          constexpr std::size_t kAhead = 32;
          for (std::size_t i = 0; i < distinct.size(); ++i) {
            if (i + kAhead < distinct.size()) map.prefetch(hasher(distinct[i + kAhead]));
            sink += map.find_or_insert(distinct[i], hasher(distinct[i]), i);
          }
        }
        {
          Stage s("bound: storing the face list alone");
          PodVector<stl::MeshFace> faces;
          for (std::size_t f = 0; f < normals.size(); ++f) {
            faces.push_back(stl::MeshFace{normals[f], {3 * f, 3 * f + 1, 3 * f + 2}});
          }
          faces.shrink_to_fit();
          sink += faces.size();
        }
      }
    }
    Clock::time_point total_start = Clock::now();
    PodVector<reduce::PointRecord> points;
    {
      stl::ReadResult<stl::MeshFile> read = [&] {
        Stage s("read + merge (read_mesh_file)");
        return stl::read_mesh_file(path);
      }();
      if (!read) {
        std::fprintf(stderr, "read failed: %s\n", read.error().text.c_str());
        return 1;
      }
      Stage s("point records (fold, normalise)");
      points = reduce::build_point_records(read.value());
    }
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
        adjusted = reduce::pick_representatives(cells);
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
    std::printf("%-44s %8.4f s  %6.2fx floor\n", name.c_str(), med, floor > 0 ? med / floor : 0.0);
  }
  return sink == 42 ? 1 : 0;
}
