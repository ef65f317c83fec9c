// Reading an STL file (ASCII or binary) into its merged vertices, by whichever route fits the
// input: the parallel readers for a regular file, the sequential reader for anything else and
// for every file the parallel readers decline. Both routes feed the one vertex merge in file
// order, so the same bytes give the same sums, bit for bit, by every route and worker count.
#pragma once

#include <string_view>

#include "ingest/vertex_merge.h"
#include "stl/ascii_reader.h"
#include "stl/binary_reader.h"
#include "stl/detect_format.h"
#include "stl/read_error.h"
#include "stl/stl_source.h"
#include "support/interrupt.h"

namespace quarvex::ingest {

// Whether `source` is a regular file of exactly 84 + 50 N bytes, N the count at bytes
// 80..83: the size of a binary STL file with that header.
bool has_binary_size(const stl::StlSource& source);

template <class R, class Drain>
stl::ReadResult<R> read_binary(stl::StlSource& source, Drain& drain) {
  stl::ReadResult<stl::BinaryFacetReader> reader = stl::BinaryFacetReader::create(source);
  if (!reader) return std::move(reader).error();
  return drain(reader.value());
}

template <class R, class Drain>
stl::ReadResult<R> read_ascii(stl::StlSource& source, bool first_line_taken, Drain& drain) {
  stl::ReadResult<stl::AsciiFacetReader> reader = stl::AsciiFacetReader::create(source, first_line_taken);
  if (!reader) return std::move(reader).error();
  return drain(reader.value());
}

// `path` holds the operating system's bytes of the file name. The file is closed before
// the call returns. On failure everything built so far is released before the error is
// returned. The open and every read poll `interrupt` (stl_source.h); when it fires the error
// is kInterrupted.
stl::ReadResult<SummedMesh> read_mesh_file(std::string_view path, Interrupt& interrupt = no_interrupt());

// Detects the format of an already opened source and reads it with the sequential reader,
// whose triangles `drain(TriangleSource&)` consumes (read_mesh merges them; tests collect
// them), returning stl::ReadResult<R>.
//
// One fallback: a binary file whose 80-byte header happens to make a valid ASCII first line
// (text beginning "solid ", and the line ending inside the count or the records) fails as
// ASCII. When the ASCII reading of a regular file fails and the file's size is exactly
// 84 + 50 N (N the little-endian count at bytes 80..83), it is read as binary instead.
// A source that cannot rewind keeps the ASCII failure: its size is unknown.
template <class R, class Drain>
stl::ReadResult<R> read_sequentially(stl::StlSource& source, Drain&& drain) {
  const stl::Detection detected = stl::detect_format(source);
  if (detected.format == stl::StlFormat::kBinary) return read_binary<R>(source, drain);
  stl::ReadResult<R> ascii = read_ascii<R>(source, detected.first_line_taken, drain);
  if (ascii || ascii.error().kind == stl::ReadErrorKind::kInterrupted) return ascii;
  if (detected.first_line_taken || !has_binary_size(source) || source.rewind() != 0) return ascii;
  return read_binary<R>(source, drain);
}

// The sequential route into the merge: the calling thread reads a window of triangles, then
// the workers merge it, a share of it each.
stl::ReadResult<SummedMesh> read_mesh(stl::StlSource& source);

}  // namespace quarvex::ingest
