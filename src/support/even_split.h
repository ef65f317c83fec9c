// The even split of n items into parts: part g of `parts` is [n * g / parts,
// n * (g + 1) / parts), so the parts differ by at most one item, cover [0, n) in order and
// depend only on n, g and parts (the same cut on every thread and every run).
#pragma once

#include <cstddef>

namespace quarvex {

struct SplitPart {
  std::size_t first;
  std::size_t last;  // one past the part's last item

  constexpr std::size_t size() const noexcept { return last - first; }
};

// Part g (< parts) of n items split into `parts` parts; n * parts must fit a size_t.
constexpr SplitPart split_part(std::size_t n, std::size_t g, std::size_t parts) noexcept {
  return SplitPart{n * g / parts, n * (g + 1) / parts};
}

static_assert(split_part(10, 0, 3).first == 0 && split_part(10, 0, 3).last == 3);
static_assert(split_part(10, 2, 3).first == 6 && split_part(10, 2, 3).last == 10);

}  // namespace quarvex
