// Telling ASCII from binary STL by the file's first line.
#pragma once

#include "stl/stl_source.h"

namespace quarvex::stl {

enum class StlFormat { kAscii, kBinary };

struct Detection {
  StlFormat format;
  // ASCII only: the first line has been read and checked already, and the source stands
  // right behind it (a source that cannot rewind).
  bool first_line_taken = false;
};

// ASCII iff the bytes up to and including the first 0x0A (or the whole file without one)
// are read without error, are valid UTF-8 and begin with "solid ". Never fails.
//
// A seekable source is rewound to offset 0 (if the rewind fails the answer is binary and
// reading goes on from wherever the descriptor stands). A source that cannot rewind gets
// back what the chosen reader needs of the bytes detection took: for binary, the bytes
// from offset 0 (at most the 84 + 50 N that a binary reading of them can use); for ASCII,
// the bytes behind the first line, which the ASCII reader then does not read again.
Detection detect_format(StlSource& source);

}  // namespace quarvex::stl
