// Times each stage of one reduction on its own, native, without the interpreter:
//   stages FILE [CLUSTERS [REPEATS]]
// Prints the median of REPEATS runs per stage (wall time, and the CPU time of all threads),
// and two floors for comparison: reading the file in one read() call, and in 8192-byte
// read() calls, the sequential reader's pattern. A third row is what the ingest costs beyond
// reading: a binary file's vertex merge, or an ASCII file's facet parse, on the workers, of
// a copy of the file already in memory, so that no read is in it. For a binary file three
// more split the merge: the same merge again into its tables, now touched and holding every
// key (the lookups alone); fresh memory of the tables' size touched (page faults and clearing
// alone); and what the hardware allows a merge with tables of that size: one random
// cache-line update per corner.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "ingest/ascii_chunk.h"
#include "ingest/parallel_ascii.h"
#include "ingest/parallel_binary.h"
#include "ingest/read_mesh_file.h"
#include "ingest/vertex_merge.h"
#include "parallel/inline_scope.h"
#include "parallel/parallel_loop.h"
#include "stl/binary_reader.h"
#include "stl/binary_record.h"
#include "support/even_split.h"
#include "support/fast_hash.h"
#include "support/large_block.h"

using namespace quarvex;
using Clock = std::chrono::steady_clock;

namespace {

std::map<std::string, std::vector<double>> timings;
std::map<std::string, std::vector<double>> cpu_timings;
std::vector<std::string> order;
// The bytes of the merge tables the last merge_in_memory made.
std::size_t merge_table_bytes = 0;

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

std::string read_file(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  std::string bytes(static_cast<std::size_t>(std::max<off_t>(0, ::lseek(fd, 0, SEEK_END))), '\0');
  std::size_t total = 0;
  while (total < bytes.size()) {
    const ssize_t got = ::pread(fd, bytes.data() + total, bytes.size() - total, static_cast<off_t>(total));
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  ::close(fd);
  bytes.resize(total);
  return bytes;
}

// The binary reader's pipeline without its reads, into `merge`: while window w is merged,
// window w + 1 is routed, each by all pieces.
void merge_windows(ingest::VertexMerge& merge, const std::byte* records, std::size_t count) {
  const std::size_t groups = merge.groups();
  const std::size_t window = ingest::kBinaryWindowRecords;
  const std::size_t windows = (count + window - 1) / window;
  auto share = [&](std::size_t w, std::size_t g) {
    const std::size_t n = std::min(window, count - w * window);
    const SplitPart part = split_part(n, g, groups);
    return ingest::BinaryRecords{records + (w * window + part.first) * stl::kBinaryRecordSize, part.size()};
  };
  std::vector<ingest::RoutedRun> routed[2] = {std::vector<ingest::RoutedRun>(groups, ingest::RoutedRun(groups)),
                                              std::vector<ingest::RoutedRun>(groups, ingest::RoutedRun(groups))};
  for (std::size_t w = 0; w <= windows; ++w) {
    parallel::parallel_for(groups, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) {
        if (w < windows) merge.route(share(w, g), routed[w % 2][g]);
        if (w == 0) continue;
        for (std::size_t s = 0; s < groups; ++s) merge.merge(g, share(w - 1, s), routed[(w - 1) % 2][s]);
      }
    });
  }
}

// The merge alone, timed twice: into fresh tables, as a call merges, and then once more into
// the same tables, whose memory is now touched and which hold every key, so that the second
// row is the lookups alone and the difference is what the first touch of the tables costs
// (page faults and clearing, cold lines, inserts).
std::size_t merge_in_memory(const std::byte* records, std::size_t count) {
  std::optional<ingest::VertexMerge> merge;
  {
    Stage s("merge alone (file in memory)");
    merge.emplace(ingest::VertexMerge::group_count(), ingest::presized_vertices(count / 2));
    merge->expect_triangles(count);
    merge_windows(*merge, records, count);
  }
  {
    Stage s("merge again, tables warm (keys present)");
    merge_windows(*merge, records, count);
  }
  const ingest::SummedMesh mesh = std::move(*merge).finish();
  merge_table_bytes = 0;
  for (const ingest::VertexSumTable& table : mesh.groups) merge_table_bytes += table.capacity() * sizeof(ingest::SumSlot);
  return mesh.groups.front().size();
}

// Fresh memory of the merge tables' size, split between the pieces as the groups split it,
// each piece mapping its share as a table does and writing one byte per 4 KiB: what the
// first touch of the tables costs in page faults and clearing alone.
std::size_t touch_fresh_tables() {
  if (merge_table_bytes == 0) return 0;
  const std::size_t pieces = ingest::VertexMerge::group_count();
  std::vector<LargeBlock> blocks(pieces);
  {
    Stage s("fresh memory of the tables' size, touched");
    parallel::parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) {
        blocks[g] = LargeBlock(merge_table_bytes / pieces);
        auto* const bytes = static_cast<volatile unsigned char*>(blocks[g].data());
        for (std::size_t i = 0; i < blocks[g].bytes(); i += 4096) bytes[i] = 1;
      }
    });
  }
  return blocks.front().bytes();
}

