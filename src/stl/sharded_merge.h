// The parallel vertex merge: every distinct vertex of a file once, with the sum of the stored
// normals of the faces that name it, without numbering the vertices or keeping the faces.
//
// Vertices are split by a keyed hash into G groups, each with its own VertexSumTable. A loop
// piece that owns group g reads every triangle of a run in file order and handles only the
// vertices of its group, so no two threads ever touch one table and every sum is added up in
// file order, whatever the thread count. Each owner hashes every vertex of the run (the
// price of needing no locks and no second pass); G is therefore kept at the thread count.
//
// Shared state: `groups_[g]` (table and previous-triangle cache) is written by the one piece
// that processes g in a loop; loops run one after another, and the pool's join orders one
// loop's writes before the next loop's reads. The hasher is written once, at construction.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "stl/vertex_index_map.h"
#include "stl/vertex_sum_table.h"
#include "support/hash_keys.h"
#include "support/vec3.h"

namespace quarvex::stl {

// The result of the parallel ingest: the distinct vertices of the mesh, split into hash
// groups, each with the sum of its faces' normals.
struct SummedMesh {
  std::vector<VertexSumTable> groups;

  std::size_t vertex_count() const noexcept {
    std::size_t n = 0;
    for (const VertexSumTable& g : groups) n += g.size();
    return n;
  }
};

class ShardedMerge {
 public:
  // `groups` >= 1; `expected_vertices` only sizes the tables at the start.
  ShardedMerge(std::size_t groups, std::size_t expected_vertices) : hasher_{next_map_keys()} {
    groups_.reserve(groups);
    for (std::size_t g = 0; g < groups; ++g) groups_.emplace_back(expected_vertices / groups);
  }

  std::size_t group_count() const noexcept { return groups_.size(); }

  // Adds the triangles of `run` (in order) to group g. Run: size(), normal(t), key(t, v).
  template <class Run>
  void merge(std::size_t g, const Run& run);

  SummedMesh finish() && {
    SummedMesh out;
    out.groups.reserve(groups_.size());
    for (Group& group : groups_) out.groups.push_back(std::move(group.table));
    groups_.clear();
    return out;
  }

 private:
  // Triangles are taken in batches: the keys of a whole batch are hashed and their slots
  // prefetched before any is looked up, so that cold lookups overlap. A vertex equal to one of
  // the previous triangle's (strips and fans repeat two of three) reuses that slot directly.
  static constexpr std::size_t kBatch = 16;

  struct Group {
    explicit Group(std::size_t expected) : table(expected) {}
    VertexSumTable table;
    VertexKey previous_key[3] = {};
    SumSlot* previous_slot[3] = {};  // null: not this group's vertex
    bool has_previous = false;
  };

  std::uint32_t owner(std::uint64_t hash) const noexcept {
    return static_cast<std::uint32_t>(((hash >> 32) * groups_.size()) >> 32);
  }

  VertexHasher hasher_;
  std::vector<Group> groups_;
};

template <class Run>
void ShardedMerge::merge(std::size_t g, const Run& run) {
  Group& group = groups_[g];
  VertexSumTable& table = group.table;
  const std::size_t count = run.size();
  VertexKey key[kBatch * 3];
  std::uint64_t hash[kBatch * 3];
  std::int8_t same_as[kBatch * 3];  // k: equals vertex k of the triangle before; -1: mine; -2: not mine
  for (std::size_t base = 0; base < count; base += kBatch) {
    const std::size_t n = std::min(kBatch, count - base);
    if (table.reserve_more(3 * n, hasher_)) group.has_previous = false;
    VertexKey before[3];
    bool has_before = group.has_previous;
    for (int v = 0; v < 3; ++v) before[v] = group.previous_key[v];
    for (std::size_t t = 0; t < n; ++t) {
      for (int v = 0; v < 3; ++v) {
        const std::size_t i = t * 3 + v;
        key[i] = run.key(base + t, v);
        std::int8_t same = -1;
        if (has_before) {
          for (int k = 0; k < 3; ++k) {
            if (key[i] == before[k]) {
              same = static_cast<std::int8_t>(k);
              break;
            }
          }
        }
        if (same < 0) {
          hash[i] = hasher_(key[i]);
          if (owner(hash[i]) == g) {
            table.prefetch(hash[i]);
          } else {
            same = -2;
          }
        }
        same_as[i] = same;
      }
      for (int v = 0; v < 3; ++v) before[v] = key[t * 3 + v];
      has_before = true;
    }
    for (std::size_t t = 0; t < n; ++t) {
      const Vec3f normal = run.normal(base + t);
      SumSlot* slot[3];
      for (int v = 0; v < 3; ++v) {
        const std::size_t i = t * 3 + v;
        const int same = same_as[i];
        if (same >= 0) {
          slot[v] = group.previous_slot[same];
          if (slot[v] != nullptr) VertexSumTable::add_to(*slot[v], normal);
        } else if (same == -1) {
          slot[v] = table.add(key[i], hash[i], normal);
        } else {
          slot[v] = nullptr;
        }
      }
      for (int v = 0; v < 3; ++v) {
        group.previous_slot[v] = slot[v];
        group.previous_key[v] = key[t * 3 + v];
      }
      group.has_previous = true;
    }
  }
}

}  // namespace quarvex::stl
