// Whether a result of a given size can be held in memory, checked before the count
// adjustment and the output are built, so that a `clusters` too large for the memory left
// (topped up or trimmed) becomes a clear MemoryError instead of a failed object creation
// or the process being killed by the kernel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quarvex::reduce {

// Bytes one returned point costs: the record, its two output vectors, and the Python side
// (a slot in each outer list, two inner lists, six floats). Measured as the growth of the
// call's peak resident memory (VmHWM) per point between calls returning 1 and 3 million
// points of a one-triangle mesh, on Python 3.12 and 3.13 (x86-64): 414.
inline constexpr std::uint64_t kBytesPerReturnedPoint = 414;

// Results of at most this many points (8 MiB) are not checked: less than the interpreter
// itself took to start, so a process that cannot find it fails alike in whatever it does
// next, and an allocation that fails still raises MemoryError. The check reads /proc/meminfo,
// /proc/self/statm under an address-space limit, and up to two files for each level of the control
// group (once per process also the two that find the group), which would cost a small call
// more than all its own work.
inline constexpr std::uint64_t kUncheckedPoints = (std::uint64_t{8} << 20) / kBytesPerReturnedPoint;

// The memory this process can still obtain: the smallest of the system's available memory
// (with free swap), the address-space limit left, and the control group's limit left.
std::uint64_t available_memory_bytes() noexcept;

// A message for the MemoryError when `points` returned points cannot fit, else nothing;
// reads what it needs from the system once, and only above kUncheckedPoints.
std::optional<std::string> result_too_large(std::uint64_t points);

}  // namespace quarvex::reduce
