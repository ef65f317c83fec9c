// The adjusted representatives split into a position array and a normal array, index for
// index, in one parallel loop.
#pragma once

#include <utility>
#include <vector>

#include "support/pod_vector.h"
#include "reduce/point_record.h"
#include "support/vec3.h"

namespace quarvex::reduce {

struct SplitOutput {
  PodVector<Vec3f> positions;
  PodVector<Vec3f> normals;
};

// Consumes the list (released before returning).
SplitOutput split_output(std::vector<PointRecord>&& adjusted);

}  // namespace quarvex::reduce
