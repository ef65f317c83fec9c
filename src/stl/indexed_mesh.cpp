#include "stl/indexed_mesh.h"

#include <cstdint>
#include <utility>

#include "support/hash_keys.h"
#include "stl/triangle_source.h"
#include "stl/vertex_index_map.h"

namespace quarvex::stl {
namespace {

// Triangles travel in batches: while one batch is looked up strictly in file order, the
// next one has already been read, hashed and its table slots prefetched, so the cache
// misses of the lookups overlap with useful work instead of following one another.
//
// Tessellations are written as strips and fans, where a triangle mostly repeats two
// vertices of the one before it. Such a vertex takes the index already found for it there
// (the same key has the same index), with no hashing and no lookup.
constexpr int kBatch = 32;

struct Batch {
  RawTriangle triangle[kBatch];
  VertexKey key[kBatch * 3];
  std::uint64_t hash[kBatch * 3];
  std::int8_t same_as[kBatch * 3];  // k: equals vertex k of the triangle before; -1: look up
  int count = 0;
  NextTriangle last = NextTriangle::kTriangle;  // how the reading of this batch ended
};

enum class Step { kDone, kError, kWiden };

class MeshBuilder {
 public:
  explicit MeshBuilder(TriangleSource& source) : source_(source), hasher_{next_map_keys()} {}

  template <class Index>
  ReadResult<IndexedMesh> build() {
    VertexIndexMap<Index> narrow(hasher_);
    if (!fill(*current_, narrow)) return std::move(error_);
    if (run(narrow) == Step::kError) return std::move(error_);
    if (!done_) {
      // More vertices than the narrow map can number: carry on with 64-bit indices, rebuilt
      // from the vertex list (the narrow map goes first, so the two are never held at once).
      narrow.clear();
      VertexIndexMap<std::uint64_t> wide(hasher_);
      wide.rebuild_from(mesh_.vertices);
      if (run(wide) == Step::kError) return std::move(error_);
    }
    mesh_.vertices.shrink_to_fit();
    mesh_.faces.shrink_to_fit();
    return std::move(mesh_);
  }

 private:
  // Reads up to kBatch triangles into `batch`, hashes their vertices and prefetches their
  // slots. False on a read error (kept in error_).
  template <class Map>
  bool fill(Batch& batch, const Map& map) {
    NextTriangle last = NextTriangle::kTriangle;
    const int count = source_.next_triangles(batch.triangle, kBatch, last, error_);
    if (last == NextTriangle::kError) return false;
    batch.count = count;
    batch.last = last;
    for (int t = 0; t < count; ++t) {
      for (int v = 0; v < 3; ++v) {
        const VertexKey key = Map::key_of(batch.triangle[t].vertex[v]);
        std::int8_t same = -1;
        for (int k = 0; k < 3; ++k) {
          if (has_previous_ && key == previous_key_[k]) {
            same = static_cast<std::int8_t>(k);
            break;
          }
        }
        batch.key[t * 3 + v] = key;
        batch.same_as[t * 3 + v] = same;
        if (same < 0) {
          const std::uint64_t hash = hasher_(key);
          batch.hash[t * 3 + v] = hash;
          map.prefetch(hash);
        }
      }
      for (int v = 0; v < 3; ++v) previous_key_[v] = batch.key[t * 3 + v];
      has_previous_ = true;
    }
    return true;
  }

  // Merges batches until the end (done_), a read error, or a batch whose new vertices the
  // map might not be able to number (kWiden; that batch stays current, unmerged).
  template <class Map>
  Step run(Map& map) {
    for (;;) {
      Batch& batch = *current_;
      if (!Map::can_number(mesh_.vertices.size() + 3 * static_cast<std::uint64_t>(batch.count))) {
        return Step::kWiden;
      }
      const bool more = batch.last == NextTriangle::kTriangle;
      if (more && !fill(*following_, map)) return Step::kError;
      for (int t = 0; t < batch.count; ++t) {
        MeshFace face;
        face.normal = batch.triangle[t].normal;
        for (int v = 0; v < 3; ++v) {
          const int same = batch.same_as[t * 3 + v];
          if (same >= 0) {
            face.index[v] = previous_index_[same];
            continue;
          }
          const std::uint64_t next = mesh_.vertices.size();
          const std::uint64_t index = map.find_or_insert(batch.key[t * 3 + v], batch.hash[t * 3 + v], next);
          if (index == next) mesh_.vertices.push_back(batch.triangle[t].vertex[v]);
          face.index[v] = index;
        }
        for (int v = 0; v < 3; ++v) previous_index_[v] = face.index[v];
        mesh_.faces.push_back(face);
      }
      if (!more) {
        done_ = true;
        return Step::kDone;
      }
      std::swap(current_, following_);
    }
  }

  TriangleSource& source_;
  VertexHasher hasher_;
  IndexedMesh mesh_;
  ReadError error_;
  Batch batches_[2];
  Batch* current_ = &batches_[0];
  Batch* following_ = &batches_[1];
  bool done_ = false;
  // The last triangle filled into a batch, and the indices of the last one merged.
  VertexKey previous_key_[3] = {};
  bool has_previous_ = false;
  std::uint64_t previous_index_[3] = {};
};

}  // namespace

namespace detail {

template <class Index>
ReadResult<IndexedMesh> build_indexed_mesh_with(TriangleSource& source) {
  return MeshBuilder(source).build<Index>();
}

template ReadResult<IndexedMesh> build_indexed_mesh_with<std::uint8_t>(TriangleSource&);

}  // namespace detail

ReadResult<IndexedMesh> build_indexed_mesh(TriangleSource& source) {
  return MeshBuilder(source).build<std::uint32_t>();
}

}  // namespace quarvex::stl
