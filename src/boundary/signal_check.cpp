// Pending signal handlers during a call; see signal_check.h.
#include "boundary/signal_check.h"

#include "boundary/panic_exception.h"

namespace quarvex::boundary {

bool SignalCheck::run_handlers(void* self) noexcept {
  if (PyErr_CheckSignals() == 0) return false;
  static_cast<SignalCheck*>(self)->raised_ = PyRef::steal(PyErr_GetRaisedException());
  return true;
}

Error SignalCheck::exception() {
  PyErr_SetRaisedException(raised_.release());
  return fetch_pending_exception();
}

}  // namespace quarvex::boundary
