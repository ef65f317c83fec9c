// Reading a regular file by offset (pread), for the parallel readers: pieces of the file are
// read by several workers at once, and none of them moves the descriptor's offset, which the
// sequential reader may still need at 0 afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quarvex::ingest {

// The size of the file behind `fd` when it is a regular file; nothing for pipes, devices,
// directories and descriptors that cannot be examined.
std::optional<std::uint64_t> regular_file_size(int fd) noexcept;

// Of the first `size` bytes of the regular file behind `fd`, at most how many the file system
// really stores: fewer for a sparse file, whose holes read as zeros but take no disk.
std::uint64_t stored_bytes(int fd, std::uint64_t size) noexcept;

// Reads exactly `size` bytes at `offset`. Returns 0, the errno of a failed read, or -1 when
// the file ends first. Interrupted reads are repeated.
int read_at(int fd, std::byte* out, std::size_t size, std::uint64_t offset) noexcept;

}  // namespace quarvex::ingest
