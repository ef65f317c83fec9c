#include "parallel/thread_count.h"

#include <algorithm>
#include <cstdlib>

#include "parallel/cpu_count.h"

namespace quarvex::parallel {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t choose_thread_count(const char* num_threads, const char* rs_num_cpus,
                                std::size_t cpus) noexcept {
  std::uint64_t chosen = cpus;
  const auto first = num_threads != nullptr ? parse_thread_count(num_threads) : std::nullopt;
  if (first) {
    if (*first != 0) chosen = *first;  // "0" asks for the CPU count without a second opinion
  } else if (rs_num_cpus != nullptr) {
    const auto second = parse_thread_count(rs_num_cpus);
    if (second && *second != 0) chosen = *second;
  }
  chosen = std::min<std::uint64_t>(chosen, kMaxThreads);
  return static_cast<std::size_t>(std::max<std::uint64_t>(chosen, 1));
}

std::size_t thread_count_from_env() noexcept {
  return choose_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                             available_cpus());
}

}  // namespace quarvex::parallel
