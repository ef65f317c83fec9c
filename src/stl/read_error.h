// The error value of the STL input. Only `text` reaches the caller (behind the module's
// fixed prefix); the kind and the OS error number stay inside the reader. kInterrupted is
// not a reading failure: the call's Interrupt fired, and the owner raises what its check
// collected instead (the text is empty).
#pragma once

#include <string>

#include "support/result.h"

namespace quarvex::stl {

enum class ReadErrorKind { kOs, kInvalidInput, kInvalidData, kUnexpectedEof, kInterrupted };

struct ReadError {
  ReadErrorKind kind;
  int os_errno;  // meaningful for kOs only
  std::string text;
};

template <class T>
using ReadResult = Result<T, ReadError>;

// "<C library description> (os error N)". EINTR comes out of the reading only when the
// call's Interrupt fired (a plain interruption is retried), so it gives kInterrupted.
ReadError os_read_error(int errnum);
inline ReadError invalid_data_error(std::string text) {
  return ReadError{ReadErrorKind::kInvalidData, 0, std::move(text)};
}
inline ReadError unexpected_eof_error(std::string text) {
  return ReadError{ReadErrorKind::kUnexpectedEof, 0, std::move(text)};
}

}  // namespace quarvex::stl
