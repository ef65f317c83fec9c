// The reduction's arithmetic and its steps on small hand-made inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <span>
#include <tuple>
#include <vector>

#include "reduce/cells.h"
#include "reduce/count_adjustment.h"
#include "reduce/grid.h"
#include "reduce/output_split.h"
#include "ingest/vertex_merge.h"
#include "reduce/point_records.h"

using namespace quarvex;
using namespace quarvex::reduce;

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

PointRecord at(float x, float y = 0, float z = 0) { return PointRecord{x, y, z, 0, 0, 1}; }

BoundingBox box_x(float lo, float hi) { return BoundingBox{lo, hi, 0, 0, 0, 0}; }

}  // namespace

TEST(CellsPerAxis, PublishedTable) {
  const std::pair<std::uint64_t, std::uint64_t> table[] = {
      {0, 0},     {1, 1},       {2, 2},     {8, 2},      {9, 3},     {27, 3},
      {28, 4},    {64, 4},      {65, 5},    {124, 5},    {125, 6},   {216, 7},
      {1000, 11}, {10000, 22},  {1000000, 101},
      {std::numeric_limits<std::uint64_t>::max(), 2642247},
  };
  for (auto [clusters, n] : table) EXPECT_EQ(cells_per_axis(clusters), n) << clusters;
}

TEST(CellsPerAxis, CubesBelow125AreExactAndAroundTheFirstEarlyStep) {
  for (std::uint64_t k = 1; k < 5; ++k) EXPECT_EQ(cells_per_axis(k * k * k), k);
  for (std::uint64_t k = 5; k <= 150; ++k) EXPECT_EQ(cells_per_axis(k * k * k), k + 1) << k;
  // Up to 3442949 only the cubes themselves step early; 151^3 - 1 is the first value below a
  // cube that already gets the larger n.
  EXPECT_EQ(cells_per_axis(3442949), 151u);
  EXPECT_EQ(cells_per_axis(3442950), 152u);
  EXPECT_EQ(cells_per_axis(3442951), 152u);
  for (std::uint64_t k = 6; k <= 150; ++k) EXPECT_EQ(cells_per_axis(k * k * k - 1), k) << k;
}

TEST(SaturatingConversion, Edges) {
  EXPECT_EQ(saturating_u64(std::nanf("")), 0u);
  EXPECT_EQ(saturating_u64(-3.0f), 0u);
  EXPECT_EQ(saturating_u64(-0.0f), 0u);
  EXPECT_EQ(saturating_u64(std::numeric_limits<float>::infinity()), UINT64_MAX);
  EXPECT_EQ(saturating_u64(18446744073709551616.0f), UINT64_MAX);
  EXPECT_EQ(saturating_u64(16777216.0f), 16777216u);
}

TEST(CellKey, ThreeCellsOverZeroToTen) {
  const BoundingBox box = box_x(0.0f, 10.0f);
  EXPECT_EQ(cell_key(at(0.0f), box, 3), 0u);
  EXPECT_EQ(cell_key(at(1.0f), box, 3), 0u);
  EXPECT_EQ(cell_key(at(10.0f / 3.0f), box, 3), 0u);  // t = 0.99999994
  EXPECT_EQ(cell_key(at(5.0f), box, 3), 1u);
  EXPECT_EQ(cell_key(at(20.0f / 3.0f), box, 3), 1u);  // t = 1.9999999
  EXPECT_EQ(cell_key(at(10.0f), box, 3), 2u);         // t = 3, clamped
}

TEST(CellKey, ThreeCellsOverTheUnitInterval) {
  const BoundingBox box = box_x(0.0f, 1.0f);
  EXPECT_EQ(cell_key(at(1.0f), box, 3), 2u);  // t = 2.9999995, no clamp needed
  EXPECT_EQ(cell_key(at(0.5f), box, 3), 1u);
}

TEST(CellKey, LinearNumberingAndDegenerateGrids) {
  const BoundingBox box{0, 10, 0, 10, 0, 10};
  EXPECT_EQ(cell_key(at(10, 5, 0), box, 3), 5u);  // (2, 1, 0)
  EXPECT_EQ(cell_key(at(0, 0, 5), box, 3), 9u);   // (0, 0, 1)
  // n = 0: t is 0 or NaN everywhere and nothing is clamped; n = 1 clamps everything to 0.
  EXPECT_EQ(cell_key(at(10, 10, 10), box, 0), 0u);
  EXPECT_EQ(cell_key(at(10, 10, 10), box, 1), 0u);
  // A tiny extent crowds the points into the lower cells.
  EXPECT_EQ(cell_key(at(1e-7f), box_x(0.0f, 1e-7f), 10), 4u);
  // NaN coordinates and infinite extents land in cell 0 of their axis.
  EXPECT_EQ(cell_key(at(std::nanf("")), box, 3), 0u);
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(cell_key(at(5.0f), box_x(-inf, inf), 3), 0u);
}

