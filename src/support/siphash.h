// SipHash-c-d: a keyed 64-bit hash with c compression and d finalisation rounds.
//
// The concurrent cell map hashes its 8-byte keys with SipHash-1-3 under per-map random keys,
// so bucket and shard placement cannot be predicted from outside. The round counts are
// template parameters so that the same code can be checked against the published
// SipHash-2-4 reference outputs.
//
// Invariants: the key (k0, k1) is the 16 key bytes read as two little-endian words; the
// message is read as little-endian 8-byte words, the last block carrying len mod 256 in its
// top byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarvex {

namespace sip_detail {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  SipState(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0(k0 ^ 0x736f6d6570736575ull),
        v1(k1 ^ 0x646f72616e646f6dull),
        v2(k0 ^ 0x6c7967656e657261ull),
        v3(k1 ^ 0x7465646279746573ull) {}

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  template <int C>
  void compress(std::uint64_t m) noexcept {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  }

  template <int D>
  std::uint64_t finish() noexcept {
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t w = 0;
  for (int i = 0; i < 8; ++i) w |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return w;
}

}  // namespace sip_detail

// SipHash-C-D of `len` bytes at `data` under the key (k0, k1).
template <int C, int D>
std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const void* data,
                      std::size_t len) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  sip_detail::SipState s(k0, k1);
  const std::size_t whole = len & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) s.compress<C>(sip_detail::load_le64(p + i));
  std::uint64_t last = static_cast<std::uint64_t>(len & 0xff) << 56;
  for (std::size_t i = whole; i < len; ++i)
    last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - whole));
  s.compress<C>(last);
  return s.finish<D>();
}

// SipHash-C-D of the 8 little-endian bytes of `message`: one block plus the length block.
template <int C, int D>
std::uint64_t siphash_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t message) noexcept {
  sip_detail::SipState s(k0, k1);
  s.compress<C>(message);
  s.compress<C>(std::uint64_t{8} << 56);
  return s.finish<D>();
}

inline std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1,
                                   std::uint64_t message) noexcept {
  return siphash_u64<1, 3>(k0, k1, message);
}

}  // namespace quarvex
