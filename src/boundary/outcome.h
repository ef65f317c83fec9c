// Errors held by the module and the outcome of an entry from the interpreter.
//
// An Error is an exception not yet handed to the interpreter: either materialised (an
// owned exception instance) or deferred (an exception type fixed at creation plus a UTF-8
// text; the instance is made only when the error is raised or inspected). An Outcome is
// either a new reference to return or an Error. Both are built and consumed on the calling
// thread; a deferred error touches no interpreter object until it is raised, so it can be
// made anywhere, e.g. while unwinding from a C++ allocation failure.
#pragma once

#include <string>
#include <variant>

#include "boundary/py_ref.h"
#include "stl/read_error.h"

namespace quarvex::boundary {

class Error {
 public:
  // An exception instance taken from the interpreter.
  static Error materialised(PyRef instance) noexcept;
  // `static_type` must live for the whole process (one of the interpreter's PyExc_* types).
  static Error deferred(PyObject* static_type, std::string text) noexcept;
  // A PanicException carrying an internal fault's message.
  static Error panic(std::string message) noexcept;
  // The interpreter's MemoryError, raised without allocating.
  static Error no_memory() noexcept;

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;

  // Sets the error as the interpreter's current exception (exactly one is set afterwards).
  // Faults only if the PanicException type cannot be made.
  void raise() &&;
  // The exception instance, created now if deferred. Nothing is left pending.
  PyRef into_instance() &&;

 private:
  enum class Form { kMaterialised, kDeferred, kPanic, kNoMemory };
  Error(Form form, PyRef instance, PyObject* type, std::string text) noexcept
      : form_(form), instance_(std::move(instance)), type_(type), text_(std::move(text)) {}

  Form form_;
  PyRef instance_;           // kMaterialised
  PyObject* type_ = nullptr; // kDeferred, borrowed, lives for the process
  std::string text_;         // kDeferred, kPanic
};

// What an entry ends with; converted exactly once, by Outcome::convert at the entry
// (entry_guard.h).
class Outcome {
 public:
  Outcome(PyRef object) noexcept : value_(std::move(object)) {}
  Outcome(Error error) noexcept : value_(std::move(error)) {}

  // Returns the new reference, or raises the error and returns NULL.
  PyObject* convert() &&;

 private:
  std::variant<PyRef, Error> value_;
};

// The fixed prefix of every reading failure the caller sees.
inline constexpr char kReadFailurePrefix[] = "Ошибка чтения STL-файла: ";

// A plain OSError (never a subclass, errno None) with the prefix and the reader's text.
Error read_failure_error(const quarvex::stl::ReadError& error);
// A MemoryError with the given text.
Error memory_error(std::string message);

}  // namespace quarvex::boundary
