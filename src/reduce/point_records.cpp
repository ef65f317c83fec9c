#include "reduce/point_records.h"

#include <cmath>
#include <string>
#include <utility>

#include "fault.h"
#include "parallel/fast_hash.h"
#include "parallel/flat_table.h"
#include "parallel/hash_keys.h"
#include "parallel/parallel_loop.h"

namespace quarvex::reduce {
namespace {

struct VertexIndexHasher {
  HashKeys keys;
  std::uint64_t operator()(std::uint64_t index) const noexcept {
    return keyed_mix(index, 0, keys.k0, keys.k1);
  }
};

// Vertex index -> running sum of the stored normals of the faces naming it. One per piece
// of the face fold, owned by the thread running that piece; randomly keyed, so the record
// order built from it differs from call to call.
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

VertexNormalMap fold_faces(const stl::IndexedMesh& mesh, std::size_t begin, std::size_t end) {
  VertexNormalMap map(VertexIndexHasher{next_map_keys()});
  for (std::size_t f = begin; f < end; ++f) {
    const stl::MeshFace& face = mesh.faces[f];
    add_normal(map, face.index[0], face.normal);
    add_normal(map, face.index[1], face.normal);
    add_normal(map, face.index[2], face.normal);
  }
  return map;
}

// Adds the later faces' sums into the earlier faces' map, which survives.
VertexNormalMap combine(VertexNormalMap&& earlier, VertexNormalMap&& later) {
  later.for_each([&](VertexNormalMap::Entry& e) { add_normal(earlier, e.key, e.value); });
  later.clear();
  return std::move(earlier);
}

struct IndexedSum {
  std::uint64_t index;
  Vec3f sum;
};

}  // namespace

Vec3f normalise_sum(Vec3f s) noexcept {
  // One operation per statement: this order is part of the result.
  const float xx = s.x * s.x;
  const float yy = s.y * s.y;
  const float zz = s.z * s.z;
  const float xy = xx + yy;
  const float squared = xy + zz;
  const float length = std::sqrt(squared);
  if (length == 0.0f) return Vec3f{0.0f, 0.0f, 0.0f};
  return Vec3f{s.x / length, s.y / length, s.z / length};
}

PodVector<PointRecord> build_point_records(const stl::IndexedMesh& mesh) {
  VertexNormalMap sums = parallel::parallel_fold<VertexNormalMap>(
      mesh.faces.size(),
      [&](std::size_t begin, std::size_t end) { return fold_faces(mesh, begin, end); },
      [](VertexNormalMap&& left, VertexNormalMap&& right) {
        return combine(std::move(left), std::move(right));
      });

  PodVector<IndexedSum> pairs;
  pairs.reserve(sums.size());
  sums.for_each([&](VertexNormalMap::Entry& e) { pairs.push_back(IndexedSum{e.key, e.value}); });
  sums.clear();

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

}  // namespace quarvex::reduce
