// Per-thread random numbers: a buffered ChaCha generator seeded from the operating system.
//
// Invariants of ChaChaRng:
//  - the buffer holds 64 output words (four consecutive blocks); index_ in [0, 64], 64
//    meaning exhausted; a refill generates blocks counter .. counter + 3 and advances the
//    counter by 4;
//  - a refill reseeds first when the byte budget is spent (every 256 refills, 64 KiB) or
//    when the process-wide fork counter has moved past the value recorded at the last seed;
//    a failed reseed keeps the old key and stream silently;
//  - a 64-bit value is two consecutive words, low word first, across a refill if need be;
//  - index(n) is exactly uniform over [0, n): 32-bit words and a 32-bit zone when
//    n <= 0xFFFFFFFF, 64-bit values and a 64-bit zone otherwise.
//
// The generator belongs to one thread and is never shared; only the fork counter is
// process-wide (atomic, incremented by the fork handlers, read at refills).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "support/fault.h"
#include "support/chacha.h"

namespace quarvex {

using ChaChaKey = std::array<std::uint32_t, 8>;

// Process-wide count of fork stages (prepare, parent and child each add one) since the
// first thread generator registered the fork handler.
std::uint64_t fork_counter() noexcept;

// Where the thread generator takes fresh keys and the fork count from.
struct OsSeedSource {
  bool fresh_key(ChaChaKey& key) const noexcept;  // getrandom or /dev/urandom
  std::uint64_t fork_count() const noexcept { return fork_counter(); }
};

template <int Rounds, class SeedSource>
class ChaChaRng {
 public:
  static constexpr std::size_t kWords = 64;
  static constexpr std::int64_t kReseedBytes = 65536;
  static constexpr std::int64_t kRefillBytes = kWords * 4;

  // Starts from `key` with counter 0 and stream 0, the buffer empty and the recorded fork
  // count 0 (so a generator made after a fork reseeds at its first refill).
  explicit ChaChaRng(const ChaChaKey& key, SeedSource source = SeedSource()) noexcept
      : key_(key), source_(std::move(source)) {}

  std::uint32_t next_u32() {
    if (index_ >= kWords) [[unlikely]] refill();
    return words_[index_++];
  }

  std::uint64_t next_u64() {
    std::uint32_t lo, hi;
    if (index_ < kWords - 1) [[likely]] {
      lo = words_[index_];
      hi = words_[index_ + 1];
      index_ += 2;
    } else if (index_ == kWords - 1) {
      lo = words_[kWords - 1];
      refill();
      hi = words_[0];
      index_ = 1;
    } else {
      refill();
      lo = words_[0];
      hi = words_[1];
      index_ = 2;
    }
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
  }

  // Exactly uniform in [0, n). Widening multiply: the high half is the candidate, accepted
  // when the low half falls below n << leading_zeros(n). The low halves that go with one
  // candidate step by n from below n, so below any multiple of n every candidate has the
  // same number of them; this multiple has the top bit set, so at most half the draws are
  // rejected. n == 0 is a caller bug.
  std::uint64_t index(std::uint64_t n) {
    if (n == 0) [[unlikely]] fault("uniform index drawn from an empty range");
    if (n <= 0xFFFFFFFFull) {
      const auto n32 = static_cast<std::uint32_t>(n);
      const std::uint32_t zone = (n32 << std::countl_zero(n32)) - 1;
      for (;;) {
        const std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * n32;
        if (static_cast<std::uint32_t>(m) <= zone) return m >> 32;
      }
    }
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
      const unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * n;
      if (static_cast<std::uint64_t>(m) <= zone) return static_cast<std::uint64_t>(m >> 64);
    }
  }

  // A uniformly chosen element, or nullptr (and no word drawn) when the list is empty.
  template <class T>
  const T* choose(const T* data, std::size_t n) {
    if (n == 0) return nullptr;
    return data + index(n);
  }

  // Drops the buffered words, so the next draw refills (and reseeds if a fork was counted).
  void discard_buffer() noexcept { index_ = kWords; }

 private:
  [[gnu::noinline]] void refill() {
    if (bytes_left_ <= 0 || fork_ahead()) {
      reseed();
    } else {
      bytes_left_ -= kRefillBytes;
    }
    std::uint32_t key[8];
    for (int i = 0; i < 8; ++i) key[i] = key_[i];
    std::uint32_t input[16];
    for (std::size_t b = 0; b < kWords / 16; ++b) {
      chacha_input(key, counter_ + b, stream_, input);
      chacha_block<Rounds>(input, &words_[16 * b]);
    }
    counter_ += kWords / 16;
    index_ = 0;
  }

  bool fork_ahead() const noexcept {
    return static_cast<std::int64_t>(fork_count_ - source_.fork_count()) < 0;
  }

  void reseed() noexcept {
    // Read the counter before taking the key: a fork in between makes the next refill
    // reseed again rather than be missed.
    const std::uint64_t forks = source_.fork_count();
    ChaChaKey fresh;
    if (source_.fresh_key(fresh)) {
      key_ = fresh;
      counter_ = 0;
      stream_ = 0;
    }
    fork_count_ = forks;
    bytes_left_ = kReseedBytes - kRefillBytes;
  }

  std::uint32_t words_[kWords];
  std::size_t index_ = kWords;
  ChaChaKey key_;
  std::uint64_t counter_ = 0;
  std::uint64_t stream_ = 0;
  std::int64_t bytes_left_ = kReseedBytes;
  std::uint64_t fork_count_ = 0;
  [[no_unique_address]] SeedSource source_;
};

// The generator of the thread that draws: ChaCha with 12 rounds, keyed from the OS.
using ThreadRng = ChaChaRng<12, OsSeedSource>;

// The calling thread's generator, created and seeded on the first call. Faults with
// "could not initialize thread_rng: <description>" when the OS gives no seed, and with
// "libc::pthread_atfork failed with code N" when the fork handler cannot be registered.
ThreadRng& thread_rng();

}  // namespace quarvex
