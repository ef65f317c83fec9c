// Cells of the grid: the cell of every record, then one uniformly random record per occupied
// cell as the cell's representative.
//
// The cells are counted, not filled. accumulate_cells computes every record's cell key on the
// workers, then, on the calling thread, gives each occupied cell a number (its key itself
// when the grid has no more cells than there are records or 2^16, whichever is larger, else a
// running number), counts
// each cell's records and enters the occupied cells in a table under fresh random hash keys. For each cell in
// the table's order, pick_representatives draws an index below the cell's count from the
// calling thread's generator and takes the cell's record at that index, the cell's records
// counted in record-list order. That is the draw a list of the cell's records would get: the
// order inside such a list is free (workers appending in parallel interleave arbitrarily),
// and record-list order is one of them. The table's order changes with its keys from call to
// call, so the representatives come in an order unrelated to space. No record is copied
// before it is chosen, and no lock is taken.
//
// Invariants once accumulate_cells has run: the table maps each occupied cell key to its
// number c < counts_.size(); counts_[c] is the number of records i with cell_of_[i] == c,
// >= 1 for every number in the table and 0 for the others. The record list must stay
// unchanged between the two calls.
#pragma once

#include <cstdint>
#include <vector>

#include "support/fast_hash.h"
#include "support/flat_table.h"
#include "support/hash_keys.h"
#include "support/pod_vector.h"
#include "reduce/grid.h"
#include "reduce/point_record.h"

namespace quarvex::reduce {

class CellMap {
 public:
  // Fresh random keys for the table's hash.
  CellMap() : CellMap(next_map_keys()) {}
  explicit CellMap(HashKeys keys) : cells_(CellHasher{keys.k0, keys.k1}) {}

  // Occupied cells.
  std::size_t size() const noexcept { return cells_.size(); }

  // fn(cell key, record count) for every occupied cell, in the table's order. Used by the
  // tests only.
  template <class Fn>
  void for_each(Fn&& fn) const {
    cells_.for_each([&](const auto& entry) { fn(entry.key, std::size_t{counts_[entry.value]}); });
  }

 private:
  struct CellSlot {
    using Key = std::uint64_t;
    std::uint64_t key;
    std::uint32_t value;  // the cell's number
    std::uint32_t in_use;
    bool used() const noexcept { return in_use != 0; }
    bool holds(std::uint64_t k) const noexcept { return key == k; }
    void claim(std::uint64_t k) noexcept { key = k, in_use = 1; }
    std::uint64_t stored_key() const noexcept { return key; }
  };
  struct CellHasher {
    std::uint64_t k0, k1;
    std::uint64_t operator()(std::uint64_t key) const noexcept { return keyed_mix(key, 0, k0, k1); }
  };

  friend void accumulate_cells(const PodVector<PointRecord>&, const BoundingBox&, std::uint64_t,
                               CellMap&);
  friend std::vector<PointRecord> pick_representatives(const CellMap&,
                                                       const PodVector<PointRecord>&);

  FlatTable<CellSlot, CellHasher> cells_;                      // cell key -> cell number
  PodVector<std::uint32_t> cell_of_;                           // record -> cell number
  PodVector<std::uint32_t> counts_;                            // cell number -> its records
};

// Gives every record of `records` its cell (by cell_key), and numbers and counts the
// occupied cells in `map`, which must be new; nothing is sorted or moved. Fewer than 2^32 - 1
// records (more throw std::bad_alloc: nothing here could hold them anyway).
void accumulate_cells(const PodVector<PointRecord>& records, const BoundingBox& box,
                      std::uint64_t n, CellMap& map);

// One draw per occupied cell from the calling thread's generator, in the map's order; the
// same `records` as given to accumulate_cells.
std::vector<PointRecord> pick_representatives(const CellMap& map, const PodVector<PointRecord>& records);

}  // namespace quarvex::reduce
