// The vertex merge, the one way every reader (the parallel ones and the sequential one) turns
// triangles into every distinct vertex of a file once, with the sum of the stored normals of
// the faces that name it, without numbering the vertices or keeping the faces.
//
// Vertices are split by a keyed hash into G groups, each with its own VertexSumTable, in two
// steps: any piece routes a run of triangles (hashes its vertices and lists each under its
// group, in file order); then the one piece that owns group g adds the group's listed
// vertices of every run, runs in file order, to its table. No two threads ever touch one
// table, no lock is taken, and every sum is added up in file order whatever the thread count.
//
// Shared state: `tables_[g]` is written by the one piece that merges group g in a loop; a
// RoutedRun is written by the piece that routes it and read by the merging pieces of a later
// loop. Loops run one after another, and the pool's join orders one loop's writes before the
// next loop's reads. The hasher is written once, at construction.
#pragma once

#include <algorithm>
#include <cmath>
#include <span>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "ingest/vertex_sum_table.h"
#include "parallel/inline_scope.h"
#include "parallel/parallel_loop.h"
#include "stl/triangle_source.h"
#include "support/hash_keys.h"
#include "support/pod_vector.h"
#include "support/prefetch.h"
#include "support/vec3.h"

namespace quarvex::ingest {

// The result of every ingest route, the parallel readers' and the sequential one's: the
// distinct vertices of the mesh, split into hash groups, each with the sum of its faces'
// normals.
struct SummedMesh {
  std::vector<VertexSumTable> groups;
};

// A run of triangles in memory, as the ASCII readers give them.
struct TriangleRun {
  const stl::RawTriangle* data;
  std::size_t count;

  std::size_t size() const noexcept { return count; }
  Vec3f normal(std::size_t t) const noexcept { return data[t].normal; }
  // Triangle t, which may lie past the run's end.
  void prefetch(std::size_t t) const noexcept { prefetch_ahead(data, t * sizeof(stl::RawTriangle)); }
  VertexKey key(std::size_t t, int v) const noexcept { return vertex_key(data[t].vertex[v]); }
};

// The vertices of one run of triangles, routed to their groups: for group g, in file order,
// the low 32 bits of the vertex's hash (all that a table of at most 2^32 slots uses) and
// which corner of which triangle (triangle * 4 + corner).
struct VertexRef {
  std::uint32_t hash;
  std::uint32_t corner;
};

class RoutedRun {
 public:
  explicit RoutedRun(std::size_t groups = 0) : lists_(groups) {}

 private:
  friend class VertexMerge;
  std::vector<PodVector<VertexRef>> lists_;
  // The sum over the run's triangles of |nx| + |ny| + |nz| (infinite or NaN when a normal
  // is): three times it bounds what the run can add to any one vertex's sum.
  double weight_ = 0;
};

// The vertex count the tables are first sized for, from an estimate that the bytes a file
// really stores give (a sparse file's holes count for nothing, so it reserves no address
// space it will not fill): sized right, the tables of a large mesh never grow, which would
// hold the old and the new table at once and scatter every vertex again. Beyond 64 Mi
// vertices they grow as vertices really arrive.
inline std::size_t presized_vertices(std::uint64_t estimate) noexcept {
  return static_cast<std::size_t>(std::min<std::uint64_t>(estimate, std::uint64_t{1} << 26));
}

class VertexMerge {
 public:
  static constexpr std::size_t kMaxGroups = 64;

  // One group per worker, so that every worker merges; at most 64, since every group costs a
  // table and every routed run a list per group, however small the file. One while the
  // calling thread runs every loop alone (a small input): more would only cost tables.
  // Asks for the pool, so it starts it on a first call, and a pool that cannot start is a
  // fault thrown from here.
  static std::size_t group_count() {
    if (parallel::InlineScope::active()) return 1;
    return std::clamp<std::size_t>(parallel::current_num_threads(), 1, kMaxGroups);
  }

  // `groups` >= 1; `expected_vertices` only sizes the tables at the start.
  VertexMerge(std::size_t groups, std::size_t expected_vertices) : hasher_{next_map_keys()} {
    tables_.reserve(groups);
    for (std::size_t g = 0; g < groups; ++g) tables_.emplace_back(hasher_, with_room(expected_vertices) / groups);
    bounds_.assign(groups, 0.0);
    merged_.assign(groups, 0);
  }

