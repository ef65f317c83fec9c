// The one internal-fault type of the module.
//
// An internal fault is an unrecoverable failure inside the module's own code: a violated
// invariant, a failed interpreter object creation, a failed seeding. `fault()` writes one
// report to standard error at the moment the fault arises, as one line
//   quarvex: internal fault in thread '<unnamed>' at src/<file>:<line>:<column>: <message>
// and throws `InternalFault`. The exception then unwinds to the entry from the
// interpreter, which converts it exactly once into `pyo3_runtime.PanicException`.
//
// A fault carried to another thread travels as std::exception_ptr and is rethrown there
// with `std::rethrow_exception`; that never reports again. A fault resumed from a Python
// PanicException is thrown directly (`throw InternalFault(...)`), also without a report.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace quarvex {

class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Source position named in a fault report.
struct FaultLocation {
  const char* file;
  std::uint32_t line;
  std::uint32_t column;
};

// Writes the fault report to standard error. Never throws.
void report_fault(const std::string& message, FaultLocation where) noexcept;

// Reports and throws. The default location is the caller's own.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());
// Reports at a fixed, published location and throws.
[[noreturn]] void fault_at(std::string message, FaultLocation where);

}  // namespace quarvex
