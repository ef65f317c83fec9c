// Three single-precision floats, packed: a position, a normal or a vector of the output.
#pragma once

namespace quarvex {

struct Vec3f {
  float x;
  float y;
  float z;
};
static_assert(sizeof(Vec3f) == 12, "Vec3f is three packed floats");

}  // namespace quarvex
