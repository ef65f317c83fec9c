#include "ingest/read_mesh_file.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ingest/parallel_ingest.h"
#include "parallel/inline_scope.h"
#include "support/even_split.h"
#include "support/pod_vector.h"

namespace quarvex::ingest {
namespace {

// Triangles the sequential reader hands to the merge at a time (3 MiB).
constexpr int kWindowTriangles = 1 << 16;

stl::ReadResult<SummedMesh> merge_sequentially(stl::TriangleSource& source) {
  const std::size_t groups = VertexMerge::group_count();
  VertexMerge merge(groups, 0);
  PodVector<stl::RawTriangle> window;
  window.resize_uninitialized(kWindowTriangles);
  std::vector<TriangleRun> shares(groups);
  std::vector<RoutedRun> routed(groups, RoutedRun(groups));
  bool first_window = true;
  for (;;) {
    stl::NextTriangle last = stl::NextTriangle::kTriangle;
    stl::ReadError error;
    const auto count = static_cast<std::size_t>(source.next_triangles(window.data(), kWindowTriangles, last, error));
    if (last == stl::NextTriangle::kError) return error;
    // Input that fits one window is small enough to judge: no worker for the work of a small
    // binary file.
    if (first_window && last == stl::NextTriangle::kEnd) {
      parallel::InlineScope::engage_if(parallel::small_file(count * stl::kBinaryRecordSize));
    }
    first_window = false;
    for (std::size_t g = 0; g < groups; ++g) {
      const SplitPart part = split_part(count, g, groups);
      shares[g] = TriangleRun{window.data() + part.first, part.size()};
    }
    if (count != 0) merge.add(std::span<const TriangleRun>(shares), routed);
    if (last == stl::NextTriangle::kEnd) break;
  }
  return std::move(merge).finish();
}

}  // namespace

bool has_binary_size(const stl::StlSource& source) {
  struct stat st {};
  if (::fstat(source.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::byte count[4];
  if (::pread(source.fd(), count, 4, stl::kBinaryCountOffset) != 4) return false;
  return static_cast<std::uint64_t>(st.st_size) == stl::binary_stl_size(count);
}

stl::ReadResult<SummedMesh> read_mesh(stl::StlSource& source) {
  return read_sequentially<SummedMesh>(source, merge_sequentially);
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
  source.widen_pipe();
  return read_mesh(source);
}

}  // namespace quarvex::ingest
