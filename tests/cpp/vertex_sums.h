// The vertex normal sums that the checks of the readers compare (the C++ tests and the
// fuzzers): each vertex's bits -> its sum's bits, from a reading or computed directly from
// the triangles. No test framework here, so that the fuzzers can use it too.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "ingest/read_mesh_file.h"
#include "ingest/vertex_merge.h"
#include "stl/triangle_source.h"
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

// What every reading must give: each vertex's normals added in file order, the first one as
// it is. An addition of finite terms that leaves the float range halves the sum so far and
// goes on with every later normal scaled by one more power of two, as long as needed.
inline SumsByVertex sums_in_file_order(const std::vector<RawTriangle>& triangles) {
  std::map<Bits3, std::vector<Vec3f>> normals;
  for (const RawTriangle& t : triangles)
    for (const Vec3f& v : t.vertex) normals[bits_of(v)].push_back(t.normal);
  auto finite = [](Vec3f v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); };
  auto scaled = [](Vec3f v, int down) { return Vec3f{std::ldexp(v.x, -down), std::ldexp(v.y, -down), std::ldexp(v.z, -down)}; };
  SumsByVertex out;
  for (const auto& [vertex, list] : normals) {
    Vec3f s = list[0];
    int down = 0;
    for (std::size_t i = 1; i < list.size(); ++i) {
      for (;;) {
        const Vec3f n = scaled(list[i], down);
        const Vec3f r{s.x + n.x, s.y + n.y, s.z + n.z};
        if (finite(r) || !finite(s) || !finite(n)) {
          s = r;
          break;
        }
        s = scaled(s, 1);
        ++down;
      }
    }
    out[vertex] = sum_bits_of(s);
  }
  return out;
}

// The triangles the sequential reader gives, through the same detection and fallback as
// the reading into the merge.
inline ReadResult<std::vector<RawTriangle>> read_triangles(StlSource& source) {
  return read_sequentially<std::vector<RawTriangle>>(source, [](TriangleSource& from) -> ReadResult<std::vector<RawTriangle>> {
    std::vector<RawTriangle> out;
    for (;;) {
      RawTriangle t;
      ReadError error;
      const NextTriangle next = from.next_triangle(t, error);
      if (next == NextTriangle::kError) return error;
      if (next == NextTriangle::kEnd) return out;
      out.push_back(t);
    }
  });
}

// The sums of a reading into `out`; false when a vertex comes up twice.
inline bool sums_of(const SummedMesh& summed, SumsByVertex& out) {
  bool once = true;
  for (const VertexSumTable& group : summed.groups) {
    group.for_each([&](const SumSlot& s) { once &= out.emplace(bits_of(s.position()), sum_bits_of(s.sum)).second; });
  }
  return once;
}

}  // namespace quarvex::stl
