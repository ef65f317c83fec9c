#include "reduce/cells.h"

#include "support/fault.h"
#include "parallel/parallel_loop.h"
#include "parallel/random_source.h"

namespace quarvex::reduce {

void accumulate_cells(const PodVector<PointRecord>& records, const BoundingBox& box,
                      std::uint64_t n, CellMap& map) {
  parallel::parallel_for(records.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const PointRecord& record = records[i];
      map.update(cell_key(record, box, n), [&](CellPoints& cell) { cell.push(record); });
    }
  });
}

std::vector<PointRecord> pick_representatives(CellMap& map) {
  std::vector<PointRecord> representatives;
  parallel::ThreadRng& rng = parallel::thread_rng();
  map.for_each([&](std::uint64_t, const CellPoints& cell) {
    if (cell.size() == 0) return;  // never left empty by accumulate_cells
    const PointRecord* chosen = rng.choose(cell.data(), cell.size());
    if (chosen == nullptr) {
      fault_at("missing value: no record was drawn from an occupied cell", FaultLocation{"src/lib.cpp", 155, 44});
    }
    if (representatives.capacity() == 0) representatives.reserve(4);
    representatives.push_back(*chosen);
  });
  return representatives;
}

}  // namespace quarvex::reduce
