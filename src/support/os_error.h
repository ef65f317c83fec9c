// The text of an operating-system error number, as the file reader, the random source and
// the worker pool report it: "<C library description> (os error N)".
#pragma once

#include <string>

namespace quarvex {

// The description is what the XSI strerror_r writes into a 128-byte buffer, taken as UTF-8
// with every invalid sequence replaced by U+FFFD (the C library's locale may not be UTF-8).
std::string os_error_text(int errnum);

}  // namespace quarvex
