// Per-thread random hash keys.
//
// Each thread draws one key pair from the operating system the first time it needs one.
// Every map made on the thread copies the current pair and then adds 1 (wrapping) to the
// thread's k0, so two maps made in turn differ in k0 and every process starts from fresh
// random keys. Thread-local: no locking.
#pragma once

#include <cstdint>

namespace quarvex {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
};

// Keys for one new map. Faults with "failed to retrieve random hash map seed: ..." when the
// operating system's random source fails.
HashKeys next_map_keys();

}  // namespace quarvex