  // For a reader that knows the input's triangle count: a table that must grow then grows
  // once to what its vertices so far project for the whole input (at most double), rather
  // than doubling on past it; a mesh whose triangles share no vertex then ends in a table
  // near three quarters full instead of about two thirds.
  void expect_triangles(std::uint64_t count) noexcept { expected_corners_ = 3 * count; }

  std::size_t groups() const noexcept { return tables_.size(); }

  // Every group's table is to have the room of a table first sized for its share of
  // `vertices`: a table with less grows, in one step, when its group next merges (on the
  // workers, each group's table by its own piece). Between loops only.
  void expect_vertices(std::size_t vertices) noexcept {
    presize_keys_ = with_room(presized_vertices(vertices)) / tables_.size();
  }

  // Step 1, on any thread, for a run of at most 2^30 triangles: hashes every vertex of `run`
  // and lists it under its group in `out` (whose lists are reused). Run: size(), normal(t),
  // key(t, corner).
  template <class Run>
  void route(const Run& run, RoutedRun& out) const {
    const std::size_t groups = tables_.size();
    out.lists_.resize(groups);
    for (PodVector<VertexRef>& list : out.lists_) list.clear();
    // Triangles are routed in blocks, each list first given room for a whole block, so that
    // the loop writes through local cursors instead of each append reloading its list from
    // memory. Smaller blocks with more groups bound that room; at least 32 triangles, so that
    // the two passes over the groups per block stay small beside the block's own work.
    const std::size_t block = std::max<std::size_t>(32, 512 / groups);
    // The run is read once, in order: its triangles (about 50 bytes each, in memory or on
    // file) are asked for about 2 KiB ahead.
    constexpr std::size_t kRouteAhead = kStreamAheadBytes / sizeof(stl::RawTriangle);
    const VertexHasher hasher = hasher_;
    VertexRef* at[kMaxGroups];
    double weight = 0;
    // fn(hash, ref) for every corner of triangles [first, last), in order.
    auto each_corner = [&](std::size_t first, std::size_t last, auto&& fn) {
      for (std::size_t t = first; t < last; ++t) {
        run.prefetch(t + kRouteAhead);
        const Vec3f n = run.normal(t);
        weight += static_cast<double>(std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z));
        for (std::uint32_t v = 0; v < 3; ++v) {
          const std::uint64_t hash = hasher(run.key(t, static_cast<int>(v)));
          fn(hash, VertexRef{static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(t * 4 + v)});
        }
      }
    };
    for (std::size_t first = 0; first < run.size(); first += block) {
      const std::size_t last = std::min(run.size(), first + block);
      for (std::size_t g = 0; g < groups; ++g) at[g] = out.lists_[g].room_for(3 * (last - first));
      if (groups == 2) {
        // Both cursors take every ref and only the owner's moves on (the other's slot is
        // written again, or lies past its list's end within the block's room): the cursors
        // stay in registers, where an indexed one would make each corner of a run for one
        // group wait for the store of the last.
        VertexRef* a = at[0];
        VertexRef* b = at[1];
        each_corner(first, last, [&](std::uint64_t hash, VertexRef ref) {
          const std::size_t second = owner(hash, 2);
          *a = ref;
          *b = ref;
          a += 1 - second;
          b += second;
        });
        at[0] = a;
        at[1] = b;
      } else {
        each_corner(first, last, [&](std::uint64_t hash, VertexRef ref) {
          *at[groups == 1 ? 0 : owner(hash, groups)]++ = ref;
        });
      }
      for (std::size_t g = 0; g < groups; ++g) {
        PodVector<VertexRef>& list = out.lists_[g];
        list.resize_uninitialized(static_cast<std::size_t>(at[g] - list.data()));
      }
    }
    out.weight_ = weight;
  }

  // Step 2, by the one piece that owns group g: adds the group's vertices of `run`, as
  // `routed` lists them, to the group's table.
  template <class Run>
  void merge(std::size_t g, const Run& run, const RoutedRun& routed) {
    make_room(g, routed.lists_[g].size());
    // No sum of this group can leave the float range while the bound stays far below it
    // (far enough for the rounding of any number of additions): then the additions need no
    // check. Once it could, every later run of the group takes the checked additions.
    bounds_[g] += 3 * routed.weight_;
    constexpr double kSafe = 0x1p87;  // the float range ends at 2^128
    if (bounds_[g] < kSafe) [[likely]] {
      merge_refs<false>(tables_[g], run, routed.lists_[g]);
    } else {
      merge_refs<true>(tables_[g], run, routed.lists_[g]);
    }
  }

