// The mesh as read: distinct vertices (by all 96 bits, in order of first appearance) and
// faces in file order, each naming its three vertices by index.
#pragma once

#include <cstdint>
#include <vector>

#include "support/pod_vector.h"
#include "stl/read_error.h"
#include "support/vec3.h"

namespace quarvex::stl {

struct MeshFace {
  Vec3f normal;            // as the file gave it: not recomputed, not normalised
  std::uint64_t index[3];  // into IndexedMesh::vertices, in the file's vertex order
};

// Growth and the final shrink go through realloc (PodVector), so a large mesh is never
// copied, nor briefly held twice, on its way to its exact size.
struct IndexedMesh {
  PodVector<Vec3f> vertices;
  PodVector<MeshFace> faces;
};

class TriangleSource;

// Drains `source` into a mesh, or returns its first error (nothing of the mesh is kept).
// Nothing is reserved in advance; both lists hold no spare capacity on return.
ReadResult<IndexedMesh> build_indexed_mesh(TriangleSource& source);

namespace detail {
// The same merge, starting with a map whose indices are of type Index and moving to 64-bit
// indices when a mesh has more vertices than Index can number. build_indexed_mesh starts
// with 32 bits; tests start with 8 to reach the move with a small mesh.
template <class Index>
ReadResult<IndexedMesh> build_indexed_mesh_with(TriangleSource& source);
}  // namespace detail

}  // namespace quarvex::stl
