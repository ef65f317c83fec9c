// The first line is checked as a stream (prefix and UTF-8 state carried across chunks), so
// memory stays bounded even for a binary file without a single 0x0A byte.
//
// Once the answer is known to be binary, the rewind is tried at once: if it succeeds, the
// rest of the line cannot change the answer nor where reading resumes, so it is not read
// (a binary file without 0x0A is not read twice, and an endless device such as /dev/zero
// does not hang detection). A source that cannot be rewound is consumed to the end of the
// line exactly as before, since what detection takes from it is lost to the reader.
#include "stl/detect_format.h"

#include <cstring>

#include "stl/buffered_reader.h"
#include "stl/first_line.h"

namespace quarvex::stl {

StlFormat detect_format(StlSource& source) {
  bool maybe_ascii = true;
  bool read_failed = false;
  bool early_rewind_tried = false;
  {
    BufferedReader line(source);  // read-ahead of this reader is dropped with it
    FirstLineScan scan;
    for (;;) {
      const IoResult r = line.fill();
      if (r.os_errno != 0) {
        read_failed = true;
        break;
      }
      if (r.count == 0) break;
      const auto* p = reinterpret_cast<const unsigned char*>(line.data());
      const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', r.count));
      scan.feed(p, nl ? static_cast<std::size_t>(nl - p) + 1 : r.count);
      maybe_ascii = scan.prefix_possible() && scan.utf8_possible() && (!nl || scan.has_prefix());
      if (!maybe_ascii && !early_rewind_tried) {
        if (source.rewind() == 0) return StlFormat::kBinary;
        early_rewind_tried = true;  // not rewindable: consume the line, the answer is fixed
      }
      if (nl) break;
    }
    maybe_ascii = maybe_ascii && scan.has_prefix() && scan.valid_utf8();
  }
  const bool rewound = source.rewind() == 0;
  return (maybe_ascii && !read_failed && rewound) ? StlFormat::kAscii : StlFormat::kBinary;
}

}  // namespace quarvex::stl
