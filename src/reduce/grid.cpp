#include "reduce/grid.h"

#include <bit>
#include <cmath>
#include <limits>

#include "parallel/parallel_loop.h"

namespace quarvex::reduce {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// A NaN never enters a bound: the other operand is the result. The C library's fminf/fmaxf
// do that for quiet NaNs only; for a signaling NaN (any bit pattern passes through a binary
// file) glibc returns NaN, and the next call would then drop everything folded so far. So
// NaNs are skipped here, as are values strictly on the far side of the running bound, which
// leave it unchanged; only values that may move it (ties between +0 and -0 included) reach
// the library call. The running bound itself is never NaN.
template <bool kMin>
void fold_into(float& acc, float v) noexcept {
  if (!(kMin ? v <= acc : v >= acc)) return;
  acc = kMin ? std::fmin(acc, v) : std::fmax(acc, v);
}

}  // namespace

BoundingBox compute_bounds(const PodVector<PointRecord>& records) {
  // All six bounds in one pass over the records: the list is read once.
  const BoundingBox empty{kInf, -kInf, kInf, -kInf, kInf, -kInf};
  return parallel::parallel_fold<BoundingBox>(
      records.size(),
      [&](std::size_t begin, std::size_t end) {
        BoundingBox box = empty;
        for (std::size_t i = begin; i < end; ++i) {
          const PointRecord& r = records[i];
          fold_into<true>(box.min_x, r.x);
          fold_into<false>(box.max_x, r.x);
          fold_into<true>(box.min_y, r.y);
          fold_into<false>(box.max_y, r.y);
          fold_into<true>(box.min_z, r.z);
          fold_into<false>(box.max_z, r.z);
        }
        return box;
      },
      [](BoundingBox a, BoundingBox b) {
        return BoundingBox{std::fmin(a.min_x, b.min_x), std::fmax(a.max_x, b.max_x),
                           std::fmin(a.min_y, b.min_y), std::fmax(a.max_y, b.max_y),
                           std::fmin(a.min_z, b.min_z), std::fmax(a.max_z, b.max_z)};
      });
}

std::uint64_t cells_per_axis(std::uint64_t clusters) noexcept {
  constexpr float kThird = std::bit_cast<float>(0x3EAAAAABu);  // f32 nearest 1/3, slightly above
  const float c = static_cast<float>(clusters);                // round to nearest
  const float r = std::pow(c, kThird);                         // powf
  return saturating_u64(std::ceil(r));
}

}  // namespace quarvex::reduce
