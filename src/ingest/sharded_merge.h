// The parallel vertex merge: every distinct vertex of a file once, with the sum of the stored
// normals of the faces that name it, without numbering the vertices or keeping the faces.
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
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "stl/vertex_index_map.h"
#include "ingest/vertex_sum_table.h"
#include "support/hash_keys.h"
#include "support/pod_vector.h"
#include "support/vec3.h"

namespace quarvex::ingest {

// The result of the parallel ingest: the distinct vertices of the mesh, split into hash
// groups, each with the sum of its faces' normals.
struct SummedMesh {
  std::vector<VertexSumTable> groups;
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
  friend class ShardedMerge;
  std::vector<PodVector<VertexRef>> lists_;
};

// The vertex count the tables are first sized for, from an estimate that the file's size or
// declared count gives: beyond a few million the tables grow as vertices really arrive, so
// that a huge sparse or lying file reserves no address space it does not fill.
inline std::size_t presized_vertices(std::uint64_t estimate) noexcept {
  return static_cast<std::size_t>(std::min<std::uint64_t>(estimate, std::uint64_t{1} << 22));
}

class ShardedMerge {
 public:
  // One group per worker, so that every worker merges; at most 64, since every group costs a
  // table and every routed run a list per group, however small the file.
  static std::size_t group_count_for(std::size_t threads) noexcept { return std::clamp<std::size_t>(threads, 1, 64); }

  // `groups` >= 1; `expected_vertices` only sizes the tables at the start.
  ShardedMerge(std::size_t groups, std::size_t expected_vertices) : hasher_{next_map_keys()} {
    tables_.reserve(groups);
    for (std::size_t g = 0; g < groups; ++g) tables_.emplace_back(hasher_, expected_vertices / groups);
  }

  std::size_t group_count() const noexcept { return tables_.size(); }

  // Step 1, on any thread, for a run of at most 2^30 triangles: hashes every vertex of `run`
  // and lists it under its group in `out` (whose lists are reused). Run: size(), normal(t),
  // key(t, corner).
  template <class Run>
  void route(const Run& run, RoutedRun& out) const {
    out.lists_.resize(tables_.size());
    for (PodVector<VertexRef>& list : out.lists_) list.clear();
    const std::size_t groups = tables_.size();
    for (std::size_t t = 0; t < run.size(); ++t) {
      for (std::uint32_t v = 0; v < 3; ++v) {
        const std::uint64_t hash = hasher_(run.key(t, static_cast<int>(v)));
        const std::size_t g = groups == 1 ? 0 : owner(hash);
        out.lists_[g].push_back(VertexRef{static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(t * 4 + v)});
      }
    }
  }

  // Step 2, by the one piece that owns group g: adds the group's vertices of `run`, as
  // `routed` lists them, to the group's table.
  template <class Run>
  void merge(std::size_t g, const Run& run, const RoutedRun& routed) {
    VertexSumTable& table = tables_[g];
    const PodVector<VertexRef>& refs = routed.lists_[g];
    // Slots are fetched ahead: in a file without order nearly every lookup misses the cache,
    // and several misses in flight overlap.
    constexpr std::size_t kAhead = 16;
    const std::size_t n = refs.size();
    for (std::size_t i = 0; i < std::min(kAhead, n); ++i) table.prefetch(refs[i].hash);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) table.prefetch(refs[i + kAhead].hash);
      const VertexRef& r = refs[i];
      const std::size_t t = r.corner / 4;
      table.add(run.key(t, static_cast<int>(r.corner % 4)), r.hash, run.normal(t));
    }
  }

  SummedMesh finish() && {
    SummedMesh out;
    out.groups = std::move(tables_);
    return out;
  }

 private:
  std::size_t owner(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(((hash >> 32) * tables_.size()) >> 32);
  }

  stl::VertexHasher hasher_;
  std::vector<VertexSumTable> tables_;
};

}  // namespace quarvex::ingest
