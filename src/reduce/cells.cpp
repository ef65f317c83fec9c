#include "reduce/cells.h"

#include <algorithm>
#include <limits>

#include "support/fault.h"
#include "support/memory_reserve.h"
#include "support/prefetch.h"
#include "parallel/parallel_loop.h"
#include "support/random_source.h"

namespace quarvex::reduce {

namespace {
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
}  // namespace

void accumulate_cells(const PodVector<PointRecord>& records, const BoundingBox& box,
                      std::uint64_t n, CellMap& map) {
  if (records.size() >= kNone) throw_out_of_memory();
  const CellMap::CellHasher hasher = map.cells_.hasher();
  const std::uint64_t grid = n == 0 ? 1 : n <= (1u << 20) ? n * n * n : UINT64_MAX;
  // Record i's cell key; each piece reads its records once, in order.
  auto key_of = [&](std::size_t i) {
    prefetch_ahead(records.data() + i, kStreamAheadBytes);
    return cell_key(records[i], box, n);
  };
  if (grid <= std::max<std::uint64_t>(records.size(), 1 << 16)) {
    // A grid no larger than the record list: a cell's number is its key, counted in an
    // array, and only the occupied cells go into the table.
    parallel::collect_into(map.cell_of_, records.size(),
                           [&](std::size_t i) { return static_cast<std::uint32_t>(key_of(i)); });
    map.counts_.resize_uninitialized(static_cast<std::size_t>(grid));
    std::fill(map.counts_.begin(), map.counts_.end(), 0u);
    for (const std::uint32_t c : map.cell_of_) ++map.counts_[c];
    // Sized once for the occupied cells, so that it never grows.
    const auto occupied = static_cast<std::size_t>(
        std::count_if(map.counts_.begin(), map.counts_.end(), [](std::uint32_t k) { return k != 0; }));
    map.cells_ = decltype(map.cells_)(hasher, occupied);
    for (std::uint32_t c = 0; c < grid; ++c) {
      if (map.counts_[c] != 0) map.cells_.find_or_insert(c, hasher(c)).first->value = c;
    }
    return;
  }
  PodVector<std::uint64_t> keys;
  parallel::collect_into(keys, records.size(), key_of);
  map.cell_of_.resize_uninitialized(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto [entry, inserted] = map.cells_.find_or_insert(keys[i], hasher(keys[i]));
    if (inserted) {
      entry->value = static_cast<std::uint32_t>(map.counts_.size());
      map.counts_.push_back(0);
    }
    ++map.counts_[entry->value];
    map.cell_of_[i] = entry->value;
  }
}

std::vector<PointRecord> pick_representatives(const CellMap& map, const PodVector<PointRecord>& records) {
  std::vector<PointRecord> representatives;
  if (map.size() == 0) return representatives;
  ThreadRng& rng = thread_rng();
  // skip[c]: cell c's records still to pass before the drawn one (cells without a draw are
  // never looked at); order: the cells as drawn.
  const std::size_t numbers = map.counts_.size();
  PodVector<std::uint32_t> skip, order, chosen;
  skip.resize_uninitialized(numbers);
  order.reserve(map.size());
  map.cells_.for_each([&](const auto& entry) {
    skip[entry.value] = static_cast<std::uint32_t>(rng.index(map.counts_[entry.value]));
    order.push_back(entry.value);
  });
  chosen.resize_uninitialized(numbers);
  for (const std::uint32_t c : order) chosen[c] = kNone;
  for (std::size_t i = 0; i < records.size(); ++i) {
    // After its draw a cell's counter wraps to kNone and never reaches 0 again: a cell has
    // fewer than 2^32 - 1 records.
    if (skip[map.cell_of_[i]]-- == 0) chosen[map.cell_of_[i]] = static_cast<std::uint32_t>(i);
  }
  representatives.reserve(map.size());
  for (const std::uint32_t c : order) {
    if (chosen[c] == kNone) {
      // The location callers have always been given for this fault, kept as it is on purpose
      // (it is not where this line sits), so that the message stays the same as code moves.
      fault_at("missing value: no record was drawn from an occupied cell", FaultLocation{"src/lib.cpp", 155, 44});
    }
    representatives.push_back(records[chosen[c]]);
  }
  return representatives;
}

}  // namespace quarvex::reduce
