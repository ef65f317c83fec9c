#include "reduce/point_records.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/fault.h"
#include "support/fast_hash.h"
#include "support/flat_table.h"
#include "support/hash_keys.h"
#include "parallel/parallel_loop.h"

namespace quarvex::reduce {
namespace {

struct VertexIndexHasher {
  HashKeys keys;
  std::uint64_t operator()(std::uint64_t index) const noexcept {
    return keyed_mix(index, 0, keys.k0, keys.k1);
  }
};

// Vertex index -> running sum of the stored normals of the faces naming it, for the indices
// outside a piece's dense window. Randomly keyed.
using VertexNormalMap = FlatTable<std::uint64_t, Vec3f, VertexIndexHasher>;

inline void add_normal(VertexNormalMap& map, std::uint64_t index, Vec3f normal) {
  auto [entry, inserted] = map.find_or_insert(index);
  if (inserted) {
    entry->value = normal;  // not 0 + normal: a stored -0 must stay -0
  } else {
    entry->value.x += normal.x;
    entry->value.y += normal.y;
    entry->value.z += normal.z;
  }
}

// The vertex normal sums of one piece of the face fold: a dense window of vertex indices
// plus a hash map for the indices outside it.
//
// Vertices are numbered in order of first appearance, so a run of consecutive faces names
// mostly a narrow, dense band of indices; summing into an array over that band touches
// memory in order, where a hash map would scatter every access. Indices outside the window
// (a mesh that wraps around to its first vertices, or any unusual order) go to the map, so
// every input stays correct and no window is more than a small multiple of the entries it
// can hold. Owned by the one thread running the piece, then by whoever combines it.
class NormalSums {
 public:
  // An empty set whose window is [lo, lo + span).
  NormalSums(std::uint64_t lo, std::size_t span) : lo_(lo) {
    sums_.resize_uninitialized(span);
    touched_.assign(span, 0);
  }

  // Inlined in the fold's inner loop; the rare index outside the window takes a call.
  void add(std::uint64_t index, Vec3f normal) {
    const std::uint64_t offset = index - lo_;  // wraps for index < lo_
    if (offset < touched_.size()) [[likely]] {
      if (touched_[offset]) {
        Vec3f& sum = sums_[offset];
        sum.x += normal.x;
        sum.y += normal.y;
        sum.z += normal.z;
      } else {
        sums_[offset] = normal;
        touched_[offset] = 1;
        ++window_count_;
      }
      return;
    }
    add_outside(index, normal);
  }

  std::size_t size() const noexcept {
    return window_count_ + (overflow_ ? overflow_->size() : 0);
  }

  // fn(index, sum) for every entry: the window in index order, then the map.
  template <class Fn>
  void for_each(Fn&& fn) {
    for (std::size_t i = 0; i < touched_.size(); ++i)
      if (touched_[i]) fn(lo_ + i, sums_[i]);
    if (overflow_) overflow_->for_each([&](VertexNormalMap::Entry& e) { fn(e.key, e.value); });
  }

  // Adds every sum of `later` (the faces after this set's) into this set, which survives.
  // When the two windows lie close together this window first widens to cover both, so
  // that adjacent pieces stay dense as they combine up the split tree.
  void absorb(NormalSums&& later) {
    const std::uint64_t mine = touched_.size(), theirs = later.touched_.size();
    const std::uint64_t lo = std::min(lo_, later.lo_);
    const std::uint64_t hi = std::max(lo_ + mine, later.lo_ + theirs);
    if (theirs != 0 && hi - lo > mine && hi - lo <= 2 * (mine + theirs) + 64) {
      widen(lo, static_cast<std::size_t>(hi - lo));
    }
    later.for_each([&](std::uint64_t index, Vec3f sum) { add(index, sum); });
    later.release();
  }

  void release() noexcept {
    PodVector<Vec3f>().swap(sums_);
    std::vector<std::uint8_t>().swap(touched_);
    window_count_ = 0;
    overflow_.reset();
  }

 private:
  [[gnu::noinline]] void add_outside(std::uint64_t index, Vec3f normal) {
    if (!overflow_) overflow_.emplace(VertexIndexHasher{next_map_keys()});
    add_normal(*overflow_, index, normal);
  }

  void widen(std::uint64_t lo, std::size_t span) {
    PodVector<Vec3f> sums;
    sums.resize_uninitialized(span);
    std::vector<std::uint8_t> touched(span, 0);
    const std::size_t shift = static_cast<std::size_t>(lo_ - lo);
    for (std::size_t i = 0; i < touched_.size(); ++i) {
      touched[shift + i] = touched_[i];
      sums[shift + i] = sums_[i];
    }
    sums_.swap(sums);
    touched_.swap(touched);
    lo_ = lo;
    // Entries of the map that now fall inside the window move into it.
    if (overflow_) {
      std::optional<VertexNormalMap> old;
      old.swap(overflow_);
      old->for_each([&](VertexNormalMap::Entry& e) { add(e.key, e.value); });
    }
  }

