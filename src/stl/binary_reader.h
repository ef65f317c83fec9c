// Triangles of a binary STL file: an 80-byte header, a little-endian u32 count N, then N
// records of 50 bytes (twelve little-endian f32 and a 2-byte attribute word).
//
// Invariants: N is trusted but never used to size anything; exactly N records are
// read (index_ counts them); every f32 bit pattern is passed on unchanged; bytes after
// record N-1 are never looked at.
#pragma once

#include <cstdint>

#include "stl/binary_record.h"
#include "stl/buffered_reader.h"
#include "stl/triangle_source.h"

namespace quarvex::stl {

// The size of a binary STL file, 84 + 50 N, for the 4 count bytes at `count`.
std::uint64_t binary_stl_size(const std::byte* count) noexcept;

class BinaryFacetReader final : public TriangleSource {
 public:
  // Reads the header and the count from the start of `source`.
  static ReadResult<BinaryFacetReader> create(StlSource& source);

  NextTriangle next_triangle(RawTriangle& out, ReadError& error) override;
  // Decodes straight from the buffer while whole records are in it.
  int next_triangles(RawTriangle* out, int max, NextTriangle& last, ReadError& error) override;
  std::uint64_t declared_count() const noexcept override { return count_; }

  // Up to `max` whole records, as the file holds them, into out[0, 50 * count), returning
  // count; `last` as for next_triangles. On a failed read nothing of this call's records is
  // delivered (the reading ends there anyway).
  std::size_t next_records(std::byte* out, std::size_t max, NextTriangle& last, ReadError& error);

 private:
  BinaryFacetReader(BufferedReader reader, std::uint64_t count)
      : reader_(std::move(reader)), count_(count) {}

  BufferedReader reader_;
  std::uint64_t count_;
  std::uint64_t index_ = 0;
};

}  // namespace quarvex::stl
