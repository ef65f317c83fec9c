// Random bytes from the operating system: the getrandom system call, or /dev/urandom where
// the kernel does not offer it (after waiting once for /dev/random to become readable).
#pragma once

#include <cstddef>
#include <string>

namespace quarvex {

// Fills `out` with `size` random bytes. On failure returns false and sets `error` to a
// description of the cause ("<strerror text> (os error N)").
bool fill_os_random(void* out, std::size_t size, std::string& error) noexcept;

}  // namespace quarvex
