#include "reduce/output_split.h"

#include "parallel/parallel_loop.h"

namespace quarvex::reduce {

SplitOutput split_output(std::vector<PointRecord>&& adjusted) {
  std::vector<PointRecord> list = std::move(adjusted);
  SplitOutput out;
  parallel::collect_unzip_into(out.positions, out.normals, list.size(), [&](std::size_t i) {
    const PointRecord& r = list[i];
    return std::pair<Vec3f, Vec3f>{Vec3f{r.x, r.y, r.z}, Vec3f{r.nx, r.ny, r.nz}};
  });
  return out;
}

}  // namespace quarvex::reduce
