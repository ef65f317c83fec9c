// Keyed 64-bit mixing for the module's one hash table type (support/flat_table.h), private to
// one owner at a time: the vertex merge's sum tables and the numbering of occupied cells.
// Their order of iteration only has to be unpredictable, not attack-proof, and they sit on
// the hottest paths of a call, so a two-round folded multiply serves instead of a
// cryptographic hash.
#pragma once

#include <cstdint>

namespace quarvex {

inline std::uint64_t folded_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Hash of a 128-bit message (lo, hi) under the key (k0, k1).
inline std::uint64_t keyed_mix(std::uint64_t lo, std::uint64_t hi, std::uint64_t k0,
                               std::uint64_t k1) noexcept {
  const std::uint64_t h = folded_multiply(lo ^ k0, hi ^ k1 ^ 0x9E3779B97F4A7C15ull);
  return folded_multiply(h ^ k1, 0xBF58476D1CE4E5B9ull ^ k0);
}

}  // namespace quarvex
