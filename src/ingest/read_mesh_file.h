// Reading an STL file (ASCII or binary) into an indexed mesh.
#pragma once

#include <optional>
#include <string_view>

#include "stl/indexed_mesh.h"
#include "stl/read_error.h"
#include "ingest/sharded_merge.h"
#include "stl/stl_source.h"
#include "support/interrupt.h"

namespace quarvex::ingest {

// The mesh together with the still open file; the file is closed when `source` is released
// (or by source.close()). A regular file is read on the workers into `summed` (its distinct
// vertices with their normal sums; `mesh` stays empty); any other input, and a regular file
// the parallel reader cannot vouch for, is read in sequence into `mesh`.
struct MeshFile {
  stl::IndexedMesh mesh;
  std::optional<SummedMesh> summed;
  stl::StlSource source;
};

// `path` holds the operating system's bytes of the file name. On failure everything opened
// or built so far is released before the error is returned; no partial mesh is returned.
// The open and every read poll `interrupt` (stl_source.h); when it fires the error is
// kInterrupted.
stl::ReadResult<MeshFile> read_mesh_file(std::string_view path, Interrupt& interrupt = no_interrupt());

// Detects the format of an already opened source and reads its mesh.
//
// One fallback: a binary file whose 80-byte header happens to make a valid ASCII first line
// (text beginning "solid ", and the line ending inside the count or the records) fails as
// ASCII. When the ASCII reading of a regular file fails and the file's size is exactly
// 84 + 50 N (N the little-endian count at bytes 80..83), it is read as binary instead.
// A source that cannot rewind keeps the ASCII failure: its size is unknown.
stl::ReadResult<stl::IndexedMesh> read_mesh(stl::StlSource& source);

}  // namespace quarvex::ingest
