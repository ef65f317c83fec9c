#include "ingest/read_mesh_file.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ingest/parallel_ascii.h"
#include "ingest/parallel_binary.h"
#include "ingest/parallel_ingest.h"
#include "parallel/fork_join.h"
#include "parallel/inline_scope.h"
#include "support/even_split.h"
#include "support/pod_vector.h"

namespace quarvex::ingest {
namespace {

// Triangles the sequential reader hands to the merge at a time (3 MiB).
constexpr int kWindowTriangles = 1 << 16;

// A binary record as the file holds it: a binary input is merged straight from the bytes
// read, with no decoding pass on the calling thread.
struct RecordBytes {
  std::byte bytes[stl::kBinaryRecordSize];
};
static_assert(sizeof(RecordBytes) == stl::kBinaryRecordSize);

TriangleRun run_of(const stl::RawTriangle* data, std::size_t count) { return TriangleRun{data, count}; }
BinaryRecords run_of(const RecordBytes* data, std::size_t count) {
  return BinaryRecords{reinterpret_cast<const std::byte*>(data), count};
}

// `read_next(Element* out, std::size_t max, NextTriangle& last, ReadError& error)` gives up
// to `max` triangles of the input, in file order, as next_triangles does; they go into
// `merge` after whatever it holds.
template <class Element, class ReadInto>
stl::ReadResult<SummedMesh> merge_sequentially(VertexMerge merge, std::uint64_t declared_count, ReadInto&& read_next) {
  using Run = decltype(run_of(static_cast<const Element*>(nullptr), 0));
  const std::size_t groups = merge.groups();
  // Two windows: while the workers merge one, the calling thread reads the next into the
  // other (reading stays on the calling thread, which alone may run the signal checks).
  PodVector<Element> windows[2];
  std::vector<Run> shares(groups);
  std::vector<RoutedRun> routed(groups, RoutedRun(groups));
  stl::NextTriangle last = stl::NextTriangle::kTriangle;
  stl::ReadError error;
  auto read_into = [&](PodVector<Element>& window) {
    if (window.size() != kWindowTriangles) window.resize_uninitialized(kWindowTriangles);
    return static_cast<std::size_t>(read_next(window.data(), std::size_t{kWindowTriangles}, last, error));
  };
  auto merge_shares = [&] { merge.add(std::span<const Run>(shares), routed); };
  auto merge_on_worker = [&](parallel::WorkerThread&) { merge_shares(); };

  // A binary reader gives at most its declared count, so a table that arriving triangles
  // make grow can grow to what that count projects, as on the parallel route, rather than
  // doubling; a false count still costs no more than a doubling (the growth is capped there).
  merge.expect_triangles(declared_count);
  std::size_t count = read_into(windows[0]);
  if (last == stl::NextTriangle::kError) return error;
  // Input that fits one window is small enough to judge: no worker for the work of a small
  // binary file.
  if (last == stl::NextTriangle::kEnd) {
    parallel::InlineScope::engage_if(parallel::small_file(count * stl::kBinaryRecordSize));
  }
  // A declared count sizes the tables ahead, trusted only as far as 8 times the triangles
  // that have arrived (a false count in a short input then costs a bounded reserve, as a
  // growth would), in steps of 4 times or more (or the last one, to the count), so that
  // there are few growths.
  std::uint64_t arrived = 0;
  std::uint64_t sized_for = 0;
  auto size_ahead = [&] {
    const std::uint64_t target = std::min(declared_count, 8 * arrived);
    const std::uint64_t step = 4 * std::max<std::uint64_t>(sized_for, kWindowTriangles);
    if (target <= sized_for || (target < declared_count && target < step)) return;
    // A closed surface has about half as many vertices as triangles.
    merge.expect_vertices(static_cast<std::size_t>(target / 2));
    sized_for = target;
  };
  for (std::size_t w = 0;; w ^= 1) {
    arrived += count;
    if (last != stl::NextTriangle::kEnd) size_ahead();
    for (std::size_t g = 0; g < groups; ++g) {
      const SplitPart part = split_part(count, g, groups);
      shares[g] = run_of(windows[w].data() + part.first, part.size());
    }
    if (last == stl::NextTriangle::kEnd || parallel::InlineScope::active()) {
      if (count != 0) merge_shares();
      if (last == stl::NextTriangle::kEnd) break;
      count = read_into(windows[w ^ 1]);
    } else {
      std::optional<parallel::BackgroundJob<decltype(merge_on_worker)>> job;
      if (count != 0) job.emplace(parallel::global_pool(), merge_on_worker);
      count = read_into(windows[w ^ 1]);
      if (job) job->wait();
    }
    if (last == stl::NextTriangle::kError) return error;
  }
  return std::move(merge).finish();
}

// The sequential route's drain: a binary reader's records as they were read; ASCII through a
// stream parsed on the workers as far as they vouch for it; any other reader's triangles
// decoded.
struct MergeSequentially {
  stl::ReadResult<SummedMesh> operator()(stl::BinaryFacetReader& reader) const {
    auto next = [&](RecordBytes* out, std::size_t max, stl::NextTriangle& last, stl::ReadError& error) {
      return reader.next_records(out->bytes, max, last, error);
    };
    return merge_sequentially<RecordBytes>(VertexMerge(VertexMerge::group_count(), 0), reader.declared_count(), next);
  }
  stl::ReadResult<SummedMesh> operator()(stl::AsciiFacetReader& reader) const {
    // A regular file comes here only when the parallel reader declined it: the reader that
    // words every failure reads it alone.
    if (reader.source().seekable()) return triangles(reader, VertexMerge(VertexMerge::group_count(), 0));
    PodVector<char> head;
    reader.take_buffered(head);
    AsciiStreamParse parsed = parse_ascii_stream(reader.source(), std::move(head));
    if (parsed.interrupted) return stl::os_read_error(EINTR);
    if (parsed.finished) return std::move(parsed.merge).finish();
    // The reader goes on where the workers stopped, between two facets, with the text they
    // left and then the stream.
    reader.source().put_back(std::move(parsed.rest));
    return triangles(reader, std::move(parsed.merge));
  }
  stl::ReadResult<SummedMesh> operator()(stl::TriangleSource& source) const {
    return triangles(source, VertexMerge(VertexMerge::group_count(), 0));
  }

