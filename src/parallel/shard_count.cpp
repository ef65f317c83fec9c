#include "parallel/shard_count.h"

#include <algorithm>
#include <bit>

#include "parallel/cpu_count.h"

namespace quarvex::parallel {

std::size_t shard_count_for(std::size_t cpus) noexcept {
  if (cpus == 0) return 4;
  // Far beyond any machine, but keeps 4 * cpus and its power of two representable.
  cpus = std::min<std::size_t>(cpus, std::size_t{1} << 24);
  return std::bit_ceil(4 * cpus);
}

std::size_t default_shard_count() noexcept {
  // Thread-safe one-time initialisation; the value never changes afterwards.
  static const std::size_t count = shard_count_for(available_cpus());
  return count;
}

}  // namespace quarvex::parallel
