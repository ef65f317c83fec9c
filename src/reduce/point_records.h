// From the indexed mesh to the point list: one record per distinct vertex that a face names,
// with the normalised sum of the stored normals of its faces.
#pragma once

#include "support/pod_vector.h"
#include "reduce/point_record.h"
#include "stl/indexed_mesh.h"
#include "stl/read_mesh_file.h"
#include "support/vec3.h"

namespace quarvex::reduce {

// Runs two parallel loops (the face fold and the point collect). The record order follows
// a randomly keyed hash map and differs from call to call.
PodVector<PointRecord> build_point_records(const stl::IndexedMesh& mesh);

// The records of a read file: from its summed vertices (one parallel loop that normalises
// them) when the file was read on the workers, else from its mesh as above.
PodVector<PointRecord> build_point_records(const stl::MeshFile& file);

// The unit normal of a summed normal, in the fixed single-precision order:
// L = sqrtf((sx*sx + sy*sy) + sz*sz); zero length gives (0, 0, 0).
Vec3f normalise_sum(Vec3f sum) noexcept;

}  // namespace quarvex::reduce