TEST(Bounds, IgnoreNaNAndEmptyGivesInfinities) {
  PodVector<PointRecord> empty;
  const BoundingBox e = compute_bounds(empty);
  EXPECT_EQ(e.min_x, std::numeric_limits<float>::infinity());
  EXPECT_EQ(e.max_z, -std::numeric_limits<float>::infinity());

  PodVector<PointRecord> records;
  for (int i = 0; i < 1000; ++i) records.push_back(at(float(i), -float(i), 0.5f));
  records.push_back(at(std::nanf(""), std::nanf(""), std::nanf("")));
  const BoundingBox b = compute_bounds(records);
  EXPECT_EQ(b.min_x, 0.0f);
  EXPECT_EQ(b.max_x, 999.0f);
  EXPECT_EQ(b.min_y, -999.0f);
  EXPECT_EQ(b.max_y, 0.0f);
  EXPECT_EQ(b.min_z, 0.5f);
  EXPECT_EQ(b.max_z, 0.5f);
}

// Large lists (so the loop splits into many pieces) with quiet and signaling NaNs,
// infinities, and the extremes placed first, last or anywhere: every bound is the fold of
// fminf/fmaxf over the list's non-NaN values (a NaN never enters a bound, a signaling one
// included, although glibc's fminf returns NaN for it). Where +0 and -0 tie for an
// extreme, either zero may win depending on the split, but it must be a zero.
TEST(Bounds, AgreeWithTheLibraryFoldOnAwkwardLists) {
  std::mt19937 rng(5);
  const float nan_a = std::bit_cast<float>(0x7FC00123u), nan_b = std::bit_cast<float>(0xFFA00001u);
  const float inf = std::numeric_limits<float>::infinity();
  for (int round = 0; round < 40; ++round) {
    PodVector<PointRecord> records;
    const int n = 1 + static_cast<int>(rng() % 200000);
    std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
    for (int i = 0; i < n; ++i) {
      float x = value(rng), y = value(rng), z = value(rng);
      switch (rng() % 50) {
        case 0: x = nan_a; break;
        case 1: y = nan_b; break;
        case 2: z = (round % 4 == 0) ? inf : z; break;
        case 3: x = (round % 5 == 0) ? -inf : x; break;
        default: break;
      }
      records.push_back(at(x, y, z));
    }
    if (round % 3 == 0) records[0] = at(5000.0f, -5000.0f, 5000.0f);
    if (round % 3 == 1) records[records.size() - 1] = at(-5000.0f, 5000.0f, -5000.0f);
    if (round % 7 == 0) for (auto& r : records) r.y = nan_a;  // a whole axis of NaN
    float want[6] = {inf, -inf, inf, -inf, inf, -inf};
    for (const PointRecord& r : records) {
      const float c[3] = {r.x, r.y, r.z};
      for (int a = 0; a < 3; ++a) {
        if (std::isnan(c[a])) continue;
        want[2 * a] = std::fmin(want[2 * a], c[a]);
        want[2 * a + 1] = std::fmax(want[2 * a + 1], c[a]);
      }
    }
    const BoundingBox b = compute_bounds(records);
    const float got[6] = {b.min_x, b.max_x, b.min_y, b.max_y, b.min_z, b.max_z};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(bits(got[k]), bits(want[k])) << round << " " << k;
  }
  PodVector<PointRecord> zeros;
  for (int i = 0; i < 100000; ++i) zeros.push_back(at(i % 2 ? 0.0f : -0.0f, 1.0f + float(i), -0.0f));
  const BoundingBox z = compute_bounds(zeros);
  EXPECT_EQ(z.min_x, 0.0f);
  EXPECT_EQ(z.max_x, 0.0f);
  EXPECT_EQ(bits(z.min_z), 0x80000000u);
  EXPECT_EQ(z.min_y, 1.0f);
}

