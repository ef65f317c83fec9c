// The vertex normal sums that the checks of the parallel readers compare (the C++ tests and
// the fuzzers): each vertex's bits -> its sum's bits, from the sequential mesh or from a
// parallel reading. No test framework here, so that the fuzzers can use it too.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "stl/indexed_mesh.h"
#include "ingest/sharded_merge.h"
#include "support/vec3.h"

namespace quarvex::stl {
using namespace ::quarvex::ingest;

using Bits3 = std::array<std::uint32_t, 3>;
using SumsByVertex = std::map<Bits3, Bits3>;

inline Bits3 bits_of(Vec3f v) {
  return {std::bit_cast<std::uint32_t>(v.x), std::bit_cast<std::uint32_t>(v.y), std::bit_cast<std::uint32_t>(v.z)};
}

// A sum's bits, with every NaN as one pattern: which payload an addition of two NaNs keeps
// depends on the order in which the compiler puts the operands.
inline Bits3 sum_bits_of(Vec3f s) {
  auto one = [](float f) { return std::isnan(f) ? std::numeric_limits<float>::quiet_NaN() : f; };
  return bits_of(Vec3f{one(s.x), one(s.y), one(s.z)});
}

// Each vertex's first normal, then every later one added, in face order.
inline SumsByVertex sums_in_file_order(const IndexedMesh& mesh) {
  std::vector<std::optional<Vec3f>> sums(mesh.vertices.size());
  for (const MeshFace& face : mesh.faces) {
    for (std::uint64_t i : face.index) {
      if (!sums[i]) {
        sums[i] = face.normal;
      } else {
        sums[i]->x += face.normal.x;
        sums[i]->y += face.normal.y;
        sums[i]->z += face.normal.z;
      }
    }
  }
  SumsByVertex out;
  for (std::size_t i = 0; i < sums.size(); ++i) out[bits_of(mesh.vertices[i])] = sum_bits_of(*sums[i]);
  return out;
}

// The sums of a parallel reading into `out`; false when a vertex comes up twice.
inline bool sums_of(const SummedMesh& summed, SumsByVertex& out) {
  bool once = true;
  for (const VertexSumTable& group : summed.groups) {
    group.for_each([&](Vec3f p, Vec3f sum) { once &= out.emplace(bits_of(p), sum_bits_of(sum)).second; });
  }
  return once;
}

}  // namespace quarvex::stl
