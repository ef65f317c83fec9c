// Random bytes from the operating system: the getrandom system call, or /dev/urandom where
// the kernel does not offer it (after waiting once for /dev/random to become readable).
#pragma once

#include <cstddef>
#include <string>

namespace quarvex {

// Fills `out` with `size` random bytes. On failure returns false and sets `error` to a
// description of the cause ("<strerror text> (os error N)").
bool fill_os_random(void* out, std::size_t size, std::string& error) noexcept;

// "<C library description> (os error N)", the description taken from XSI strerror_r into a
// 128-byte buffer. Shared with the file reader's error texts.
std::string os_error_text(int errnum);

}  // namespace quarvex
