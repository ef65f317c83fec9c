// Brings the representatives to exactly `clusters` records: a full shuffle and truncation
// when there are more, independent draws from the whole point list when there are fewer.
#pragma once

#include <cstdint>
#include <vector>

#include "support/pod_vector.h"
#include "reduce/point_record.h"

namespace quarvex::reduce {

// With an empty point list there is nothing to draw from and the list stays as it is (empty).
void adjust_count(std::vector<PointRecord>& representatives, const PodVector<PointRecord>& points,
                  std::uint64_t clusters);

}  // namespace quarvex::reduce
