#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "ingest/vertex_merge.h"
#include "stl_files.h"
#include "watchdog.h"

namespace quarvex::stl {
namespace {

// A grid of quads on a cylinder, two triangles each, in strip order: each triangle repeats
// two vertices of the one before it, as tessellations are written.
std::vector<RawTriangle> strip_mesh(int columns, int rows) {
  auto at = [&](int i, int j) {
    const float a = static_cast<float>(i % columns) * 0.1f;
    return Vec3f{a * 3.0f, static_cast<float>(j), a - 1.0f};
  };
  std::vector<RawTriangle> out;
  for (int j = 0; j < rows; ++j) {
    for (int i = 0; i < columns; ++i) {
      const Vec3f n{static_cast<float>(i) * 0.25f, -0.0f, static_cast<float>(j) + 0.5f};
      out.push_back(RawTriangle{n, {at(i, j), at(i + 1, j), at(i + 1, j + 1)}});
      out.push_back(RawTriangle{n, {at(i, j), at(i + 1, j + 1), at(i, j + 1)}});
    }
  }
  return out;
}

// Odd vertices: signed zeros, NaNs that differ only in payload, a repeated and a degenerate
// triangle, sums that leave the float range, the one key that a table keeps beside its slots
// (whose sum leaves the range too).
std::vector<RawTriangle> odd_triangles() {
  const float nan_a = std::bit_cast<float>(0x7FC00001u), nan_b = std::bit_cast<float>(0xFFC00002u);
  const Vec3f beside{std::bit_cast<float>(kKeyMask.x), std::bit_cast<float>(kKeyMask.y), std::bit_cast<float>(kKeyMask.z)};
  return {RawTriangle{{3e38f, 1, 0}, {beside, {1, 2, 3}, {0, 0, 0}}},
          RawTriangle{{3e38f, 2, 0}, {{5, 5, 5}, beside, {9, 9, 9}}},
          RawTriangle{{-1e38f, 3, 0}, {beside, {9, 9, 9}, {7, 7, 7}}},RawTriangle{{1, 2, 3}, {{0, 0, 0}, {-0.0f, 0, 0}, {nan_a, 1, 1}}},
          RawTriangle{{nan_b, 0, 1}, {{nan_b, 1, 1}, {nan_a, 1, 1}, {0, 0, 0}}},
          RawTriangle{{-0.0f, -0.0f, -0.0f}, {{5, 5, 5}, {5, 5, 5}, {5, 5, 5}}},
          RawTriangle{{1e30f, 1e30f, 0}, {{5, 5, 5}, {0, 0, 0}, {5, 5, 5}}},
          RawTriangle{{3e38f, -3e38f, 1}, {{5, 5, 5}, {1, 2, 3}, {0, 0, 0}}},
          RawTriangle{{3e38f, -3e38f, 1}, {{1, 2, 3}, {5, 5, 5}, {7, 7, 7}}},
          // Subnormal components halved on the way, then an infinite term: a sum that left
          // the range stays in its smaller unit.
          RawTriangle{{3e38f, 1e-45f, 1e-40f}, {{1, 2, 3}, {7, 7, 7}, {8, 8, 8}}},
          RawTriangle{{INFINITY, 3e-45f, 0}, {{1, 2, 3}, {8, 8, 8}, {9, 9, 9}}}};
}

void put_record(std::string& out, const RawTriangle& t) {
  for (const Vec3f& v : {t.normal, t.vertex[0], t.vertex[1], t.vertex[2]}) {
    put_f32(out, v.x), put_f32(out, v.y), put_f32(out, v.z);
  }
  out += "ab";
}

// Runs of one triangle leave most groups without a vertex, and a triangle with one vertex
// thrice sends the whole run to one group; in the fan every run holds the hub. Tiny tables
// grow on the way, doubling or (when the merge knows the triangle count) in one projected step.
TEST(VertexMerge, SumsInFileOrderForEveryGroupCountAndCut) {
  std::vector<RawTriangle> list = strip_mesh(23, 9);
  const std::vector<RawTriangle> odd = odd_triangles();
  list.insert(list.begin() + 50, odd.begin(), odd.end());
  std::mt19937 rng(16);
  std::vector<RawTriangle> shuffled = list;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  std::vector<RawTriangle> fan;
  std::uniform_real_distribution<float> length(0.001f, 1000.0f);
  for (int i = 0; i < 60; ++i) {
    const Vec3f rim{static_cast<float>(i), 1, 0}, next{static_cast<float>(i + 1), 1, 0};
    fan.push_back(RawTriangle{{length(rng), -length(rng), length(rng)}, {{0.5f, 0.5f, 0.5f}, rim, next}});
  }
  for (const auto* triangles : {&list, &shuffled, &fan}) {
    const SumsByVertex expected = sums_in_file_order(*triangles);
    for (std::size_t groups : {1, 2, 3, 5}) {
      for (std::size_t run : {1, 16, 17, 1000}) {
        VertexMerge merge(groups, 4);
        if (run % 2 == 1) merge.expect_triangles(triangles->size());
        for (std::size_t begin = 0; begin < triangles->size(); begin += run) {
          const std::size_t end = std::min(triangles->size(), begin + run);
          const TriangleRun run{triangles->data() + begin, end - begin};
          RoutedRun routed;
          merge.route(run, routed);
          for (std::size_t g = 0; g < groups; ++g) merge.merge(g, run, routed);
        }
        SumsByVertex got;
        EXPECT_TRUE(sums_of(std::move(merge).finish(), got));
        EXPECT_EQ(got, expected) << groups << " groups, runs of " << run;
      }
    }
  }
}

TEST(ParallelIngest, BinaryInStripAndRandomOrder) {
  TempDir dir;
  std::vector<RawTriangle> list = strip_mesh(40, 30);
  const std::vector<RawTriangle> odd = odd_triangles();
  list.insert(list.end(), odd.begin(), odd.end());
  std::string strip = binary_stl(static_cast<std::uint32_t>(list.size()), {});
  for (const RawTriangle& t : list) put_record(strip, t);
  EXPECT_TRUE(expect_parallel_agrees(dir.write("strip.stl", strip)));
  std::shuffle(list.begin(), list.end(), std::mt19937(3));
  std::string shuffled = binary_stl(static_cast<std::uint32_t>(list.size()), {});
  for (const RawTriangle& t : list) put_record(shuffled, t);
  EXPECT_TRUE(expect_parallel_agrees(dir.write("shuffled.stl", shuffled)));
  // Records after the declared count are not read.
  EXPECT_TRUE(expect_parallel_agrees(dir.write("extra.stl", shuffled.substr(0, 80) + std::string("\x05\0\0\0", 4) + shuffled.substr(84))));
}

// The grammar's leniency, cut at every kind of place by the windows and pieces; and the end
// of the solid, after which nothing counts, not even rejected pieces.
TEST(ParallelIngest, AsciiCutAnywhere) {
  TempDir dir;
  std::string body;
  const char* blanks[] = {" ", "\t ", "\xE3\x80\x80", "  \xC2\xA0"};  // U+3000, U+00A0
  int k = 0;
  for (const RawTriangle& t : strip_mesh(12, 6)) {
    char line[160];
    const char* sp = blanks[k++ % 4];
    std::snprintf(line, sizeof line, "facet%snormal %g %g %g\r\n", sp, t.normal.x, t.normal.y, t.normal.z);
    body += line;
    body += k % 3 == 0 ? "\n  outer loop\n" : " outer  loop\n";
    for (const Vec3f& v : t.vertex) {
      std::snprintf(line, sizeof line, "%svertex %.9g %+.6e %g\n", sp, v.x, v.y, v.z);
      body += line;
    }
    body += "endloop\n\t endfacet\n";
  }
  const std::string head = "solid caf\xC3\xA9 \xE2\x82\xAC\n";
  const std::string after = "endsolid caf\xC3\xA9\nfacet normal 1 2\nfacet x\n\xFF\xFE\n";
  EXPECT_TRUE(expect_parallel_agrees(dir.write("ok.stl", head + body + after)));
  EXPECT_TRUE(expect_parallel_agrees(dir.write("last.stl", head + body + "endsolid")));
  // Broken late in the file, or never ended: the parallel reader declines, the message is
  // the sequential reader's.
  EXPECT_FALSE(expect_parallel_agrees(dir.write("unended.stl", head + body)));
  std::string late = head + body + after;
  late[late.size() * 9 / 10] = '\xFF';
  EXPECT_FALSE(expect_parallel_agrees(dir.write("late.stl", late)));
  auto read = read_mesh_file(dir.write("late.stl", late));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().text, "stream did not contain valid UTF-8");
  // Invalid UTF-8 where the shortcut for usual lines stops: in the indentation, in trailing
  // white space, and on the line that ends the solid, whose words the grammar would take.
  const std::pair<std::string, std::string> spoiled[] = {
      {"\t endfacet", "\t\xC2 endfacet"}, {"endloop\n", "endloop \xE2\x80\n"}, {"endsolid caf\xC3", "endsolid caf\xFF"}};
  for (const auto& [from, to] : spoiled) {
    std::string text = head + body + after;
    text.replace(text.find(from, head.size() + body.size() / 2), from.size(), to);
    EXPECT_FALSE(expect_parallel_agrees(dir.write("spoiled.stl", text))) << to;
  }
}

// Lines one byte away from the usual spelling, in the middle of usual ones: whatever the
// shortcut for usual lines takes must be what the grammar takes, and the rest it must leave.
TEST(ParallelIngest, AsciiLinesNearlyUsual) {
  TempDir dir;
  const std::string facet =
      "  facet normal 0 0 1\n    outer loop\n      vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n"
      "      vertex 1.000000e+00 0.000000e+00 0.000000e+00\n"
      "      vertex 0.000000e+00 1.000000e+00 0.000000e+00\n    endloop\n  endfacet\n";
  const struct { const char* line; const char* spelled; bool accepted; } cases[] = {
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex 0 0 -0.25 \r\n", true},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex\t0 0 -.25\xC2\xA0\n", true},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex  0 0 -2.5000000000e-1\n", true},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex 0 \xC2\xA0""0\t-0.25\n", true},
      {"      vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "                  vertex 0 0 -0.25\n", true},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex 0 0 -0.25 1\n", false},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex 0 0\n-0.25\n", false},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex 0 0 inf\n", false},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex 0 0 -0.25x\n", false},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertexx 0 0 -0.25\n", false},
      {"vertex 0.000000e+00 0.000000e+00 -2.500000e-01\n", "vertex 0 0 -0.25\xC2\xA1\n", false},
      {"outer loop\n", "outer  loop\n", true},
      {"outer loop\n", "outer loop x\n", false},
      {"endloop\n", "endloop\xE3\x80\x80\n", true},
      {"endloop\n", "endloopx\n", false},
      {"endfacet\n", "endfacet\r\n", true},
      {"facet normal 0 0 1\n", "facet normal 0 0\n", false},
  };
  for (const auto& c : cases) {
    std::string middle = facet;
    middle.replace(middle.find(c.line), std::strlen(c.line), c.spelled);
    const std::string text = "solid s\n" + facet + middle + facet + "endsolid s\n";
    EXPECT_EQ(expect_parallel_agrees(dir.write("near.stl", text)), c.accepted) << c.spelled;
  }
}

