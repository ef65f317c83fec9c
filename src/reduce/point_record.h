// One point of the reduction: a merged mesh vertex and its unit normal. A plain value,
// copied freely between the record list, the cells, the representatives and the output.
#pragma once

#include <type_traits>

namespace quarvex::reduce {

struct PointRecord {
  float x;
  float y;
  float z;
  float nx;
  float ny;
  float nz;
};
static_assert(sizeof(PointRecord) == 24, "six packed floats, nothing between or after");
static_assert(std::is_trivially_copyable_v<PointRecord>);

}  // namespace quarvex::reduce
