// The process-wide `pyo3_runtime.PanicException` type and the pending-exception takers.
//
// The type is a BaseException subclass, so `except Exception` does not swallow an internal
// fault. It is made on first need and cached for the life of the process; it is never put
// into the module's namespace. Everything here runs on the calling thread with the
// interpreter lock held.
#pragma once

#include <optional>
#include <source_location>

#include "boundary/outcome.h"

namespace quarvex::boundary {

// Borrowed pointer to the cached type; creates it on first use. A failed creation is an
// internal fault.
PyObject* panic_exception_type();

// Takes the interpreter's pending exception as a materialised error, or nothing if none is
// pending. A pending PanicException is not an error but a fault coming back: it is printed
// with its traceback and resumed as an InternalFault with the same message (thrown, not
// reported again).
std::optional<Error> take_pending_exception();

// As above, but yields a SystemError when nothing is pending.
Error fetch_pending_exception();

// Prints the pending exception (clearing it) and faults with "Python API call failed":
// the response to any failed object creation.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

}  // namespace quarvex::boundary
