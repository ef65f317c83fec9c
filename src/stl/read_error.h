// The error value of the STL input. Only `text` reaches the caller (behind the module's
// fixed prefix); the kind and the OS error number stay inside the reader.
#pragma once

#include <string>

#include "result.h"

namespace quarvex::stl {

enum class ReadErrorKind { kOs, kInvalidInput, kInvalidData, kUnexpectedEof };

struct ReadError {
  ReadErrorKind kind;
  int os_errno;  // meaningful for kOs only
  std::string text;
};

template <class T>
using ReadResult = Result<T, ReadError>;

}  // namespace quarvex::stl
