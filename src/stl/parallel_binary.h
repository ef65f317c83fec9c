// Binary STL from a regular file, read and merged on the workers.
//
// The records are read in windows by offset: while the workers merge one window, each also
// reads its share of the next one into a second buffer, so that reading is spread over the
// workers and never waits alone. Memory stays at two windows and the merge tables; nothing is
// sized from the declared count beyond the records the file really holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "stl/sharded_merge.h"

namespace quarvex::stl {

inline constexpr std::size_t kBinaryWindowRecords = 1 << 16;

// The distinct vertices with their normal sums, or nothing when the file does not hold the
// records its count promises or a read fails: the sequential reader then gives the error (or,
// should the file have changed meanwhile, the mesh). `window_records` > 0 is injectable so
// that tests can cross window boundaries with small files.
std::optional<SummedMesh> read_binary_parallel(int fd, std::uint64_t file_size,
                                               std::size_t window_records = kBinaryWindowRecords);

}  // namespace quarvex::stl
