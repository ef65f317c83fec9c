#include "support/hash_keys.h"

#include "support/fault.h"
#include "support/os_random.h"

namespace quarvex {
namespace {
struct ThreadKeys {
  bool ready = false;
  HashKeys keys{};
};
thread_local ThreadKeys t_keys;
}  // namespace

HashKeys next_map_keys() {
  if (!t_keys.ready) {
    std::uint64_t seed[2];
    std::string error;
    if (!fill_os_random(seed, sizeof seed, error)) {
      fault("failed to retrieve random hash map seed: " + error);
    }
    t_keys.keys = HashKeys{seed[0], seed[1]};
    t_keys.ready = true;
  }
  const HashKeys out = t_keys.keys;
  t_keys.keys.k0 += 1;  // unsigned: wraps
  return out;
}

}  // namespace quarvex