TEST(Normals, LengthOrderZeroAndNonFinite) {
  const Vec3f n = normalise_sum(Vec3f{3, 4, 0});
  EXPECT_EQ(n.x, 0.6f);
  EXPECT_EQ(n.y, 0.8f);
  EXPECT_EQ(bits(n.z), 0u);
  const Vec3f zero = normalise_sum(Vec3f{-0.0f, 0.0f, -0.0f});
  EXPECT_EQ(bits(zero.x) | bits(zero.y) | bits(zero.z), 0u);  // positive zeros
  EXPECT_TRUE(std::isnan(normalise_sum(Vec3f{std::nanf(""), 1, 1}).y));
  const float inf = std::numeric_limits<float>::infinity();
  const Vec3f big = normalise_sum(Vec3f{inf, -2.0f, 1.0f});
  EXPECT_TRUE(std::isnan(big.x));
  EXPECT_EQ(bits(big.y), bits(-0.0f));
  EXPECT_EQ(bits(big.z), 0u);
}

namespace {

// Triangles merged as a reader hands them over.
ingest::SummedMesh merged(const std::vector<stl::RawTriangle>& triangles) {
  ingest::VertexMerge merge(2, 0);
  std::vector<ingest::RoutedRun> routed;
  const ingest::TriangleRun run{triangles.data(), triangles.size()};
  merge.add(std::span<const ingest::TriangleRun>(&run, 1), routed);
  return std::move(merge).finish();
}

std::map<std::tuple<float, float, float>, PointRecord> by_position(const PodVector<PointRecord>& records) {
  std::map<std::tuple<float, float, float>, PointRecord> out;
  for (const PointRecord& r : records) EXPECT_TRUE(out.emplace(std::tuple{r.x, r.y, r.z}, r).second);
  return out;
}

}  // namespace

TEST(PointRecords, CubeCornersGetNormalisedFaceSums) {
  // A closed cube of 8 shared corners and 12 outward faces.
  auto corner = [](int i) { return Vec3f{float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)}; };
  std::vector<stl::RawTriangle> cube;
  auto quad = [&](Vec3f n, int a, int b, int c, int d) {
    cube.push_back(stl::RawTriangle{n, {corner(a), corner(b), corner(c)}});
    cube.push_back(stl::RawTriangle{n, {corner(a), corner(c), corner(d)}});
  };
  quad({-1, 0, 0}, 0, 4, 6, 2);
  quad({1, 0, 0}, 1, 3, 7, 5);
  quad({0, -1, 0}, 0, 1, 5, 4);
  quad({0, 1, 0}, 2, 6, 7, 3);
  quad({0, 0, -1}, 0, 2, 3, 1);
  quad({0, 0, 1}, 4, 5, 7, 6);
  const PodVector<PointRecord> records = build_point_records(merged(cube)).records;
  ASSERT_EQ(by_position(records).size(), 8u);
  for (const PointRecord& r : records) {
    // Each normal points away from the cube's centre on every axis, with unit length.
    EXPECT_GT(r.nx * (r.x - 0.5f), 0.0f);
    EXPECT_GT(r.ny * (r.y - 0.5f), 0.0f);
    EXPECT_GT(r.nz * (r.z - 0.5f), 0.0f);
    EXPECT_NEAR(r.nx * r.nx + r.ny * r.ny + r.nz * r.nz, 1.0f, 1e-6f);
  }
}

// A vertex named twice by one face gets its normal twice; sums may cancel; a sum that leaves
// the float range keeps its direction (the plain sum would be infinite, and its unit normal
// NaN), while a sum with an infinite term stays the plain sum.
TEST(PointRecords, RepeatedCornersCancellingAndOverflowingSums) {
  const float max = std::numeric_limits<float>::max(), inf = std::numeric_limits<float>::infinity();
  const std::vector<stl::RawTriangle> triangles = {
      {{0, 0, 1}, {{0, 0, 0}, {0, 0, 0}, {1, 0, 0}}},
      {{1, 0, 0}, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}},
      {{0, 0, -1}, {{1, 0, 0}, {2, 0, 0}, {2, 0, 0}}},
      {{max, 0, 0}, {{5, 0, 0}, {6, 0, 0}, {7, 0, 0}}},
      {{max, 0, 0}, {{5, 0, 0}, {6, 0, 0}, {8, 0, 0}}},
      {{-max, max, 0}, {{6, 0, 0}, {7, 0, 0}, {8, 0, 0}}},
      {{inf, 0, 0}, {{7, 0, 0}, {9, 0, 0}, {9, 0, 0}}},
  };
  auto at = by_position(build_point_records(merged(triangles)).records);
  ASSERT_EQ(at.size(), 8u);
  auto normal = [&](float x) { const PointRecord& r = at[{x, 0.0f, 0.0f}]; return Vec3f{r.nx, r.ny, r.nz}; };
  auto same = [](Vec3f a, Vec3f b) { return bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.z) == bits(b.z); };
  EXPECT_TRUE(same(normal(0), normalise_sum(Vec3f{1, 0, 2})));
  EXPECT_TRUE(same(normal(1), Vec3f{1, 0, 0}));  // (0,0,1) + (1,0,0) + (0,0,-1), z exactly +0
  EXPECT_TRUE(same(normal(5), Vec3f{1, 0, 0}));
  // max + max leaves the range: the sum goes on scaled by 2^-1, max/2 + max/2, then
  // + (-max/2, max/2, 0).
  EXPECT_TRUE(same(normal(6), normalise_sum(Vec3f{max / 2, max / 2, 0})));
  EXPECT_TRUE(same(normal(8), normalise_sum(Vec3f{0, 1, 0})));
  EXPECT_TRUE(std::isnan(normal(7).x));  // max + -max + inf: the plain sum, inf / inf
  EXPECT_TRUE(std::isnan(normal(9).x));
  // Finite normals only, so that nothing infinite marks the input as unusual.
  const auto alone = build_point_records(merged({{{max, 0, 0}, {{5, 0, 0}, {6, 0, 0}, {7, 0, 0}}},
                                                 {{max, 0, 0}, {{5, 0, 0}, {6, 0, 0}, {8, 0, 0}}}})).records;
  for (const PointRecord& r : alone) EXPECT_TRUE(same(Vec3f{r.nx, r.ny, r.nz}, Vec3f{1, 0, 0})) << r.x;
}

