// Cells of the grid: every record sorted into its cell's list in the sharded concurrent map,
// then one uniformly random record per occupied cell as the cell's representative.
#pragma once

#include <cstdint>
#include <vector>

#include "support/pod_vector.h"
#include "parallel/sharded_map.h"
#include "reduce/grid.h"
#include "reduce/point_record.h"

namespace quarvex::reduce {

// The records that fell into one cell, in the order the workers reached the cell's shard.
// Starts without storage; the first append makes room for 4, then capacity doubles.
class CellPoints {
 public:
  void push(const PointRecord& record) {
    if (points_.capacity() == 0) points_.reserve(4);
    points_.push_back(record);  // doubles when full
  }
  std::size_t size() const noexcept { return points_.size(); }
  const PointRecord* data() const noexcept { return points_.data(); }
  const PointRecord& operator[](std::size_t i) const noexcept { return points_[i]; }

 private:
  std::vector<PointRecord> points_;
};

using CellMap = parallel::ShardedMap<CellPoints>;

// One parallel loop: every record is appended to the list of its cell_key under the write
// lock of that key's shard. `records` stays intact.
void accumulate_cells(const PodVector<PointRecord>& records, const BoundingBox& box,
                      std::uint64_t n, CellMap& map);

// One draw per occupied cell from the calling thread's generator, in map order.
std::vector<PointRecord> pick_representatives(CellMap& map);

}  // namespace quarvex::reduce
