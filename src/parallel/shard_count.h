// The number of shards of a concurrent cell map: about four per CPU, a power of two.
#pragma once

#include <cstddef>

namespace quarvex::parallel {

// The smallest power of two >= 4 * cpus; 4 when the count is unknown (0).
std::size_t shard_count_for(std::size_t cpus) noexcept;

// shard_count_for(available CPUs), computed on the first call and cached for the process.
std::size_t default_shard_count() noexcept;

}  // namespace quarvex::parallel
