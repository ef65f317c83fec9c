// Raising held errors and converting outcomes; see outcome.h.
#include "boundary/outcome.h"

#include "boundary/panic_exception.h"

namespace quarvex::boundary {
namespace {

// The argument of a deferred error as a str. Ill-formed UTF-8 is repaired rather than
// refused, so an error's own text can never keep it from being raised.
PyRef text_object(const std::string& text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace

Error Error::materialised(PyRef instance) noexcept {
  return Error(Form::kMaterialised, std::move(instance), nullptr, std::string());
}

Error Error::deferred(PyObject* static_type, std::string text) noexcept {
  return Error(Form::kDeferred, PyRef(), static_type, std::move(text));
}

Error Error::panic(std::string message) noexcept {
  return Error(Form::kPanic, PyRef(), nullptr, std::move(message));
}

Error Error::no_memory() noexcept { return Error(Form::kNoMemory, PyRef(), nullptr, std::string()); }

void Error::raise() && {
  switch (form_) {
    case Form::kMaterialised:
      PyErr_SetRaisedException(instance_.release());
      return;
    case Form::kNoMemory:
      PyErr_NoMemory();
      return;
    case Form::kDeferred: {
      PyRef type = PyRef::borrow(type_);
      PyRef value = text_object(text_);
      // Without memory for the text the interpreter's own MemoryError is pending; it
      // stands in for this error rather than ending the process.
      if (!value) return;
      if (PyExceptionClass_Check(type.get())) {
        PyErr_SetObject(type.get(), value.get());
      } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
      }
      return;
    }
    case Form::kPanic: {
      PyRef type = PyRef::borrow(panic_exception_type());
      PyRef text = text_object(text_);
      if (!text) return;
      // A 1-tuple makes the message the instance's only argument.
      PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
      if (!args) return;
      PyErr_SetObject(type.get(), args.get());
      return;
    }
  }
}

PyRef Error::into_instance() && {
  if (form_ == Form::kMaterialised) return std::move(instance_);
  std::move(*this).raise();
  return PyRef::steal(PyErr_GetRaisedException());
}

PyObject* Outcome::convert() && {
  if (PyRef* object = std::get_if<PyRef>(&value_)) {
    if (*object) return object->release();
    PyErr_SetString(PyExc_SystemError, "quarvex: an entry ended without a result");
    return nullptr;
  }
  std::move(std::get<Error>(value_)).raise();
  return nullptr;
}

Error read_failure_error(const quarvex::stl::ReadError& error) {
  return Error::deferred(PyExc_OSError, kReadFailurePrefix + error.text);
}

Error memory_error(std::string message) {
  return Error::deferred(PyExc_MemoryError, std::move(message));
}

}  // namespace quarvex::boundary
