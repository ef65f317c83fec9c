// What every entry from the interpreter shares: the catching of faults into an outcome, and
// the fault trap around the outcome conversion.
//
// Invariants: no C++ exception leaves `run_entry`. An InternalFault becomes a
// PanicException with its message, std::bad_alloc the interpreter's MemoryError, anything
// else a PanicException with a generic message. A fault raised while converting the
// outcome itself has nowhere to go and ends the process. On return exactly one of
// "result non-NULL" and "one exception set" holds.
#pragma once

#include <cstdlib>
#include <exception>
#include <new>

#include "boundary/outcome.h"
#include "support/fault.h"

namespace quarvex::boundary {

// Message of a fault whose payload carries no text of its own (20 characters).
inline constexpr char kGenericFaultMessage[] = "native code panicked";
static_assert(sizeof(kGenericFaultMessage) - 1 == 20);

// Runs `body` (returning an Outcome) and turns whatever it throws into an error outcome.
template <class Body>
Outcome catch_faults(Body& body) noexcept {
  try {
    try {
      return body();
    } catch (const InternalFault& fault) {
      return Error::panic(fault.message());
    } catch (const std::bad_alloc&) {
      return Error::no_memory();
    } catch (...) {
      return Error::panic(kGenericFaultMessage);
    }
  } catch (...) {
    // Copying a fault's message can itself run out of memory.
    return Error::no_memory();
  }
}

[[noreturn]] inline void uncaught_fault_at_boundary() noexcept {
  report_fault("uncaught panic at ffi boundary", FaultLocation{__FILE__, __LINE__, 1});
  std::abort();
}

// One entry from the interpreter, start to finish.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  Outcome outcome = catch_faults(body);
  try {
    return std::move(outcome).convert();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    uncaught_fault_at_boundary();
  }
}

}  // namespace quarvex::boundary
