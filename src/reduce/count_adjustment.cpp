#include "reduce/count_adjustment.h"

#include <string>
#include <utility>

#include "support/fault.h"
#include "support/random_source.h"

namespace quarvex::reduce {
namespace {

[[noreturn]] void index_fault(std::uint64_t index, std::uint64_t len) {
  fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
        std::to_string(index));
}

}  // namespace

void adjust_count(std::vector<PointRecord>& list, const PodVector<PointRecord>& points,
                  std::uint64_t clusters) {
  ThreadRng& rng = thread_rng();
  const std::uint64_t r = list.size();
  if (r > clusters) {
    // Full Fisher–Yates pass (r − 1 draws, falling i), then keep the first `clusters`.
    for (std::uint64_t i = r - 1; i >= 1; --i) {
      const std::uint64_t j = rng.index(i + 1);
      if (j >= r) index_fault(j, r);
      std::swap(list[i], list[j]);
    }
    list.resize(clusters);
    return;
  }
  if (points.empty()) return;
  list.reserve(clusters);
  while (list.size() < clusters) {
    const PointRecord* drawn = rng.choose(points.data(), points.size());
    if (drawn == nullptr) index_fault(0, points.size());
    list.push_back(*drawn);
  }
}

}  // namespace quarvex::reduce
