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
  // Triangles are taken in small batches: all their vertices are hashed and their table
  // slots prefetched first, then looked up strictly in file order, so the cache misses of a
  // batch overlap instead of following one another.
  constexpr int kBatch = 16;
  RawTriangle batch[kBatch];
  VertexKey keys[kBatch * 3];
  std::uint64_t hashes[kBatch * 3];
  ReadError error;
  for (;;) {
    int count = 0;
    NextTriangle last = NextTriangle::kTriangle;
    while (count < kBatch) {
      last = source.next_triangle(batch[count], error);
      if (last != NextTriangle::kTriangle) break;
      ++count;
    }
    if (last == NextTriangle::kError) return error;  // mesh and map released here
    for (int t = 0; t < count; ++t) {
      for (int v = 0; v < 3; ++v) {
        const Vec3f& p = batch[t].vertex[v];
        const VertexKey key{std::bit_cast<std::uint32_t>(p.x), std::bit_cast<std::uint32_t>(p.y),
                            std::bit_cast<std::uint32_t>(p.z)};
        keys[t * 3 + v] = key;
        hashes[t * 3 + v] = map.hash_of(key);
        map.prefetch(hashes[t * 3 + v]);
      }
    }
    for (int t = 0; t < count; ++t) {
      MeshFace face;
      face.normal = batch[t].normal;
      for (int v = 0; v < 3; ++v) {
        auto [entry, inserted] = map.find_or_insert(keys[t * 3 + v], hashes[t * 3 + v]);
        if (inserted) {
          entry->value = mesh.vertices.size();
          mesh.vertices.push_back(batch[t].vertex[v]);
        }
        face.index[v] = entry->value;
      }
      mesh.faces.push_back(face);
    }
    if (last == NextTriangle::kEnd) break;
  }
  mesh.vertices.shrink_to_fit();
  mesh.faces.shrink_to_fit();
  return mesh;
}

}  // namespace quarvex::stl
