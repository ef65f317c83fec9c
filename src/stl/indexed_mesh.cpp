#include "stl/indexed_mesh.h"

#include <bit>

#include "parallel/fast_hash.h"
#include "parallel/flat_table.h"
#include "parallel/hash_keys.h"
#include "stl/triangle_source.h"

namespace quarvex::stl {
namespace {

// A vertex's identity: its three coordinates as bit patterns, so -0 and 0 differ and a NaN
// matches only the same NaN.
struct VertexKey {
  std::uint32_t x, y, z;
  bool operator==(const VertexKey&) const = default;
};

struct VertexHasher {
  HashKeys keys;
  std::uint64_t operator()(const VertexKey& k) const noexcept {
    const std::uint64_t lo = static_cast<std::uint64_t>(k.x) | (static_cast<std::uint64_t>(k.y) << 32);
    return keyed_mix(lo, k.z, keys.k0, keys.k1);
  }
};

using VertexIndexMap = FlatTable<VertexKey, std::uint64_t, VertexHasher>;

}  // namespace

ReadResult<IndexedMesh> build_indexed_mesh(TriangleSource& source) {
  IndexedMesh mesh;
  VertexIndexMap map(VertexHasher{next_map_keys()});
  RawTriangle t;
  ReadError error;
  for (;;) {
    const NextTriangle next = source.next_triangle(t, error);
    if (next == NextTriangle::kEnd) break;
    if (next == NextTriangle::kError) return error;  // mesh and map released here
    MeshFace face;
    face.normal = t.normal;
    for (int v = 0; v < 3; ++v) {
      const Vec3f& p = t.vertex[v];
      const VertexKey key{std::bit_cast<std::uint32_t>(p.x), std::bit_cast<std::uint32_t>(p.y),
                          std::bit_cast<std::uint32_t>(p.z)};
      auto [entry, inserted] = map.find_or_insert(key);
      if (inserted) {
        entry->value = mesh.vertices.size();
        mesh.vertices.push_back(p);
      }
      face.index[v] = entry->value;
    }
    mesh.faces.push_back(face);
  }
  mesh.vertices.shrink_to_fit();
  mesh.faces.shrink_to_fit();
  return mesh;
}

}  // namespace quarvex::stl
