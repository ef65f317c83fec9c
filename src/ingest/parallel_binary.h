// Binary STL from a regular file, read and merged on the workers.
//
// The records are read in windows by offset, in a pipeline of one loop per window: while
// the workers merge window w (each its own hash group), each also routes its share of window
// w + 1 and reads its share of window w + 2, so reading and hashing are spread over the
// workers and never wait alone. Memory stays at three windows, their routed vertices and the
// merge tables; the tables' first size comes from the records the file really holds, never
// from a declared count beyond them.
// A file small enough for the calling thread alone (while its InlineScope is engaged) is
// read whole in one call and merged as one run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ingest/vertex_merge.h"
#include "stl/binary_record.h"
#include "support/large_block.h"
#include "support/interrupt.h"
#include "support/prefetch.h"

namespace quarvex::ingest {

// A run of whole records in memory, as the vertex merge reads them.
struct BinaryRecords {
  const std::byte* data;
  std::size_t count;

  std::size_t size() const noexcept { return count; }
  Vec3f normal(std::size_t t) const noexcept {
    return stl::load_vec3(data + t * stl::kBinaryRecordSize + stl::kBinaryNormalOffset);
  }
  // Record t, which may lie past the run's end.
  void prefetch(std::size_t t) const noexcept { prefetch_ahead(data, t * stl::kBinaryRecordSize); }
  VertexKey key(std::size_t t, int v) const noexcept {
    const std::byte* p = data + t * stl::kBinaryRecordSize + stl::binary_vertex_offset(static_cast<std::size_t>(v));
    return VertexKey{stl::load_le32(p), stl::load_le32(p + 4), stl::load_le32(p + 8)};
  }
};

// The records that fill one 2 MiB huge page, the unit in which a window buffer is held.
inline constexpr std::size_t kBinaryWindowRecords = kHugePageBytes / stl::kBinaryRecordSize;

// The distinct vertices with their normal sums, or nothing when the file does not hold the
// records its count promises or a read fails: the sequential reader then gives the error (or,
// should the file have changed meanwhile, the mesh). Nothing either once `interrupt`, polled
// on the calling thread between windows, fires. `window_records` > 0 is injectable so that
// tests can cross window boundaries with small files.
std::optional<SummedMesh> read_binary_parallel(int fd, std::uint64_t file_size,
                                               Interrupt& interrupt = no_interrupt(),
                                               std::size_t window_records = kBinaryWindowRecords);

}  // namespace quarvex::ingest
