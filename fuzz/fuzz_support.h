// Shared pieces of the fuzzing harnesses: the input as a real file, independent oracles for
// what the readers must produce, and a check that aborts (so libFuzzer keeps the input).
//
// The oracles are written from the file formats, not from the readers, so that a harness
// catches a reader that disagrees with the format and not merely one that crashes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stl/triangle_source.h"
#include "stl/read_error.h"

namespace quarvex::fuzz {

// Three floats by their bit patterns: the identity of a vertex (and of a normal) in the
// oracles, with a hash for the standard containers.
struct Bits3 {
  std::uint32_t x, y, z;
  bool operator==(const Bits3&) const = default;
};
struct Bits3Hash {
  std::size_t operator()(const Bits3& b) const {
    return (std::size_t{b.x} * 0x9E3779B97F4A7C15ull) ^ (std::size_t{b.y} << 21) ^ b.z;
  }
};
inline Bits3 bits(float x, float y, float z) {
  return Bits3{std::bit_cast<std::uint32_t>(x), std::bit_cast<std::uint32_t>(y),
               std::bit_cast<std::uint32_t>(z)};
}

// Aborts with `what` on standard error when `ok` is false.
void check(bool ok, const char* what);

// One in-memory file (memfd) reused for every input of the process: its contents are
// replaced by each call of `write`. `path()` names it through /proc/self/fd, so opening the
// path gives a fresh descriptor at offset 0, as a regular file would.
class InputFile {
 public:
  InputFile();
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  void write(const std::uint8_t* data, std::size_t size);
  void write(std::string_view a, const std::uint8_t* data, std::size_t size);
  const std::string& path() const { return path_; }
  // A new descriptor on the file, at offset 0 (the caller owns it).
  int open_fresh() const;

 private:
  int fd_;
  std::string path_;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view bytes);

// ASCII iff the bytes up to and including the first 0x0A (all bytes without one) are valid
// UTF-8 and begin with "solid ".
bool is_ascii_stl(std::string_view file);

// The readings into the merge of the file at `path` (a regular file): the sequential route,
// and the parallel readers with their default sizes and with windows and pieces small enough
// to cut it anywhere, against the triangles `sequential` that the sequential reader gives
// for the same bytes: where that failed, the sequential route fails too and every parallel
// reading declines; where it succeeded, every result holds the same vertices with the same
// normal sums, bit for bit, as the sums computed straight from the triangles. Without
// `small_cuts`, only the default sizes (for a file too large to cut everywhere quickly).
void check_parallel_agrees(const std::string& path, const stl::ReadResult<std::vector<stl::RawTriangle>>& sequential,
                           bool small_cuts = true);

// The error text is one the readers are documented to produce, and valid UTF-8 (it becomes
// a Python str).
void check_read_error_text(const std::string& text);

using Triangles = stl::ReadResult<std::vector<stl::RawTriangle>>;

// The same triangles bit for bit, or the same error text.
bool same_outcome(const Triangles& a, const Triangles& b);

// An ASCII reading: a success holds only finite numbers, a failure a documented text.
void check_ascii_outcome(const Triangles& read);

// What the sequential reader gives for `bytes` through a pipe, which cannot rewind; nothing
// when they do not fit the pipe's buffer (they are written up front).
std::optional<Triangles> read_through_pipe(std::string_view bytes);

}  // namespace quarvex::fuzz
