// Triangles of an ASCII STL file.
//
// Lines are read one at a time through the reader's own buffer: a line that lies wholly in
// the buffer is examined in place; only a line that crosses a refill is copied into
// `long_line_`. Every line must be valid UTF-8. Lines without words are skipped. Each
// facet is, line by line: facet normal x y z / outer loop / three times vertex x y z /
// endloop / endfacet; a line starting with the word endsolid ends the triangles, and
// nothing after it is read.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stl/buffered_reader.h"
#include "stl/triangle_source.h"

namespace quarvex::stl {

class AsciiFacetReader final : public TriangleSource {
 public:
  // Reads the first line from the start of `source`; it must begin with "solid ".
  static ReadResult<AsciiFacetReader> create(StlSource& source);

  NextTriangle next_triangle(RawTriangle& out, ReadError& error) override;

 private:
  enum class LineStatus { kLine, kEnd, kError };

  explicit AsciiFacetReader(BufferedReader reader) : reader_(std::move(reader)) {}

  // Streams over the first line without holding it: it is neither split nor skipped.
  ReadError* read_first_line(ReadError& error);
  // The next line without its line end, valid until the next call.
  LineStatus next_line(std::string_view& line, ReadError& error);
  // The next line that has words, split into words_.
  LineStatus next_word_line(ReadError& error);
  bool expect_words(std::span<const std::string_view> expected, ReadError& error);
  bool parse_coordinates(std::size_t first_word, Vec3f& out, ReadError& error);

  BufferedReader reader_;
  std::string long_line_;
  std::vector<std::string_view> words_;
};

}  // namespace quarvex::stl
