#include "support/fault.h"

#include <cstdio>

namespace quarvex {

void report_fault(const std::string& message, FaultLocation where) noexcept {
  // The build maps the project root to nothing (-fmacro-prefix-map), so `file` is relative
  // to it ("src/..."), whichever folder the module was built in. Module threads carry no
  // name of their own. One fprintf keeps the report in one piece when threads fault at once.
  std::fprintf(stderr, "quarvex: internal fault in thread '<unnamed>' at %s:%u:%u: %s\n",
               where.file, static_cast<unsigned>(where.line), static_cast<unsigned>(where.column),
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
