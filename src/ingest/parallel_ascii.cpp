#include "ingest/parallel_ascii.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "parallel/fork_join.h"
#include "parallel/inline_scope.h"
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

// How long a stream's reader waits for more text before it hands a window without a whole
// facet (and without "endsolid") to the sequential reader.
constexpr int kStreamWaitMs = 100;

// The pieces of one window of text, cut at lines that begin a facet, parsed and routed on the
// workers, then taken in text order and merged. Kept from window to window, so that their
// lists are allocated (and faulted in) once.
class WindowPieces {
 public:
  explicit WindowPieces(std::size_t groups) : groups_(groups) {}

  // Cuts text[body, stop) into pieces of about `piece_bytes`, each ending where a facet line
  // begins or at `stop`.
  void cut(std::string_view text, std::size_t body, std::size_t stop, std::size_t piece_bytes) {
    count_ = 0;
    for (std::size_t at = body; at < stop; ++count_) {
      std::size_t next = std::min(stop, at + piece_bytes);
      if (next < stop) next = std::min(stop, next_facet_line(text, next));
      if (count_ == pieces_.size()) pieces_.push_back(Piece{0, 0, {}, ChunkEnd::kRejected, RoutedRun(groups_)});
      Piece& p = pieces_[count_];
      p.begin = at;
      p.end = next;
      p.outcome = ChunkEnd::kRejected;
      p.triangles.clear();
      p.triangles.reserve((next - at) / kBytesPerFacet + 1);
      at = next;
    }
  }

  void parse(std::string_view text, const VertexMerge& merge) {
    parallel::parallel_for(count_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        Piece& p = pieces_[i];
        p.outcome = parse_facets(text.substr(p.begin, p.end - p.begin), p.triangles);
        merge.route(TriangleRun{p.triangles.data(), p.triangles.size()}, p.routed);
      }
    });
  }

  // The pieces in text order up to the first rejected one, or up to and with the first that
  // ends at "endsolid": how many, and how the run of them ends.
  struct Taken {
    std::size_t used;
    bool endsolid;
    bool rejected;
  };
  Taken take() const {
    for (std::size_t i = 0; i < count_; ++i) {
      if (pieces_[i].outcome == ChunkEnd::kRejected) return {i, false, true};
      if (pieces_[i].outcome == ChunkEnd::kEndsolid) return {i + 1, true, false};
    }
    return {count_, false, false};
  }

  // Merges the first `used` pieces in text order, each group by one piece of work, which
  // then calls after_group(g): the pieces hold their triangles apart from the text, so the
  // text may be refilled meanwhile.
  template <class AfterGroup>
  void merge(VertexMerge& merge, std::size_t used, AfterGroup&& after_group) {
    parallel::parallel_for(groups_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) {
        for (std::size_t i = 0; i < used; ++i) {
          merge.merge(g, TriangleRun{pieces_[i].triangles.data(), pieces_[i].triangles.size()}, pieces_[i].routed);
        }
        after_group(g);
      }
    });
  }
  void merge(VertexMerge& merge, std::size_t used) { this->merge(merge, used, [](std::size_t) {}); }

  std::size_t begin(std::size_t i) const { return pieces_[i].begin; }

 private:
  std::size_t groups_;
  std::vector<Piece> pieces_;
  std::size_t count_ = 0;  // pieces of the present window
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

  // Fills text[length, window) from the file (as far as it goes), group g's share by
  // read_share(want, g) on the piece that owns g; then `length` counts the bytes in.
  auto read_share = [&](std::size_t want, std::size_t g) {
    const SplitPart part = split_part(want, g, groups);
    if (errors[g] == 0) {
      errors[g] = read_at(fd, reinterpret_cast<std::byte*>(text.data()) + length + part.first, part.size(),
                          offset + length + part.first);
    }
  };
  auto wanted = [&] {
    return static_cast<std::size_t>(std::min<std::uint64_t>(window - length, file_size - offset - length));
  };
  auto read_ok = [&] { return std::none_of(errors.begin(), errors.end(), [](int e) { return e != 0; }); };

  {
    const std::size_t want = wanted();
    parallel::parallel_for(groups, [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) read_share(want, g);
    });
    length += want;
    if (!read_ok()) return std::nullopt;
  }
  // The first line, as detection saw it: "solid " and valid UTF-8.
  const auto* nl = static_cast<const char*>(std::memchr(text.data(), '\n', length));
  if (nl == nullptr) return std::nullopt;
  stl::FirstLineScan first;
  first.feed(reinterpret_cast<const unsigned char*>(text.data()), static_cast<std::size_t>(nl - text.data()) + 1);
  if (!first.has_prefix() || !first.valid_utf8()) return std::nullopt;
  std::size_t body = static_cast<std::size_t>(nl - text.data()) + 1;

  VertexMerge merge(groups, presized_vertices(stored_bytes(fd, file_size) / kBytesPerFacet / 2));
  WindowPieces pieces(groups);
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
    pieces.cut(view, body, stop, cuts.piece_bytes);
    pieces.parse(view, merge);
    const WindowPieces::Taken taken = pieces.take();
    if (taken.rejected) return std::nullopt;
    // Text that ends between facets lacks its "endsolid": the sequential reader says so.
    if (!taken.endsolid && at_end) return std::nullopt;
    if (taken.endsolid) {
      pieces.merge(merge, taken.used);
      break;
    }
    // The cut-off facet moves to the front, and each group's piece reads its share of the
    // next window once it has merged: one loop per window less.
    std::memmove(text.data(), text.data() + stop, length - stop);
    offset += stop;
    length -= stop;
    body = 0;
    const std::size_t want = wanted();
    pieces.merge(merge, taken.used, [&](std::size_t g) { read_share(want, g); });
    length += want;
    if (!read_ok()) return std::nullopt;
  }
  return std::move(merge).finish();
}

