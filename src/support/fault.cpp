#include "support/fault.h"

#include <cstdio>

namespace quarvex {
namespace {
thread_local const char* t_thread_name = nullptr;
}

void set_fault_thread_name(const char* name) noexcept { t_thread_name = name; }

void report_fault(const std::string& message, FaultLocation where) noexcept {
  // One fprintf keeps the report in one piece when several threads fault at once.
  std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%s\n",
               t_thread_name != nullptr ? t_thread_name : "<unnamed>", where.file,
               static_cast<unsigned>(where.line), static_cast<unsigned>(where.column),
               message.c_str());
  std::fflush(stderr);
}

void fault(std::string message, std::source_location where) {
  fault_at(std::move(message), FaultLocation{where.file_name(), where.line(), where.column()});
}

void fault_at(std::string message, FaultLocation where) {
  report_fault(message, where);
  throw InternalFault(std::move(message));
}

}  // namespace quarvex
