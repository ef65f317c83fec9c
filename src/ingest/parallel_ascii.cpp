#include "ingest/parallel_ascii.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "parallel/parallel_loop.h"
#include "ingest/ascii_chunk.h"
#include "ingest/file_at.h"
#include "stl/first_line.h"
#include "support/even_split.h"
#include "support/pod_vector.h"

namespace quarvex::ingest {
namespace {

// An estimate only, for the first size of the merge tables: bytes of text per facet in the
// usual layout (a closed surface then has about half as many vertices as facets).
constexpr std::size_t kBytesPerFacet = 256;

struct Piece {
  std::size_t begin, end;
  PodVector<stl::RawTriangle> triangles;
  ChunkEnd outcome = ChunkEnd::kRejected;
  RoutedRun routed;
};

}  // namespace

std::optional<SummedMesh> read_ascii_parallel(int fd, std::uint64_t file_size, Interrupt& interrupt,
                                              AsciiCuts cuts) {
  if (file_size == 0) return std::nullopt;  // it was emptied since detection read it
  const std::size_t groups = VertexMerge::group_count();
  const std::size_t window = static_cast<std::size_t>(std::min<std::uint64_t>(file_size, cuts.window_bytes));
  PodVector<char> text;
  text.resize_uninitialized(window);
  std::uint64_t offset = 0;  // of text[0] in the file
  std::size_t length = 0;    // bytes of text held
  std::vector<int> errors(groups, 0);  // errors[g]: written only by the piece that owns g

  // Fills text[length, window) from the file (as far as it goes), each group a share.
  auto fill = [&] {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(window - length, file_size - offset - length));
    const std::uint64_t at = offset + length;
    parallel::parallel_for(groups, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) {
        const SplitPart part = split_part(want, g, groups);
        if (errors[g] == 0) {
          errors[g] = read_at(fd, reinterpret_cast<std::byte*>(text.data()) + length + part.first, part.size(), at + part.first);
        }
      }
    });
    length += want;
    return std::none_of(errors.begin(), errors.end(), [](int e) { return e != 0; });
  };

  if (!fill()) return std::nullopt;
  // The first line, as detection saw it: "solid " and valid UTF-8.
  const auto* nl = static_cast<const char*>(std::memchr(text.data(), '\n', length));
  if (nl == nullptr) return std::nullopt;
  stl::FirstLineScan first;
  first.feed(reinterpret_cast<const unsigned char*>(text.data()), static_cast<std::size_t>(nl - text.data()) + 1);
  if (!first.has_prefix() || !first.valid_utf8()) return std::nullopt;
  std::size_t body = static_cast<std::size_t>(nl - text.data()) + 1;

  VertexMerge merge(groups, presized_vertices(stored_bytes(fd, file_size) / kBytesPerFacet / 2));
  // Kept from window to window, so that their lists are allocated (and faulted in) once.
  std::vector<Piece> pieces;
  for (;;) {
    // The calling thread passes here once per window.
    if (interrupt.poll()) return std::nullopt;
    const std::string_view view(text.data(), length);
    const bool at_end = offset + length == file_size;
    std::size_t stop = length;
    if (!at_end) {
      stop = last_facet_line(view, body);
      if (stop == std::string_view::npos) return std::nullopt;  // no facet ends in this window
    }
    std::size_t count = 0;  // pieces of this window
    for (std::size_t at = body; at < stop; ++count) {
      std::size_t next = std::min(stop, at + cuts.piece_bytes);
      if (next < stop) next = std::min(stop, next_facet_line(view, next));
      if (count == pieces.size()) pieces.push_back(Piece{0, 0, {}, ChunkEnd::kRejected, RoutedRun(groups)});
      Piece& p = pieces[count];
      p.begin = at;
      p.end = next;
      p.outcome = ChunkEnd::kRejected;
      p.triangles.clear();
      p.triangles.reserve((next - at) / kBytesPerFacet + 1);
      at = next;
    }
    parallel::parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        Piece& p = pieces[i];
        p.outcome = parse_facets(view.substr(p.begin, p.end - p.begin), p.triangles);
        merge.route(TriangleRun{p.triangles.data(), p.triangles.size()}, p.routed);
      }
    });
    bool finished = false;
    std::size_t used = 0;
    for (; used < count; ++used) {
      if (pieces[used].outcome == ChunkEnd::kRejected) return std::nullopt;
      if (pieces[used].outcome == ChunkEnd::kEndsolid) {
        finished = true;
        ++used;
        break;
      }
    }
    // Text that ends between facets lacks its "endsolid": the sequential reader says so.
    if (!finished && at_end) return std::nullopt;
    parallel::parallel_for(groups, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) {
        for (std::size_t i = 0; i < used; ++i) {
          merge.merge(g, TriangleRun{pieces[i].triangles.data(), pieces[i].triangles.size()}, pieces[i].routed);
        }
      }
    });
    if (finished) break;  // text at its end that did not finish returned above
    std::memmove(text.data(), text.data() + stop, length - stop);
    offset += stop;
    length -= stop;
    body = 0;
    if (!fill()) return std::nullopt;
  }
  return std::move(merge).finish();
}

}  // namespace quarvex::ingest
