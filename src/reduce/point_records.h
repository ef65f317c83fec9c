// From the indexed mesh to the point list: one record per distinct vertex that a face names,
// with the normalised sum of the stored normals of its faces.
#pragma once

#include "support/pod_vector.h"
#include "reduce/point_record.h"
#include "stl/indexed_mesh.h"
#include "ingest/read_mesh_file.h"
#include "support/vec3.h"

namespace quarvex::reduce {

// Runs two parallel loops (the face fold and the point collect). The record order is
// unspecified and no caller may rely on it: vertices inside a piece's dense index window come
// in index order, the others in the order of a randomly keyed map, so it can differ from
// call to call (and rarely does for a mesh whose faces come in strip order).
PodVector<PointRecord> build_point_records(const stl::IndexedMesh& mesh);

// The records of a read file: from its summed vertices (one parallel loop that normalises
// them) when the file was read on the workers, else from its mesh as above.
PodVector<PointRecord> build_point_records(const ingest::MeshFile& file);

// The unit normal of a summed normal, in the fixed single-precision order:
// L = sqrtf((sx*sx + sy*sy) + sz*sz); zero length gives (0, 0, 0). A finite, non-zero sum
// whose squared length is infinite or below the smallest normal float is first scaled by
// 2^-e (e the binary exponent of its largest component); every other sum, zero, NaN and
// infinite ones included, is taken as it is.
Vec3f normalise_sum(Vec3f sum) noexcept;

}  // namespace quarvex::reduce
