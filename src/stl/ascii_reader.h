// Triangles of an ASCII STL file.
//
// Lines are read one at a time through the reader's own buffer: a line that lies wholly in
// the buffer is examined in place; only a line that crosses a refill is copied into
// `long_line_`. Every line must be valid UTF-8. Lines without words are skipped; every other
// line goes to the facet grammar (facet_grammar.h), and this reader words what the grammar
// rejects: its messages are the reference for every reader of ASCII STL. A line whose first
// word is endsolid ends the triangles where a facet may begin (before the first facet or
// after an endfacet line), and nothing after it is read; inside a facet it is a wrong line.
//
// Memory: a line is split only as far as the grammar looks (LineWords::kKept words), so a
// line of any length costs itself plus a few views; a message that lists the line's words
// renders them from the line into one exactly sized string.
#pragma once

#include <string_view>

#include "support/pod_vector.h"

#include "stl/buffered_reader.h"
#include "stl/facet_grammar.h"
#include "stl/triangle_source.h"

namespace quarvex::stl {

class AsciiFacetReader final : public TriangleSource {
 public:
  // Reads the first line from the start of `source`; it must begin with "solid ". When
  // `first_line_taken`, detection has read and checked it already and the source stands
  // right behind it.
  static ReadResult<AsciiFacetReader> create(StlSource& source, bool first_line_taken = false);

  NextTriangle next_triangle(RawTriangle& out, ReadError& error) override;

  // For a caller that parses whole facets itself, before the first next_triangle: the source
  // the text comes from, and the text this reader holds past the first line, which it hands
  // over (appended to `out`). Text the caller gives back to the source (StlSource::put_back)
  // is then read by next_triangle first, as from the start of a line between two facets.
  StlSource& source() const noexcept { return reader_.source(); }
  void take_buffered(PodVector<char>& out);

 private:
  enum class LineStatus { kLine, kEnd, kError };

  explicit AsciiFacetReader(BufferedReader reader) : reader_(std::move(reader)) {}

  // Streams over the first line without holding it: it is neither split nor skipped.
  ReadError* read_first_line(ReadError& error);
  // The next line without its line end, valid until the next call.
  LineStatus next_line(std::string_view& line, ReadError& error);
  // The next line that has words: line_, and its first words in words_.
  LineStatus next_word_line(ReadError& error);
  // The failure at the end of the file, where grammar_ expects its next line.
  ReadError end_of_file_error() const;
  // The failure of a line with the wrong words: the expected line, then all words of line_.
  ReadError wrong_words_error() const;

  BufferedReader reader_;
  PodVector<char> long_line_;
  std::string_view line_;
  LineWords words_;
  FacetGrammar grammar_;
};

}  // namespace quarvex::stl