// Records are made in the tables' own memory when group 0's table has room for all of
// them, else in fresh memory: the same records and bounds either way. The last vertex is the
// key the tables keep beside their slots, a NaN, which no bound takes.
TEST(PointRecords, SameRecordsInTheTablesMemoryOrInFreshMemory) {
  auto records_with = [](int in_group_0) {
    const ingest::VertexHasher hasher{next_map_keys()};
    ingest::SummedMesh mesh;
    for (int g = 0; g < 2; ++g) mesh.groups.emplace_back(hasher, 0);  // 16 slots, doubling
    for (int i = 0; i < 40; ++i) {
      const ingest::VertexKey key = i == 39 ? ingest::kKeyMask : ingest::VertexKey{bits(float(i)), bits(2.5f), bits(-0.0f)};
      mesh.groups[i < in_group_0 ? 0 : 1].add(key, hasher(key), Vec3f{float(i), 1, -2});
    }
    const PointList made = build_point_records(std::move(mesh));
    const BoundingBox& b = made.box;
    std::vector<std::array<std::uint32_t, 6>> out{{bits(b.min_x), bits(b.max_x), bits(b.min_y), bits(b.max_y), bits(b.min_z), bits(b.max_z)}};
    for (const PointRecord& r : made.records) {
      out.push_back({bits(r.x), bits(r.y), bits(r.z), bits(r.nx), bits(r.ny), bits(r.nz)});
    }
    std::sort(out.begin() + 1, out.end());
    return out;
  };
  const auto fresh = records_with(3);      // 40 records, group 0 has 16 slots
  const auto in_place = records_with(37);  // 64 slots
  ASSERT_EQ(fresh.size(), 41u);
  EXPECT_EQ(fresh, in_place);
  EXPECT_EQ(fresh[0], (std::array<std::uint32_t, 6>{0, bits(38.0f), bits(2.5f), bits(2.5f), bits(-0.0f), bits(-0.0f)}));
  EXPECT_EQ(fresh[6][3], bits(normalise_sum(Vec3f{5, 1, -2}).x));
}

TEST(Cells, EveryRecordCountedInItsCellAndOneRepresentativeDrawnFromEach) {
  PodVector<PointRecord> records;
  for (int i = 0; i < 5000; ++i) records.push_back(at(float(i % 100), float(i / 100), float(i % 13)));
  records.push_back(records[17]);  // an exact duplicate counts separately
  const BoundingBox box = compute_bounds(records);
  // A grid smaller than the record list (cells numbered by key) and a far larger one.
  for (const std::uint64_t n : {cells_per_axis(1000), cells_per_axis(100'000'000)}) {
    SCOPED_TRACE(n);
    CellMap map;
    accumulate_cells(records, box, n, map);
    std::map<std::uint64_t, std::size_t> expected;
    for (const PointRecord& r : records) ++expected[cell_key(r, box, n)];
    std::size_t total = 0;
    map.for_each([&](std::uint64_t key, std::size_t count) {
      total += count;
      EXPECT_EQ(expected[key], count);
    });
    EXPECT_EQ(map.size(), expected.size());
    EXPECT_EQ(total, records.size());

    std::vector<PointRecord> reps = pick_representatives(map, records);
    EXPECT_EQ(reps.size(), expected.size());
    std::set<std::uint64_t> rep_cells;
    for (const PointRecord& r : reps) rep_cells.insert(cell_key(r, box, n));
    EXPECT_EQ(rep_cells.size(), reps.size());
  }
}