// What the hardware allows the merge: one update of a random cache line per corner, in
// memory of the merge tables' size split between the pieces as the groups split it, with the
// lines asked for as far ahead as the merge asks for its slots. The memory is touched once
// and kept from run to run, so the row times the accesses, not first-touch page faults.
std::size_t random_updates(std::size_t corners) {
  constexpr std::size_t kLine = 64, kAhead = 32;
  if (corners == 0 || merge_table_bytes == 0) return 0;
  static LargeBlock block;
  if (block.bytes() < merge_table_bytes) {
    block = LargeBlock(merge_table_bytes);
    std::memset(block.data(), 1, block.bytes());
  }
  auto* const lines = static_cast<std::byte*>(block.data());
  const std::size_t pieces = ingest::VertexMerge::group_count();
  const std::uint64_t per_piece = merge_table_bytes / kLine / pieces;
  parallel::parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
    for (std::size_t g = begin; g < end; ++g) {
      const SplitPart part = split_part(corners, g, pieces);
      auto line = [&](std::size_t i) {
        const std::uint64_t h = folded_multiply(i, 0x9E3779B97F4A7C15ull);
        return reinterpret_cast<std::uint64_t*>(lines + (g * per_piece + (((h >> 32) * per_piece) >> 32)) * kLine);
      };
      for (std::size_t i = part.first; i < part.first + part.size(); ++i) {
        __builtin_prefetch(line(i + kAhead));
        *line(i) += i;
      }
    }
  });
  return static_cast<std::size_t>(*reinterpret_cast<std::uint64_t*>(lines));
}

// The facets of the text, cut at facet lines into pieces of the call's size and parsed on
// the workers as the call parses a window's pieces, each into a list that is kept from run to
// run (as the call keeps its pieces' lists from window to window): the row times the parse,
// not the first touch of growing lists.
std::size_t parse_in_memory(std::string_view text) {
  std::vector<std::size_t> cut{ingest::next_facet_line(text, 0)};
  for (std::size_t at = cut.back(); at < text.size(); cut.push_back(at)) {
    at = std::min(text.size(), at + ingest::AsciiCuts{}.piece_bytes);
    if (at < text.size()) at = std::min(text.size(), ingest::next_facet_line(text, at));
  }
  static std::vector<PodVector<stl::RawTriangle>> lists;
  if (lists.size() < cut.size()) lists.resize(cut.size());
  parallel::parallel_for(cut.size() - 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      lists[k].clear();
      ingest::parse_facets(text.substr(cut[k], cut[k + 1] - cut[k]), lists[k]);
    }
  });
  return cut.size() > 1 ? lists.front().size() : 0;
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
  const std::string bytes = read_file(path);
  const auto* head = reinterpret_cast<const std::byte*>(bytes.data());
  const bool binary = bytes.size() >= stl::kBinaryHeadSize &&
                      bytes.size() == stl::binary_stl_size(head + stl::kBinaryCountOffset);
  for (int r = 0; r < repeats; ++r) {
    { Stage s("floor: one read()"); sink += read_whole(path); }
    { Stage s("floor: 8192-byte read()s"); sink += read_in_chunks(path, 8192); }
    if (binary) {
      const std::size_t count = (bytes.size() - stl::kBinaryHeadSize) / stl::kBinaryRecordSize;
      sink += merge_in_memory(head + stl::kBinaryHeadSize, count);
      sink += touch_fresh_tables();
      Stage s("random line updates alone (table size)");
      sink += random_updates(3 * count);
    } else {
      Stage s("facet parse alone (file in memory)");
      sink += parse_in_memory(bytes);
    }
    Clock::time_point total_start = Clock::now();
    // As in a call: a small file or few points run every loop on this thread.
    const parallel::InlineScope small_input;
    PodVector<reduce::PointRecord> points;
    reduce::BoundingBox box{};
    {
      stl::ReadResult<ingest::SummedMesh> read = [&] {
        Stage s("read + merge (read_mesh_file)");
        return ingest::read_mesh_file(path);
      }();
      if (!read) {
        std::fprintf(stderr, "read failed: %s\n", read.error().text.c_str());
        return 1;
      }
      Stage s("point records and bounds");
      reduce::PointList made = reduce::build_point_records(std::move(read).value());
      points = std::move(made.records);
      box = made.box;
    }
    parallel::InlineScope::engage_if(parallel::few_points(points.size()));
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
