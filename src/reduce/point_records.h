// From the merged vertices to the point list: one record per distinct vertex that a face
// names, with the normalised sum of the stored normals of its faces.
#pragma once

#include "support/pod_vector.h"
#include "reduce/grid.h"
#include "reduce/point_record.h"
#include "ingest/vertex_merge.h"
#include "support/vec3.h"

namespace quarvex::reduce {

// The records and their bounds (compute_bounds of the records, folded as they are made).
struct PointList {
  PodVector<PointRecord> records;
  BoundingBox box;
};

// One record per merged vertex, its normal the normalised sum (one parallel loop, a hash
// group a piece). The record order is unspecified and no caller may rely on it: it follows
// the merge tables' slots, whose hash keys are drawn afresh for every call. The tables are
// consumed, so the two never add up: the records are made in the tables' own memory when
// group 0's table has room for all of them, else the tables' memory goes back as the
// records are made.
PointList build_point_records(ingest::SummedMesh&& mesh);

// The unit normal of a summed normal, in the fixed single-precision order:
// L = sqrtf((sx*sx + sy*sy) + sz*sz); zero length gives (0, 0, 0). A finite, non-zero sum
// whose squared length is infinite or below the smallest normal float is first scaled by
// 2^-e (e the binary exponent of its largest component); every other sum, zero, NaN and
// infinite ones included, is taken as it is. Used by the tests only: the record loop has
// its own inlined copy of the same function.
Vec3f normalise_sum(Vec3f sum) noexcept;

}  // namespace quarvex::reduce
