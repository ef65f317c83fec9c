// g++ defines _GNU_SOURCE, under which <string.h> declares the GNU strerror_r (returning
// char*). The XSI form is reached through the one declaration glibc documents for it:
// compiling this file without _GNU_SOURCE and with _POSIX_C_SOURCE >= 200112L.
#undef _GNU_SOURCE
#ifndef _POSIX_C_SOURCE
#define _POSIX_C_SOURCE 200809L
#endif
#include <string.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/os_error.h"
#include "support/utf8.h"

namespace quarvex {

static_assert(std::is_same_v<decltype(::strerror_r(0, std::declval<char*>(), 0)), int>,
              "strerror_r must be the XSI form here");

std::string os_error_text(int errnum) {
  char buffer[128] = {0};
  if (::strerror_r(errnum, buffer, sizeof buffer) != 0) buffer[0] = '\0';
  std::string out = utf8_lossy(std::string_view(buffer, ::strnlen(buffer, sizeof buffer)));
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace quarvex
