#include "reduce/point_records.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "parallel/parallel_loop.h"

namespace quarvex::reduce {
namespace {

// One operation per statement: this order is part of the result.
float squared_length(Vec3f s) noexcept {
  const float xx = s.x * s.x;
  const float yy = s.y * s.y;
  const float zz = s.z * s.z;
  const float xy = xx + yy;
  return xy + zz;
}

// A finite, non-zero sum whose squared length overflows or leaves the normal range would
// lose its direction (a zero or infinite length) or its unit length (a subnormal square):
// it is first scaled by a power of two that brings its largest component into [0.5, 1).
// ldexpf is exact here, also where the factor itself is no float.
constexpr float kSmallestNormal = std::numeric_limits<float>::min();  // 2^-126
constexpr float kLargest = std::numeric_limits<float>::max();

[[gnu::noinline]] Vec3f scaled_into_range(Vec3f s, float squared) noexcept {
  if (!std::isfinite(s.x) || !std::isfinite(s.y) || !std::isfinite(s.z)) return s;
  if (s.x == 0.0f && s.y == 0.0f && s.z == 0.0f) return s;
  if (squared >= kSmallestNormal && squared <= kLargest) return s;
  int e = 0;
  std::frexp(std::max({std::fabs(s.x), std::fabs(s.y), std::fabs(s.z)}), &e);
  return Vec3f{std::ldexp(s.x, -e), std::ldexp(s.y, -e), std::ldexp(s.z, -e)};
}

// Inlined into the record loop; normalise_sum is the same for the tests.
[[gnu::always_inline]] inline Vec3f normalised(Vec3f s) noexcept {
  float squared = squared_length(s);
  if (!(squared >= kSmallestNormal && squared <= kLargest)) [[unlikely]] {  // NaN too
    // A vertex of faces without stored normals: common enough to skip the call.
    if (s.x == 0.0f && s.y == 0.0f && s.z == 0.0f) return Vec3f{0.0f, 0.0f, 0.0f};
    s = scaled_into_range(s, squared);
    squared = squared_length(s);
  }
  // squared is now at least 2^-126, infinite or NaN (a zero sum returned above): length is
  // never 0.
  const float length = std::sqrt(squared);
  return Vec3f{s.x / length, s.y / length, s.z / length};
}

// A slot's record, its position folded into `box` on the way.
PointRecord make_record(const ingest::SumSlot& slot, BoundingBox& box) noexcept {
  const Vec3f p = slot.position();
  const Vec3f n = normalised(slot.sum);
  const PointRecord r{p.x, p.y, p.z, n.x, n.y, n.z};
  fold_bounds(box, r);
  return r;
}

// The groups' bounds, folded in group order.
BoundingBox bounds_of(const std::vector<BoundingBox>& boxes) noexcept {
  BoundingBox box = kNoBounds;
  for (const BoundingBox& b : boxes) box = merged_bounds(box, b);
  return box;
}

// Every group's table rewritten as its records in its own memory, then the other groups'
// records copied in behind group 0's, which therefore must have room for all of them. The
// tables were all in memory at the end of the merge, so nothing here adds to that, and no
// fresh memory is cleared for the records.
PointList records_in_place(std::vector<ingest::VertexSumTable>& groups, const std::vector<std::size_t>& start) {
  std::vector<LargeBlock> blocks(groups.size());
  std::vector<BoundingBox> boxes(groups.size(), kNoBounds);
  parallel::parallel_for(groups.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t g = begin; g < end; ++g) {
      blocks[g] = groups[g].compact_to<PointRecord>(
          [&box = boxes[g]](const ingest::SumSlot& slot) { return make_record(slot, box); });
    }
  });
  const std::size_t capacity = blocks[0].bytes() / sizeof(PointRecord);
  PodVector<PointRecord> records = PodVector<PointRecord>::adopt(blocks[0].release(), capacity, start.back());
  // The copies in pieces, so that every worker has a share however the groups differ.
  constexpr std::size_t kPiece = std::size_t{1} << 15;
  struct Piece {
    std::size_t group, first;
  };
  std::vector<Piece> pieces;
  for (std::size_t g = 1; g < groups.size(); ++g) {
    for (std::size_t first = start[g]; first < start[g + 1]; first += kPiece) pieces.push_back({g, first});
  }
  parallel::parallel_for(pieces.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const Piece piece = pieces[i];
      const auto* from = static_cast<const PointRecord*>(blocks[piece.group].data()) + (piece.first - start[piece.group]);
      const std::size_t count = std::min(kPiece, start[piece.group + 1] - piece.first);
      std::memcpy(records.data() + piece.first, from, count * sizeof(PointRecord));
    }
  });
  blocks.clear();
  records.shrink_to_fit();
  return PointList{std::move(records), bounds_of(boxes)};
}

}  // namespace

Vec3f normalise_sum(Vec3f s) noexcept { return normalised(s); }

PointList build_point_records(ingest::SummedMesh&& mesh) {
  std::vector<ingest::VertexSumTable>& groups = mesh.groups;
  // Group g fills records [start[g], start[g + 1]).
  std::vector<std::size_t> start(groups.size() + 1, 0);
  for (std::size_t g = 0; g < groups.size(); ++g) start[g + 1] = start[g] + groups[g].size();
  if (!groups.empty() && start.back() <= groups[0].capacity()) return records_in_place(groups, start);
  // Otherwise (a mesh whose tables filled up, as one whose triangles share no vertex) into
  // fresh memory, each table's memory handed back as its records are made.
  PodVector<PointRecord> records;
  records.resize_uninitialized(start.back());
  std::vector<BoundingBox> boxes(groups.size(), kNoBounds);
  parallel::parallel_for(groups.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t g = begin; g < end; ++g) {
      PointRecord* out = records.data() + start[g];
      groups[g].drain([&](const ingest::SumSlot& slot) { *out++ = make_record(slot, boxes[g]); });
    }
  });
  return PointList{std::move(records), bounds_of(boxes)};
}

}  // namespace quarvex::reduce