  static stl::ReadResult<SummedMesh> triangles(stl::TriangleSource& source, VertexMerge merge) {
    auto next = [&](stl::RawTriangle* out, std::size_t max, stl::NextTriangle& last, stl::ReadError& error) {
      return static_cast<std::size_t>(source.next_triangles(out, static_cast<int>(max), last, error));
    };
    return merge_sequentially<stl::RawTriangle>(std::move(merge), source.declared_count(), next);
  }
};

}  // namespace

bool has_binary_size(const stl::StlSource& source) {
  struct stat st {};
  if (::fstat(source.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::byte count[4];
  if (::pread(source.fd(), count, 4, stl::kBinaryCountOffset) != 4) return false;
  return static_cast<std::uint64_t>(st.st_size) == stl::binary_stl_size(count);
}

stl::ReadResult<SummedMesh> read_mesh(stl::StlSource& source) {
  MergeSequentially drain;
  return read_sequentially<SummedMesh>(source, drain);
}

stl::ReadResult<SummedMesh> read_mesh_file(std::string_view path, Interrupt& interrupt) {
  if (path.find('\0') != std::string_view::npos) {
    return stl::ReadError{stl::ReadErrorKind::kInvalidInput, 0, "file name contained an unexpected NUL byte"};
  }
  const std::string c_path(path);
  const int fd = stl::open_for_reading(c_path.c_str(), interrupt);
  if (fd < 0) return stl::os_read_error(errno);
  stl::StlSource source(fd, interrupt);  // closed on every return
  // The parallel reader polls between its loops (never while one is in flight); its
  // detection polls as the sequential one does.
  if (interrupt.poll()) return stl::os_read_error(EINTR);
  std::optional<SummedMesh> summed = read_summed_mesh(source, interrupt);
  if (interrupt.poll()) return stl::os_read_error(EINTR);
  if (summed) return std::move(*summed);
  if (const int failed = source.prepare_stream()) return stl::os_read_error(failed);
  return read_mesh(source);
}

}  // namespace quarvex::ingest
