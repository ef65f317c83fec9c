#include "stl/buffered_reader.h"

#include <algorithm>
#include <cstring>

namespace quarvex::stl {

bool BufferedReader::read_exact(std::byte* out, std::size_t size, ReadError& error) {
  while (size > 0) {
    if (available() == 0) {
      // What fills a whole buffer or more goes straight to `out`, not through the buffer.
      const bool direct = size >= capacity_;
      const IoResult r = direct ? source_->read(out, size) : fill();
      if (r.os_errno != 0) {
        error = os_read_error(r.os_errno);
        return false;
      }
      if (r.count == 0) {
        error = unexpected_eof_error("failed to fill whole buffer");
        return false;
      }
      if (direct) {
        out += r.count;
        size -= r.count;
        continue;
      }
    }
    const std::size_t n = std::min(size, available());
    std::memcpy(out, data(), n);
    consume(n);
    out += n;
    size -= n;
  }
  return true;
}

}  // namespace quarvex::stl
