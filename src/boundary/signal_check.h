// Signal handlers during a call, run the way the interpreter runs them around its own
// system calls: whenever the call's work polls its Interrupt (after an interrupted system
// call, every few MiB of input, between the stages of the call), the pending handlers run
// on the calling thread. A handler that raises (KeyboardInterrupt for Ctrl-C) ends the
// call with its exception; one that returns lets the call go on.
//
// Invariants: calling thread only, with the interpreter lock held. The exception is taken
// out of the interpreter at once, so nothing is left pending while the call unwinds and
// releases what it made; it is owned here until the body hands it back as its outcome.
#pragma once

#include "boundary/outcome.h"
#include "boundary/py_ref.h"
#include "support/interrupt.h"

namespace quarvex::boundary {

class SignalCheck {
 public:
  SignalCheck() noexcept : interrupt_(&SignalCheck::run_handlers, this) {}
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  // What the call's work polls.
  Interrupt& interrupt() noexcept { return interrupt_; }

  // Runs the pending handlers now; true when one of them raised (or one did before).
  bool stop() noexcept { return interrupt_.poll(); }

  // The raised exception, once stop() or a poll of interrupt() said so. A PanicException
  // raised by a handler resumes as an internal fault, as after any other C API call.
  Error exception();

 private:
  static bool run_handlers(void* self) noexcept;

  Interrupt interrupt_;
  PyRef raised_;
};

}  // namespace quarvex::boundary
