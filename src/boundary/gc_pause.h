// Pauses the interpreter's cyclic garbage collector for a scope.
//
// Building the result creates two container objects per point; every few hundred of them
// the collector would start a pass over all young containers, and with a million points it
// runs thousands of passes over objects that cannot form cycles. The previous state is
// restored on every exit path. Calling thread only, with the interpreter lock held.
#pragma once

#include <Python.h>

namespace quarvex::boundary {

class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

}  // namespace quarvex::boundary
