// PanicException type cache and the pending-exception takers; see panic_exception.h.
#include "boundary/panic_exception.h"

#include <cstdio>

#include "boundary/object_text.h"
#include "boundary/py_ref.h"
#include "support/fault.h"

namespace quarvex::boundary {
namespace {

// 235 bytes: a leading newline, one sentence, a blank line, the BaseException note.
constexpr char kPanicDoc[] =
    "\n"
    "Raised when quarvex's native code, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof(kPanicDoc) - 1 == 235);

// Written once, on the calling thread under the interpreter lock; read under the same lock.
// Owns one strong reference that is never released.
PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type != nullptr) return g_panic_type;
  PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr) {
    PyRef pending = PyRef::steal(PyErr_GetRaisedException());
    fault("Failed to initialize new exception type.: " + debug_render(pending.get()));
  }
  // Creating a class runs interpreter code, which may have re-entered and filled the cache.
  if (g_panic_type != nullptr) {
    Py_DECREF(created);
    return g_panic_type;
  }
  g_panic_type = created;
  return g_panic_type;
}

std::optional<Error> take_pending_exception() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return std::nullopt;
  if (Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(panic_exception_type())) {
    return Error::materialised(std::move(exception));
  }
  // A fault of this module that went through Python code and came back: resume it rather
  // than treating it as an ordinary error. It was reported when it first arose.
  std::string message;
  if (!try_str(exception.get(), message)) {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  std::fputs("--- quarvex: resuming a native fault after fetching a PanicException from Python ---\n"
             "Python stack trace below:\n",
             stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  throw InternalFault(std::move(message));
}

Error fetch_pending_exception() {
  if (std::optional<Error> pending = take_pending_exception()) return std::move(*pending);
  return Error::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void api_call_failed(std::source_location where) {
  PyErr_Print();
  fault("Python API call failed", where);
}

}  // namespace quarvex::boundary