AsciiStreamParse parse_ascii_stream(stl::StlSource& source, PodVector<char> head, AsciiCuts cuts) {
  const std::size_t window = std::max(cuts.window_bytes, head.size());
  PodVector<char> text[2];
  std::size_t length[2] = {head.size(), 0};
  text[0] = std::move(head);
  bool at_end = false;
  int failed = 0;
  // Reads into text[k] behind its first length[k] bytes until the window is full, the stream
  // ends, a read fails, or the stream has nothing more for now while the window holds text
  // to cut or text that may end the solid: the writer may be waiting for the answer before
  // it closes the stream, and the sequential reader, which reads no further than it parses,
  // gives one then. Other text waits up to kStreamWaitMs for more.
  auto fill = [&](std::size_t k) {
    text[k].resize_uninitialized(window);
    while (length[k] < window && !at_end && failed == 0) {
      if (length[k] != 0) {
        const std::string_view held(text[k].data(), length[k]);
        const bool ready = last_facet_line(held, 0) != std::string_view::npos ||
                           held.find("endsolid") != std::string_view::npos;
        if (!source.input_ready(ready ? 0 : kStreamWaitMs)) return;
      }
      const stl::IoResult r = source.read(reinterpret_cast<std::byte*>(text[k].data() + length[k]), window - length[k]);
      if (r.os_errno != 0) {
        failed = r.os_errno;
      } else if (r.count == 0) {
        at_end = true;
      } else {
        length[k] += r.count;
      }
    }
  };
  fill(0);
  // A stream that ends within its first window is small enough to judge, as a file is.
  if (at_end) parallel::InlineScope::engage_if(parallel::small_file(length[0]));
  AsciiStreamParse out{VertexMerge(VertexMerge::group_count(), 0), false, false, {}};
  auto stop_short = [&](std::string_view unparsed, std::string_view read_after) {
    out.rest.append(reinterpret_cast<const std::byte*>(unparsed.data()), unparsed.size());
    out.rest.append(reinterpret_cast<const std::byte*>(read_after.data()), read_after.size());
    return std::move(out);
  };
  WindowPieces pieces(out.merge.groups());
  for (std::size_t k = 0;; k ^= 1) {
    if (failed == EINTR) {
      out.interrupted = true;
      return out;
    }
    const std::string_view view(text[k].data(), length[k]);
    const bool last = at_end || failed != 0;  // nothing is read after this window
    std::size_t stop = length[k];
    if (!last) {
      stop = last_facet_line(view, 0);
      if (stop == std::string_view::npos) return stop_short(view, {});  // no facet ends in it
    }
    pieces.cut(view, 0, stop, cuts.piece_bytes);
    // The next window begins with the facet this one cuts off.
    if (!last) {
      text[k ^ 1].resize_uninitialized(window);
      std::memcpy(text[k ^ 1].data(), view.data() + stop, view.size() - stop);
      length[k ^ 1] = view.size() - stop;
    }
    WindowPieces::Taken taken{};
    auto work = [&] {
      pieces.parse(view, out.merge);
      taken = pieces.take();
      pieces.merge(out.merge, taken.used);
    };
    if (last || parallel::InlineScope::active()) {
      work();
      if (!last) fill(k ^ 1);
    } else {
      // The workers parse and merge this window while the calling thread reads the next (it
      // alone may run the signal checks). Meanwhile the workers alone write `pieces`,
      // `out.merge` and `taken` and read text[k]; the calling thread alone writes text[k ^ 1],
      // length[k ^ 1], `at_end` and `failed`; job.wait() orders the workers' writes before
      // the calling thread reads them.
      auto on_worker = [&](parallel::WorkerThread&) { work(); };
      parallel::BackgroundJob<decltype(on_worker)> job(parallel::global_pool(), on_worker);
      fill(k ^ 1);
      job.wait();
    }
    if (taken.endsolid) {
      out.finished = true;
      return out;
    }
    const std::string_view next(last ? nullptr : text[k ^ 1].data(), last ? 0 : length[k ^ 1]);
    if (taken.rejected) {
      const std::size_t from = pieces.begin(taken.used);
      return stop_short(view.substr(from, stop - from), next);
    }
    // Text that ends between facets lacks its "endsolid", and a read failed: the sequential
    // reader says so where it arrives.
    if (last) return out;
  }
}

}  // namespace quarvex::ingest