TEST(Cells, EveryRecordOfACellIsDrawnEquallyOften) {
  // Cell 0 holds records 0, 2, 4 (x = 0), cell 1 records 1, 3 (x = 10), interleaved in the
  // list; each record must come out about as often as its cell-mates.
  PodVector<PointRecord> records;
  // The records differ only in their normal's x, which names them.
  for (int i = 0; i < 5; ++i) records.push_back(PointRecord{i % 2 == 0 ? 0.0f : 10.0f, 0, 0, float(i), 0, 0});
  const BoundingBox box = compute_bounds(records);
  std::map<float, int> drawn;
  constexpr int kCalls = 6000;
  for (int call = 0; call < kCalls; ++call) {
    CellMap map;
    accumulate_cells(records, box, 2, map);
    for (const PointRecord& r : pick_representatives(map, records)) ++drawn[r.nx];
  }
  ASSERT_EQ(drawn.size(), 5u);
  for (const auto& [record, count] : drawn) {
    const double expected = kCalls / (int(record) % 2 == 0 ? 3.0 : 2.0);
    EXPECT_NEAR(count, expected, 5 * std::sqrt(expected)) << "record " << record;
  }
}

TEST(Cells, EmptyInputAndSingleCell) {
  PodVector<PointRecord> none;
  CellMap empty;
  accumulate_cells(none, compute_bounds(none), 5, empty);
  EXPECT_TRUE(pick_representatives(empty, none).empty());

  PodVector<PointRecord> records;
  for (int i = 0; i < 100; ++i) records.push_back(at(float(i)));
  CellMap one;
  accumulate_cells(records, compute_bounds(records), cells_per_axis(0), one);
  std::vector<PointRecord> reps = pick_representatives(one, records);
  ASSERT_EQ(reps.size(), 1u);
}

TEST(CountAdjustment, TrimTopUpAndUnchanged) {
  PodVector<PointRecord> points;
  for (int i = 0; i < 10; ++i) points.push_back(at(float(i)));
  std::vector<PointRecord> reps(points.begin(), points.end());

  std::vector<PointRecord> same = reps;
  adjust_count(same, points, 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(same[i].x, float(i));  // r = c: untouched

  std::vector<PointRecord> trimmed = reps;
  adjust_count(trimmed, points, 4);
  ASSERT_EQ(trimmed.size(), 4u);
  std::set<float> distinct;
  for (const PointRecord& r : trimmed) distinct.insert(r.x);
  EXPECT_EQ(distinct.size(), 4u);

  std::vector<PointRecord> emptied = reps;
  adjust_count(emptied, points, 0);
  EXPECT_TRUE(emptied.empty());

  std::vector<PointRecord> topped(reps.begin(), reps.begin() + 3);
  adjust_count(topped, points, 50);
  ASSERT_EQ(topped.size(), 50u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(topped[i].x, float(i));  // representatives stay first

  std::vector<PointRecord> nothing;
  adjust_count(nothing, PodVector<PointRecord>{}, 7);
  EXPECT_TRUE(nothing.empty());
}

TEST(CountAdjustment, TrimIsUniform) {
  PodVector<PointRecord> points;
  for (int i = 0; i < 6; ++i) points.push_back(at(float(i)));
  int kept[6] = {0};
  const int rounds = 6000;
  for (int round = 0; round < rounds; ++round) {
    std::vector<PointRecord> reps(points.begin(), points.end());
    adjust_count(reps, points, 2);
    for (const PointRecord& r : reps) ++kept[int(r.x)];
  }
  for (int count : kept) EXPECT_NEAR(count, rounds * 2 / 6, 200);
}

TEST(OutputSplit, IndexForIndex) {
  std::vector<PointRecord> list;
  for (int i = 0; i < 3000; ++i) list.push_back(PointRecord{float(i), 1, 2, float(-i), 4, 5});
  SplitOutput out = split_output(std::move(list));
  ASSERT_EQ(out.positions.size(), 3000u);
  ASSERT_EQ(out.normals.size(), 3000u);
  for (int i = 0; i < 3000; ++i) {
    EXPECT_EQ(out.positions[i].x, float(i));
    EXPECT_EQ(out.normals[i].x, float(-i));
    EXPECT_EQ(out.normals[i].z, 5.0f);
  }
  EXPECT_TRUE(split_output({}).positions.empty());
}
