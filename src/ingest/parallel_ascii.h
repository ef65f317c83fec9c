// ASCII STL from a regular file, parsed and merged on the workers.
//
// The text is read by offset in windows. A window is cut at lines that begin a facet into
// pieces that the workers parse at once (ascii_chunk.h); the pieces' outcomes are then taken
// in file order: a piece that ends at "endsolid" ends the read, a rejected piece hands the
// whole file to the sequential reader. The triangles go into the parallel vertex merge in
// file order. The incomplete facet at a window's end moves to the front of the next window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ingest/vertex_merge.h"
#include "support/interrupt.h"

namespace quarvex::ingest {

struct AsciiCuts {
  std::size_t window_bytes = std::size_t{16} << 20;
  std::size_t piece_bytes = std::size_t{1} << 20;
};

// The distinct vertices with their normal sums, or nothing when the text is not a complete,
// well-formed solid (or a facet is longer than a window, or a read fails): the sequential
// reader then gives the exact error, or the mesh. Nothing either once `interrupt`, polled on
// the calling thread between windows, fires. The sizes are injectable so that tests can cut
// small files at every line.
std::optional<SummedMesh> read_ascii_parallel(int fd, std::uint64_t file_size,
                                              Interrupt& interrupt = no_interrupt(), AsciiCuts cuts = {});

}  // namespace quarvex::ingest
