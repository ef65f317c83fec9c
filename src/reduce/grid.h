// The grid over the points: bounding box, cells per axis, and the cell number of a point.
// All single precision; the order of operations in cell_key and cells_per_axis decides
// which cell a point on or near a boundary falls into, so it is part of the result.
#pragma once

#include <cstdint>

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

// One parallel pass of min/max folds (fminf/fmaxf: a NaN loses to a number). An empty list gives
// +inf minima and -inf maxima.
BoundingBox compute_bounds(const PodVector<PointRecord>& records);

// n = ceilf(powf(clusters as f32, f32 nearest 1/3)), saturated to u64.
std::uint64_t cells_per_axis(std::uint64_t clusters) noexcept;

// (iz * n + iy) * n + ix modulo 2^64.
std::uint64_t cell_key(const PointRecord& record, const BoundingBox& box, std::uint64_t n) noexcept;

// f32 -> u64: NaN or negative gives 0, 2^64 or more gives 2^64 - 1, else the exact value.
std::uint64_t saturating_u64(float value) noexcept;

}  // namespace quarvex::reduce
