// Owner of one strong interpreter reference.
//
// Invariants: a PyRef holds either nothing or exactly one strong reference, which it
// releases when it dies. It is created, moved and destroyed only on the calling thread
// while that thread holds the interpreter lock (inside an entry from the interpreter).
// `release()` hands the reference on, typically to a list or tuple slot or as the return
// value of an entry; the PyRef is empty afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarvex::boundary {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a reference the caller owns (a new reference from a C API call).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller; this owner becomes empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace quarvex::boundary