  std::uint64_t lo_;
  PodVector<Vec3f> sums_;  // valid where touched_ is 1
  std::vector<std::uint8_t> touched_;
  std::size_t window_count_ = 0;
  std::optional<VertexNormalMap> overflow_;
};

// Folds a run of faces. The window is the whole band of indices the run names when that
// band is dense enough; else the band from the smallest "largest index of a face" up (the
// run's own new vertices and their recent neighbours); else there is no window.
NormalSums fold_faces(const stl::IndexedMesh& mesh, std::size_t begin, std::size_t end) {
  if (begin == end) return NormalSums(0, 0);
  std::uint64_t lo = UINT64_MAX, hi = 0, core_lo = UINT64_MAX;
  for (std::size_t f = begin; f < end; ++f) {
    const std::uint64_t* idx = mesh.faces[f].index;
    lo = std::min(lo, std::min({idx[0], idx[1], idx[2]}));
    const std::uint64_t face_hi = std::max({idx[0], idx[1], idx[2]});
    hi = std::max(hi, face_hi);
    core_lo = std::min(core_lo, face_hi);
  }
  const std::uint64_t limit = 2 * 3 * static_cast<std::uint64_t>(end - begin) + 64;
  std::uint64_t window_lo = 0, span = 0;
  if (hi - lo < limit) {
    window_lo = lo, span = hi - lo + 1;
  } else if (hi - core_lo < limit) {
    window_lo = core_lo, span = hi - core_lo + 1;
  }
  NormalSums sums(window_lo, static_cast<std::size_t>(span));
  for (std::size_t f = begin; f < end; ++f) {
    const stl::MeshFace& face = mesh.faces[f];
    sums.add(face.index[0], face.normal);
    sums.add(face.index[1], face.normal);
    sums.add(face.index[2], face.normal);
  }
  return sums;
}

struct IndexedSum {
  std::uint64_t index;
  Vec3f sum;
};

}  // namespace

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

}  // namespace

Vec3f normalise_sum(Vec3f s) noexcept {
  float squared = squared_length(s);
  if (!(squared >= kSmallestNormal && squared <= kLargest)) [[unlikely]] {  // NaN too
    s = scaled_into_range(s, squared);
    squared = squared_length(s);
  }
  const float length = std::sqrt(squared);
  if (length == 0.0f) return Vec3f{0.0f, 0.0f, 0.0f};
  return Vec3f{s.x / length, s.y / length, s.z / length};
}

PodVector<PointRecord> build_point_records(const stl::IndexedMesh& mesh) {
  NormalSums sums = parallel::parallel_fold<NormalSums>(
      mesh.faces.size(),
      [&](std::size_t begin, std::size_t end) { return fold_faces(mesh, begin, end); },
      [](NormalSums&& earlier, NormalSums&& later) {
        earlier.absorb(std::move(later));
        return std::move(earlier);
      });

  PodVector<IndexedSum> pairs;
  pairs.reserve(sums.size());
  sums.for_each([&](std::uint64_t index, Vec3f sum) { pairs.push_back(IndexedSum{index, sum}); });
  sums.release();

  const std::size_t vertex_count = mesh.vertices.size();
  PodVector<PointRecord> records;
  parallel::collect_into(records, pairs.size(), [&](std::size_t i) {
    const IndexedSum& pair = pairs[i];
    if (pair.index >= vertex_count) {
      fault_at("index out of bounds: the len is " + std::to_string(vertex_count) +
                   " but the index is " + std::to_string(pair.index),
               FaultLocation{"src/lib.cpp", 80, 34});
    }
    const Vec3f& p = mesh.vertices[pair.index];
    const Vec3f n = normalise_sum(pair.sum);
    return PointRecord{p.x, p.y, p.z, n.x, n.y, n.z};
  });
  return records;
}

PodVector<PointRecord> build_point_records(const ingest::MeshFile& file) {
  if (!file.summed) return build_point_records(file.mesh);
  const std::vector<ingest::VertexSumTable>& groups = file.summed->groups;
  // Group g fills records [start[g], start[g + 1]).
  std::vector<std::size_t> start(groups.size() + 1, 0);
  for (std::size_t g = 0; g < groups.size(); ++g) start[g + 1] = start[g] + groups[g].size();
  PodVector<PointRecord> records;
  records.resize_uninitialized(start.back());
  parallel::parallel_for(groups.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t g = begin; g < end; ++g) {
      PointRecord* out = records.data() + start[g];
      groups[g].for_each([&](Vec3f p, Vec3f sum) {
        const Vec3f n = normalise_sum(sum);
        *out++ = PointRecord{p.x, p.y, p.z, n.x, n.y, n.z};
      });
    }
  });
  return records;
}

}  // namespace quarvex::reduce
