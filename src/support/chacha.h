// The ChaCha block function with a configurable (even) round count.
//
// The 16-word input block is the constant "expand 32-byte k", eight key words, a 64-bit
// block counter (low word first) and a 64-bit stream number (low word first). The output is
// the input after `Rounds` rounds (Rounds / 2 column-and-diagonal double rounds), added word
// by word to the input. Output words are the little-endian words of the key stream.
#pragma once

#include <bit>
#include <cstdint>

namespace quarvex {

inline constexpr std::uint32_t kChaChaConstants[4] = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                      0x6b206574u};

namespace chacha_detail {

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) noexcept {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace chacha_detail

// Builds the input block from the key, block counter and stream number.
inline void chacha_input(const std::uint32_t (&key)[8], std::uint64_t counter,
                         std::uint64_t stream, std::uint32_t (&input)[16]) noexcept {
  for (int i = 0; i < 4; ++i) input[i] = kChaChaConstants[i];
  for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
  input[12] = static_cast<std::uint32_t>(counter);
  input[13] = static_cast<std::uint32_t>(counter >> 32);
  input[14] = static_cast<std::uint32_t>(stream);
  input[15] = static_cast<std::uint32_t>(stream >> 32);
}

template <int Rounds>
void chacha_block(const std::uint32_t (&input)[16], std::uint32_t* output) noexcept {
  static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int r = 0; r < Rounds; r += 2) {
    chacha_detail::quarter_round(x, 0, 4, 8, 12);
    chacha_detail::quarter_round(x, 1, 5, 9, 13);
    chacha_detail::quarter_round(x, 2, 6, 10, 14);
    chacha_detail::quarter_round(x, 3, 7, 11, 15);
    chacha_detail::quarter_round(x, 0, 5, 10, 15);
    chacha_detail::quarter_round(x, 1, 6, 11, 12);
    chacha_detail::quarter_round(x, 2, 7, 8, 13);
    chacha_detail::quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) output[i] = x[i] + input[i];
}

}  // namespace quarvex