  // Both steps for `runs`, given in file order: one piece routes each run, then one piece
  // merges each group, run after run. `routed` is scratch, reused between calls.
  template <class Run>
  void add(std::span<const Run> runs, std::vector<RoutedRun>& routed) {
    routed.resize(runs.size());
    parallel::parallel_for(runs.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) route(runs[i], routed[i]);
    });
    parallel::parallel_for(tables_.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g)
        for (std::size_t i = 0; i < runs.size(); ++i) merge(g, runs[i], routed[i]);
    });
  }

  SummedMesh finish() && {
    SummedMesh out;
    out.groups = std::move(tables_);
    return out;
  }

 private:
  // Before `refs` more vertices go into group g's table: it takes the room expect_vertices
  // asked for, if it has less; then, when they could make it grow and the input's size is
  // known, it grows now, once, to the group's projected final count (with a thirty-second
  // to spare, as the groups' shares differ a little), at most double.
  void make_room(std::size_t g, std::size_t refs) {
    VertexSumTable& table = tables_[g];
    table.presize(presize_keys_);
    const std::size_t room = table.capacity() / 4 * 3;
    if (expected_corners_ != 0 && merged_[g] != 0 && table.size() + refs > room) {
      const double corners = static_cast<double>(expected_corners_) / static_cast<double>(tables_.size());
      const double projected = static_cast<double>(table.size()) * corners / static_cast<double>(merged_[g]);
      const double keys = std::min(projected * (1.0 + 1.0 / 32), 2.0 * static_cast<double>(room));
      table.reserve(std::max(table.size() + refs, static_cast<std::size_t>(keys)));
    }
    merged_[g] += refs;
  }

  template <bool kChecked, class Run>
  static void merge_refs(VertexSumTable& table, const Run& run, const PodVector<VertexRef>& list) {
    // Slots are fetched ahead: in a file without order nearly every lookup misses the cache,
    // and several misses in flight overlap. The triangles the refs name, in file order with
    // gaps, likewise.
    constexpr std::size_t kAhead = 32;
    const VertexRef* const refs = list.data();
    const std::size_t n = list.size();
    // A copy the table's stores cannot alias, so the loop keeps it in registers.
    const Run local = run;
    auto add = [&](const VertexRef& r) {
      const std::size_t t = r.corner / 4;
      table.add<kChecked>(local.key(t, static_cast<int>(r.corner % 4)), r.hash, local.normal(t));
    };
    for (std::size_t i = 0; i < std::min(kAhead, n); ++i) table.prefetch(refs[i].hash);
    std::size_t i = 0;
    for (; i + kAhead < n; ++i) {
      table.prefetch(refs[i + kAhead].hash);
      local.prefetch(refs[i + kAhead].corner / 4);
      add(refs[i]);
    }
    for (; i < n; ++i) add(refs[i]);
  }

  // The keys the tables are made for when `vertices` are expected in all. A table made for
  // n keys has 2.25 n slots, of 24 bytes; made for 4/3 of the vertices, it gives each one
  // 1.125 cache lines of home (tables with fewer lines per vertex measured slower in random
  // order: a cold lookup then goes past its home line, a second miss, markedly more often).
  // A table that outgrows its estimate (a soup of triangles that share no vertex) still
  // fills its slots to three quarters before it grows. The first 1 Mi vertices get a third
  // more on top, 1.5 lines each, where a cold lookup finds its key beyond its home line
  // about half as often; past them, where the tables are the bulk of a call's memory, no more.
  static constexpr std::size_t kRoomyVertices = std::size_t{1} << 20;
  static std::size_t with_room(std::size_t vertices) noexcept {
    const std::size_t keys = vertices + std::min(vertices, kRoomyVertices) / 3;
    return keys + keys / 3;
  }

  static std::size_t owner(std::uint64_t hash, std::size_t groups) noexcept {
    return static_cast<std::size_t>(((hash >> 32) * groups) >> 32);
  }

  VertexHasher hasher_;
  std::vector<VertexSumTable> tables_;
  // bounds_[g]: an upper bound of every |component| of group g's sums so far; merged_[g]:
  // the vertices listed for group g so far. Each written and read only by the piece that
  // merges group g.
  std::vector<double> bounds_;
  std::vector<std::uint64_t> merged_;
  std::uint64_t expected_corners_ = 0;  // 3 * the input's triangles, 0 when unknown; set before merging
  std::size_t presize_keys_ = 0;        // set between loops (expect_vertices), read by the merging pieces
};

}  // namespace quarvex::ingest
