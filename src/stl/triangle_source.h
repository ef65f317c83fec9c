// A source of triangles as the file gives them, one per call, until the end or the first
// error. After it has reported the end or an error it is not asked again.
#pragma once

#include <cstdint>

#include "stl/read_error.h"
#include "support/vec3.h"

namespace quarvex::stl {

struct RawTriangle {
  Vec3f normal;     // whatever the file holds: not checked, not normalised
  Vec3f vertex[3];  // in file order
};
static_assert(sizeof(RawTriangle) == 48);

enum class NextTriangle { kTriangle, kEnd, kError };

class TriangleSource {
 public:
  virtual ~TriangleSource() = default;
  // kTriangle fills `out`; kError fills `error`.
  virtual NextTriangle next_triangle(RawTriangle& out, ReadError& error) = 0;

  // The triangle count the input declares (a binary header's), 0 when it declares none.
  // Untrusted: a reader of it may only size work ahead as far as triangles really arrive.
  virtual std::uint64_t declared_count() const noexcept { return 0; }

  // Up to `max` triangles into out[0, count), returning count; `last` tells how the run
  // ended: kTriangle (max reached), kEnd, or kError (`error` filled; the triangles before it
  // were delivered). The same triangles, in the same order, as next_triangle would give.
  virtual int next_triangles(RawTriangle* out, int max, NextTriangle& last, ReadError& error) {
    for (int count = 0; count < max; ++count) {
      last = next_triangle(out[count], error);
      if (last != NextTriangle::kTriangle) return count;
    }
    last = NextTriangle::kTriangle;
    return max;
  }
};

}  // namespace quarvex::stl
