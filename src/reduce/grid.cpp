#include "reduce/grid.h"

#include <bit>
#include <cmath>
#include <limits>

#include "parallel/parallel_loop.h"

namespace quarvex::reduce {

BoundingBox compute_bounds(const PodVector<PointRecord>& records) {
  // All six bounds in one pass over the records: the list is read once.
  return parallel::parallel_fold<BoundingBox>(
      records.size(),
      [&](std::size_t begin, std::size_t end) {
        BoundingBox box = kNoBounds;
        for (std::size_t i = begin; i < end; ++i) fold_bounds(box, records[i]);
        return box;
      },
      [](const BoundingBox& a, const BoundingBox& b) { return merged_bounds(a, b); });
}

std::uint64_t cells_per_axis(std::uint64_t clusters) noexcept {
  constexpr float kThird = std::bit_cast<float>(0x3EAAAAABu);  // f32 nearest 1/3, slightly above
  const float c = static_cast<float>(clusters);                // round to nearest
  const float r = std::pow(c, kThird);                         // powf
  return saturating_u64(std::ceil(r));
}

}  // namespace quarvex::reduce
