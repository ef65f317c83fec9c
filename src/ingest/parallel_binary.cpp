#include "ingest/parallel_binary.h"

#include <algorithm>
#include <vector>

#include "parallel/inline_scope.h"
#include "parallel/parallel_loop.h"
#include "stl/binary_record.h"
#include "ingest/file_at.h"
#include "support/even_split.h"
#include "support/large_block.h"
#include "support/pod_vector.h"

namespace quarvex::ingest {
namespace {

constexpr std::size_t kHeaderSize = stl::kBinaryHeadSize;
constexpr std::size_t kRecordSize = stl::kBinaryRecordSize;

// The record count the header declares, when the file holds that many records.
std::optional<std::uint64_t> declared_count(const std::byte* head, std::uint64_t file_size) noexcept {
  const std::uint64_t count = stl::load_le32(head + stl::kBinaryCountOffset);
  if (count > (file_size - kHeaderSize) / kRecordSize) return std::nullopt;
  return count;
}

// A file small enough for the calling thread alone: read whole in one call and merged as
// one run in one group.
std::optional<SummedMesh> read_small_binary(int fd, std::uint64_t file_size) {
  PodVector<std::byte> bytes;
  bytes.resize_uninitialized(static_cast<std::size_t>(file_size));
  if (read_at(fd, bytes.data(), bytes.size(), 0) != 0) return std::nullopt;
  const std::optional<std::uint64_t> declared = declared_count(bytes.data(), file_size);
  if (!declared) return std::nullopt;
  const std::uint64_t count = *declared;
  // A small mesh has relatively more vertices on its edges than a large one: a little more
  // room than half a vertex per triangle spares it a growth.
  VertexMerge merge(1, presized_vertices(count * 5 / 8 + 8));
  const BinaryRecords run{bytes.data() + kHeaderSize, static_cast<std::size_t>(count)};
  RoutedRun routed;
  merge.route(run, routed);
  merge.merge(0, run, routed);
  return std::move(merge).finish();
}

}  // namespace

std::optional<SummedMesh> read_binary_parallel(int fd, std::uint64_t file_size,
                                               Interrupt& interrupt, std::size_t window_records) {
  if (file_size < kHeaderSize) return std::nullopt;
  if (parallel::InlineScope::active() && parallel::small_file(file_size)) return read_small_binary(fd, file_size);
  std::byte head[kHeaderSize];
  if (read_at(fd, head, kHeaderSize, 0) != 0) return std::nullopt;
  const std::optional<std::uint64_t> declared = declared_count(head, file_size);
  if (!declared) return std::nullopt;
  const std::uint64_t count = *declared;

  const std::size_t groups = VertexMerge::group_count();
  // A closed surface has about half as many vertices as triangles.
  const std::uint64_t stored = std::min(count, stored_bytes(fd, file_size) / kRecordSize);
  VertexMerge merge(groups, presized_vertices(stored / 2));
  merge.expect_triangles(count);
  const std::uint64_t windows = (count + window_records - 1) / window_records;
  const std::size_t buffer_bytes = static_cast<std::size_t>(std::min<std::uint64_t>(count, window_records)) * kRecordSize;
  // Window w lives in buffers[w % 3] and its routed vertices in routed[w % 2][share].
  LargeBlock buffers[3];
  for (std::uint64_t w = 0; w < std::min<std::uint64_t>(windows, 3); ++w) LargeBlock(buffer_bytes).swap(buffers[w]);
  std::vector<RoutedRun> routed[2] = {std::vector<RoutedRun>(groups, RoutedRun(groups)),
                                      std::vector<RoutedRun>(groups, RoutedRun(groups))};
  // errors[g]: written only by the piece that owns share g, read between loops.
  std::vector<int> errors(groups, 0);

  auto records_in = [&](std::uint64_t w) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(window_records, count - w * window_records));
  };
  // Share g of window w: records [first, last) of the window.
  auto share = [&](std::uint64_t w, std::size_t g) {
    const SplitPart part = split_part(records_in(w), g, groups);
    const auto* data = static_cast<const std::byte*>(buffers[w % 3].data());
    return BinaryRecords{data + part.first * kRecordSize, part.size()};
  };
  auto read_share = [&](std::uint64_t w, std::size_t g) {
    if (w >= windows || errors[g] != 0) return;
    const SplitPart part = split_part(records_in(w), g, groups);
    auto* to = static_cast<std::byte*>(buffers[w % 3].data()) + part.first * kRecordSize;
    errors[g] = read_at(fd, to, part.size() * kRecordSize, kHeaderSize + (w * window_records + part.first) * kRecordSize);
  };
  auto route_share = [&](std::uint64_t w, std::size_t g) {
    if (w < windows && errors[g] == 0) merge.route(share(w, g), routed[w % 2][g]);
  };
  auto failed = [&] { return std::any_of(errors.begin(), errors.end(), [](int e) { return e != 0; }); };
  auto each_group = [&](auto&& work) {
    parallel::parallel_for(groups, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) work(g);
    });
  };

  // A pipeline over the windows: while window w is merged, window w + 1 is routed and window
  // w + 2 read, each by all pieces.
  if (windows > 0) {
    each_group([&](std::size_t g) {
      read_share(0, g);
      read_share(1, g);
    });
    if (failed()) return std::nullopt;
    each_group([&](std::size_t g) { route_share(0, g); });
  }
  for (std::uint64_t w = 0; w < windows; ++w) {
    // The calling thread passes here once per window (a few MiB).
    if (failed() || interrupt.poll()) return std::nullopt;
    each_group([&](std::size_t g) {
      read_share(w + 2, g);
      route_share(w + 1, g);
      for (std::size_t s = 0; s < groups; ++s) merge.merge(g, share(w, s), routed[w % 2][s]);
    });
  }
  if (failed()) return std::nullopt;
  return std::move(merge).finish();
}

}  // namespace quarvex::ingest
