// A source of triangles as the file gives them, one per call, until the end or the first
// error. After it has reported the end or an error it is not asked again.
#pragma once

#include "stl/read_error.h"
#include "vec3.h"

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
};

}  // namespace quarvex::stl
