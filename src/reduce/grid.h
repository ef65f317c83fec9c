// The grid over the points: bounding box, cells per axis, and the cell number of a point.
// All single precision; the order of operations in cell_key and cells_per_axis decides
// which cell a point on or near a boundary falls into, so it is part of the result.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "support/pod_vector.h"
#include "reduce/point_record.h"

namespace quarvex::reduce {

struct BoundingBox {
  float min_x;
  float max_x;
  float min_y;
  float max_y;
  float min_z;
  float max_z;
};

// The bounds of no point: +inf minima, -inf maxima.
inline constexpr BoundingBox kNoBounds{std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};

namespace detail {

// A NaN never enters a bound: the other operand is the result. The C library's fminf/fmaxf
// do that for quiet NaNs only; for a signaling NaN (any bit pattern passes through a binary
// file) glibc returns NaN, and the next call would then drop everything folded so far. So
// NaNs are skipped here, as are values strictly on the far side of the running bound, which
// leave it unchanged; only values that may move it (ties between +0 and -0 included) reach
// the library call. The running bound itself is never NaN.
template <bool kMin>
inline void fold_into(float& acc, float v) noexcept {
  if (!(kMin ? v <= acc : v >= acc)) return;
  acc = kMin ? std::fmin(acc, v) : std::fmax(acc, v);
}

}  // namespace detail

// min/max folds of one more point (fminf/fmaxf: a NaN loses to a number), and of two boxes.
// Which of +0 and -0 a tie keeps depends on the order of the folds, and nothing depends on
// it: cell_key gives a point the same cell against either.
inline void fold_bounds(BoundingBox& box, const PointRecord& r) noexcept {
  detail::fold_into<true>(box.min_x, r.x);
  detail::fold_into<false>(box.max_x, r.x);
  detail::fold_into<true>(box.min_y, r.y);
  detail::fold_into<false>(box.max_y, r.y);
  detail::fold_into<true>(box.min_z, r.z);
  detail::fold_into<false>(box.max_z, r.z);
}
inline BoundingBox merged_bounds(const BoundingBox& a, const BoundingBox& b) noexcept {
  return BoundingBox{std::fmin(a.min_x, b.min_x), std::fmax(a.max_x, b.max_x),
                     std::fmin(a.min_y, b.min_y), std::fmax(a.max_y, b.max_y),
                     std::fmin(a.min_z, b.min_z), std::fmax(a.max_z, b.max_z)};
}

// The bounds of a list in one parallel pass. build_point_records folds the bounds of the
// records it makes as it makes them; this is the same fold over a list made otherwise (the
// tests' and fuzzers' reference).
BoundingBox compute_bounds(const PodVector<PointRecord>& records);

// n = ceilf(powf(clusters as f32, f32 nearest 1/3)), saturated to u64.
std::uint64_t cells_per_axis(std::uint64_t clusters) noexcept;

// f32 -> u64: NaN or negative gives 0, 2^64 or more gives 2^64 - 1, else the exact value.
inline std::uint64_t saturating_u64(float value) noexcept {
  if (!(value > 0.0f)) return 0;  // NaN, zero and negatives
  if (value >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

namespace detail {

// The cell index along one axis.
inline std::uint64_t axis_index(float p, float m, float big_m, float n_f, std::uint64_t n) noexcept {
  constexpr float kEpsilon = std::bit_cast<float>(0x34000000u);  // 2^-23
  const float d = p - m;
  const float extent = big_m - m;
  const float e = extent + kEpsilon;
  const float q = d / e;
  const float t = q * n_f;
  // saturating_u64(floorf(t)) without the floor: the conversion truncates, which is the floor
  // for every t above 0, and gives 0 for every t below 1 either way.
  const std::uint64_t i = saturating_u64(t);
  const std::uint64_t last = n - 1;  // wraps for n = 0: nothing is clamped then
  return i < last ? i : last;
}

}  // namespace detail

// (iz * n + iy) * n + ix modulo 2^64. Inline: it runs once per record, in the workers' loop.
inline std::uint64_t cell_key(const PointRecord& record, const BoundingBox& box,
                              std::uint64_t n) noexcept {
  const float n_f = static_cast<float>(n);
  const std::uint64_t ix = detail::axis_index(record.x, box.min_x, box.max_x, n_f, n);
  const std::uint64_t iy = detail::axis_index(record.y, box.min_y, box.max_y, n_f, n);
  const std::uint64_t iz = detail::axis_index(record.z, box.min_z, box.max_z, n_f, n);
  return (iz * n + iy) * n + ix;
}

}  // namespace quarvex::reduce
