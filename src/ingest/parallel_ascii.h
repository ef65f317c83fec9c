// ASCII STL from a regular file or through a stream, parsed and merged on the workers.
//
// A file's text is read by offset in windows, a stream's by the calling thread. A window is
// cut at lines that begin a facet into pieces that the workers parse at once (ascii_chunk.h);
// the pieces' outcomes are then taken in file order: a piece that ends at "endsolid" ends the
// read, a rejected piece hands the whole file to the sequential reader (a stream, which
// cannot be read again, hands it the text from that piece on). The triangles go into the
// parallel vertex merge in file order. The incomplete facet at a window's end moves to the
// front of the next window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ingest/vertex_merge.h"
#include "stl/stl_source.h"
#include "support/pod_vector.h"
#include "support/interrupt.h"

namespace quarvex::ingest {

// A window small enough that its text is still in the cache when the pieces parse it, and
// that few pages are faulted in per call, yet large enough that the loops per window cost
// little (8 MiB measured faster than 4 or 16 on a 32 MiB last-level cache); pieces small
// enough that two workers end a window close together.
struct AsciiCuts {
  std::size_t window_bytes = std::size_t{8} << 20;
  std::size_t piece_bytes = std::size_t{256} << 10;
};

// The distinct vertices with their normal sums, or nothing when the text is not a complete,
// well-formed solid (or a facet is longer than a window, or a read fails): the sequential
// reader then gives the exact error, or the mesh. Nothing either once `interrupt`, polled on
// the calling thread between windows, fires. The sizes are injectable so that tests can cut
// small files at every line.
std::optional<SummedMesh> read_ascii_parallel(int fd, std::uint64_t file_size,
                                              Interrupt& interrupt = no_interrupt(), AsciiCuts cuts = {});

// What the workers made of ASCII STL through a stream (a pipe, a FIFO, a device), which
// cannot be read again: every facet in `merge` once "endsolid" was reached (`finished`);
// else the facets before the point where the sequential reader has to take over (a rejected
// piece, a window without a line that begins a facet, text that ends without "endsolid", a
// failed read), and in `rest` the text after that point that was read already. A read
// interrupted by a signal (`interrupted`) ends it once the window in hand is merged.
struct AsciiStreamParse {
  VertexMerge merge;
  bool finished;
  bool interrupted;
  PodVector<std::byte> rest;
};

// The stream's text in windows, cut and parsed as a file's, the next window read by the
// calling thread (from `source`, polling its Interrupt) while the workers parse and merge
// the last. `head` is the text already read past the first line.
AsciiStreamParse parse_ascii_stream(stl::StlSource& source, PodVector<char> head, AsciiCuts cuts = {});

}  // namespace quarvex::ingest