// Every route into the merge gives the same sums, bit for bit, where the order of the
// additions matters: six normals of random length at every inner vertex of a grid. The file
// is read by the parallel reader, a FIFO by the sequential one, and a binary file whose
// header looks like text by the sequential one after the text reading failed.
TEST(ParallelIngest, EveryRouteGivesTheSameSums) {
  TempDir dir;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> length(0.001f, 1000.0f);
  std::vector<RawTriangle> grid;
  for (const RawTriangle& t : strip_mesh(40, 40)) {
    const float k = length(rng);
    grid.push_back(RawTriangle{Vec3f{t.normal.x * k + 0.1f, k, t.normal.z / k}, {t.vertex[0], t.vertex[1], t.vertex[2]}});
  }
  std::string file = binary_stl(static_cast<std::uint32_t>(grid.size()), {});
  for (const RawTriangle& t : grid) put_record(file, t);
  const SumsByVertex expected = sums_in_file_order(grid);
  auto sums = [](const ReadResult<SummedMesh>& read) {
    SumsByVertex got;
    EXPECT_TRUE(read.ok() && sums_of(read.value(), got));
    return got;
  };
  EXPECT_EQ(sums(read_mesh_file(dir.write("grid.stl", file))), expected);
  std::string solid = file;
  solid.replace(0, 6, "solid ");
  EXPECT_EQ(sums(read_mesh_file(dir.write("solid.stl", solid))), expected);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    FILE* f = std::fopen(fifo.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  });
  EXPECT_EQ(sums(read_mesh_file(fifo)), expected);
  writer.join();
}

// A call that has to stop leaves a FIFO's wait even when no signal interrupts it: the signal
// may have landed, and its handler run, just before the wait began. Here no signal comes at
// all: the check says stop once the reader has drained what a stalled writer wrote.
TEST(ParallelIngest, AStopWithoutASignalEndsTheWaitForAFifo) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int writer = ::open(fifo.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  const std::string part = binary_stl(100, {}) + std::string(60, '\x01');
  ASSERT_EQ(::write(writer, part.data(), part.size()), static_cast<ssize_t>(part.size()));
  auto drained = [](void* fd) noexcept {
    int unread = -1;
    return ::ioctl(*static_cast<int*>(fd), FIONREAD, &unread) == 0 && unread == 0;
  };
  Interrupt stop(drained, &writer);
  quarvex::testing::Watchdog watchdog("a FIFO's wait after the check said stop");
  const ReadResult<SummedMesh> read = read_mesh_file(fifo, stop);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind, ReadErrorKind::kInterrupted);
  ::close(writer);
}

}  // namespace
}  // namespace quarvex::stl
