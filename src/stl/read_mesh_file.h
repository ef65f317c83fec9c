// Reading an STL file (ASCII or binary) into an indexed mesh.
#pragma once

#include <optional>
#include <string_view>

#include "stl/indexed_mesh.h"
#include "stl/read_error.h"
#include "stl/sharded_merge.h"
#include "stl/stl_source.h"

namespace quarvex::stl {

// The mesh together with the still open file; the file is closed when `source` is released
// (or by source.close()). A regular file is read on the workers into `summed` (its distinct
// vertices with their normal sums; `mesh` stays empty); any other input is read in sequence
// into `mesh`.
struct MeshFile {
  IndexedMesh mesh;
  std::optional<SummedMesh> summed;
  StlSource source;
};

// `path` holds the operating system's bytes of the file name. On failure everything opened
// or built so far is released before the error is returned; no partial mesh is returned.
ReadResult<MeshFile> read_mesh_file(std::string_view path);

// Detects the format of an already opened source and reads its mesh, in sequence.
ReadResult<IndexedMesh> read_mesh(StlSource& source);

}  // namespace quarvex::stl
