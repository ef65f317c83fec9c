// The first line is checked as a stream (prefix and UTF-8 state carried across chunks), so
// the line itself is never held whole.
//
// Seekable sources: once the answer is known to be binary, the rewind is tried at once: if
// it succeeds, the rest of the line cannot change the answer nor where reading resumes, so
// it is not read (a binary file without 0x0A is not read twice, and an endless device such
// as /dev/zero does not hang detection).
//
// Sources that cannot rewind (pipes, FIFOs, terminals): detection also stops as soon as the
// answer is binary, and keeps a copy of the bytes it took so that they can be handed back.
// The copy never grows beyond what a binary reading can use (84 + 50 N bytes, N the count
// at bytes 80..83), so it costs no more than the binary reader would read anyway, or the
// first line itself. An ASCII answer drops it and hands back only the bytes read past the
// line end.
#include "stl/detect_format.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "stl/binary_reader.h"
#include "stl/buffered_reader.h"
#include "stl/first_line.h"

namespace quarvex::stl {
namespace {

// The first line as it streams past, one chunk of the reader at a time.
class LineScan {
 public:
  explicit LineScan(StlSource& source) : reader_(source) {}

  // Reads and scans the next chunk; false when there is none (end of file or a failed read).
  bool next() {
    const IoResult r = reader_.fill();
    if (r.os_errno != 0) read_failed_ = true;
    if (r.os_errno != 0 || r.count == 0) return false;
    chunk_ = reinterpret_cast<const unsigned char*>(reader_.data());
    chunk_size_ = r.count;
    const auto* nl = static_cast<const unsigned char*>(std::memchr(chunk_, '\n', r.count));
    line_ends_ = nl != nullptr;
    line_part_ = nl ? static_cast<std::size_t>(nl - chunk_) + 1 : r.count;
    scan_.feed(chunk_, line_part_);
    return true;
  }

  // The last chunk held the line end.
  bool line_ends() const noexcept { return line_ends_; }
  // The bytes so far still allow an ASCII answer.
  bool ascii_possible() const noexcept {
    return scan_.prefix_possible() && scan_.utf8_possible() && (!line_ends_ || scan_.has_prefix());
  }
  // The answer once the line has been read to its end (or to the end of the file).
  bool ascii() const noexcept { return !read_failed_ && scan_.has_prefix() && scan_.valid_utf8(); }

  const unsigned char* chunk() const noexcept { return chunk_; }
  std::size_t chunk_size() const noexcept { return chunk_size_; }
  // The bytes of the last chunk behind the line end.
  PodVector<std::byte> rest_of_chunk() const {
    const auto* rest = reinterpret_cast<const std::byte*>(chunk_) + line_part_;
    return PodVector<std::byte>(rest, rest + (chunk_size_ - line_part_));
  }

 private:
  BufferedReader reader_;  // its read-ahead is dropped with it
  FirstLineScan scan_;
  const unsigned char* chunk_ = nullptr;
  std::size_t chunk_size_ = 0;
  std::size_t line_part_ = 0;
  bool line_ends_ = false;
  bool read_failed_ = false;
};

StlFormat detect_seekable(StlSource& source) {
  bool ascii = false;
  {
    LineScan line(source);
    bool early_rewind_tried = false;
    while (line.next()) {
      if (!line.ascii_possible() && !early_rewind_tried) {
        if (source.rewind() == 0) return StlFormat::kBinary;
        early_rewind_tried = true;  // cannot rewind after all: consume the line as before
      }
      if (line.line_ends()) break;
    }
    ascii = line.ascii();
  }
  const bool rewound = source.rewind() == 0;
  return (ascii && rewound) ? StlFormat::kAscii : StlFormat::kBinary;
}

// The bytes taken from offset 0 that a binary reading may still need.
class KeptBytes {
 public:
  void add(const unsigned char* p, std::size_t n) {
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, needed_ - bytes_.size()));
    if (n == 0) return;
    const std::size_t old = bytes_.size();
    bytes_.append(reinterpret_cast<const std::byte*>(p), n);
    if (old < kBinaryHeadSize && bytes_.size() >= kBinaryHeadSize) {
      needed_ = binary_stl_size(bytes_.data() + kBinaryCountOffset);
      if (bytes_.size() > needed_) bytes_.resize_uninitialized(static_cast<std::size_t>(needed_));
    }
  }
  PodVector<std::byte> take() && { return std::move(bytes_); }

 private:
  PodVector<std::byte> bytes_;
  std::uint64_t needed_ = UINT64_MAX;
};

Detection detect_unseekable(StlSource& source) {
  LineScan line(source);
  KeptBytes kept;
  while (line.next()) {
    kept.add(line.chunk(), line.chunk_size());
    if (!line.ascii_possible() || line.line_ends()) break;
  }
  if (line.ascii()) {
    source.unread(line.rest_of_chunk());
    return Detection{StlFormat::kAscii, true};
  }
  source.unread(std::move(kept).take());
  return Detection{StlFormat::kBinary, false};
}

}  // namespace

Detection detect_format(StlSource& source) {
  if (source.seekable()) return Detection{detect_seekable(source), false};
  return detect_unseekable(source);
}

}  // namespace quarvex::stl
