// The worker count of the process-wide pool, chosen from the environment or the CPU count.
//
// Invariants: the result is always in [1, kMaxThreads]. The parse is a pure function so the
// rules can be checked without touching the environment; only thread_count_from_env()
// reads it, and the pool calls that once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quarvex::parallel {

inline constexpr std::size_t kMaxThreads = 65535;

// An unsigned decimal count: ASCII digits only, at most one leading '+', no blanks, and a
// value that fits in 64 bits. Anything else (including text that is not UTF-8, which can
// never consist of digits only) gives nullopt.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// The choice itself. `num_threads` and `rs_num_cpus` are the values of "RAYON_NUM_THREADS"
// and "RAYON_RS_NUM_CPUS" (nullptr when unset); `cpus` is the available CPU count.
//   - a valid "RAYON_NUM_THREADS" >= 1 wins; a valid "0" there means `cpus` at once;
//   - otherwise a valid "RAYON_RS_NUM_CPUS" >= 1; anything else there is ignored;
//   - otherwise `cpus`.
// The result is capped at kMaxThreads and is at least 1.
std::size_t choose_thread_count(const char* num_threads, const char* rs_num_cpus,
                                std::size_t cpus) noexcept;

// choose_thread_count over the current environment and available_cpus().
std::size_t thread_count_from_env() noexcept;

}  // namespace quarvex::parallel
