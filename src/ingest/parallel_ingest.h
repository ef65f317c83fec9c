// The parallel readers, for regular files: the format as the sequential reader decides it,
// then the binary or ASCII reader that reads by offset on the workers and feeds the vertex
// merge in file order.
//
// They may decline, and do whenever they cannot vouch for their result (malformed input, a
// failed read, a file that changed): the sequential reader then reads the file from the
// start. It is the reference: every message, and which inputs fail, are its own; the
// parallel readers only ever give what it would have given, faster.
#pragma once

#include <optional>

#include "ingest/vertex_merge.h"
#include "stl/stl_source.h"
#include "support/interrupt.h"

namespace quarvex::ingest {

// The summed vertices of `source`'s file, or nothing when the file is not a regular file, or
// when the parallel reader cannot vouch for its result (malformed input, a failed read): the
// sequential reader then reads the file from the start and gives the mesh or the exact error.
// `source` is left at offset 0 whenever detection could rewind it. The reader polls
// `interrupt` between its loops and gives nothing once it fires.
std::optional<SummedMesh> read_summed_mesh(stl::StlSource& source, Interrupt& interrupt);

}  // namespace quarvex::ingest
