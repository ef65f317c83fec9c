// Telling ASCII from binary STL by the file's first line.
#pragma once

#include "stl/stl_source.h"

namespace quarvex::stl {

enum class StlFormat { kAscii, kBinary };

// ASCII iff the bytes up to and including the first 0x0A (or the whole file without one)
// are read without error, are valid UTF-8 and begin with "solid ", and the source could be
// rewound afterwards. Never fails; leaves the source at offset 0 whenever the rewind
// succeeded.
StlFormat detect_format(StlSource& source);

}  // namespace quarvex::stl
