// Triangles of an ASCII STL file.
//
// Lines are read one at a time through the reader's own buffer: a line that lies wholly in
// the buffer is examined in place; only a line that crosses a refill is copied into
// `long_line_`. Every line must be valid UTF-8. Lines without words are skipped. Each
// facet is, line by line: facet normal x y z / outer loop / three times vertex x y z /
// endloop / endfacet; a line starting with the word endsolid ends the triangles, and
// nothing after it is read.
//
// Memory: a line is split only as far as the grammar looks (kMaxWords words, and whether
// there are more), so a line of any length costs itself plus a few views; a message that
// lists the line's words renders them from the line into one exactly sized string.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "support/pod_vector.h"

#include "stl/buffered_reader.h"
#include "stl/triangle_source.h"

namespace quarvex::stl {

class AsciiFacetReader final : public TriangleSource {
 public:
  // Reads the first line from the start of `source`; it must begin with "solid ". When
  // `first_line_taken`, detection has read and checked it already and the source stands
  // right behind it.
  static ReadResult<AsciiFacetReader> create(StlSource& source, bool first_line_taken = false);

  NextTriangle next_triangle(RawTriangle& out, ReadError& error) override;

 private:
  enum class LineStatus { kLine, kEnd, kError };

  explicit AsciiFacetReader(BufferedReader reader) : reader_(std::move(reader)) {}

  // Streams over the first line without holding it: it is neither split nor skipped.
  ReadError* read_first_line(ReadError& error);
  // The next line without its line end, valid until the next call.
  LineStatus next_line(std::string_view& line, ReadError& error);
  // The next line that has words: line_, and its first words in words_.
  LineStatus next_word_line(ReadError& error);
  bool expect_words(std::span<const std::string_view> expected, ReadError& error);
  bool parse_coordinates(std::size_t first_word, Vec3f& out, ReadError& error);
  // `before` followed by the list of all words of the current line.
  ReadError words_error(std::string_view before) const;

  // The most words a grammar line has (facet normal x y z).
  static constexpr std::size_t kMaxWords = 5;

  BufferedReader reader_;
  PodVector<char> long_line_;
  std::string_view line_;
  // The first words of line_; word_count_ is at most kMaxWords + 1 (more than any line may
  // have).
  std::array<std::string_view, kMaxWords + 1> words_;
  std::size_t word_count_ = 0;
};

}  // namespace quarvex::stl
