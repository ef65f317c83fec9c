// The few C API calls whose fast form is outside the limited API, each with the form the
// abi3 wheel uses.
//
// A build with Py_LIMITED_API defined (CMake's QUARVEX_LIMITED_API, the cp312-abi3 wheel)
// uses only the stable ABI of CPython 3.12, so one module serves 3.12 and every later
// CPython. The other builds (source builds and the per-version wheels) keep the macros that
// read and write the objects directly. Either form: calling thread only, interpreter lock
// held; the setters steal the reference to `item` and are only used on fresh containers
// whose slots are still empty.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace quarvex::boundary::capi {

// Stores `item` in slot `i` of a new list, stealing the reference.
inline void list_init_item(PyObject* list, Py_ssize_t i, PyObject* item) noexcept {
#ifdef Py_LIMITED_API
  // Fails only for an index out of range or a non-list, neither of which a caller passes.
  (void)PyList_SetItem(list, i, item);
#else
  PyList_SET_ITEM(list, i, item);
#endif
}

// Stores `item` in slot `i` of a new tuple, stealing the reference.
inline void tuple_init_item(PyObject* tuple, Py_ssize_t i, PyObject* item) noexcept {
#ifdef Py_LIMITED_API
  (void)PyTuple_SetItem(tuple, i, item);
#else
  PyTuple_SET_ITEM(tuple, i, item);
#endif
}

// Size of a tuple the interpreter made (the keyword names of a vectorcall).
inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#ifdef Py_LIMITED_API
  return PyTuple_Size(tuple);
#else
  return PyTuple_GET_SIZE(tuple);
#endif
}

// Borrowed item `i` of such a tuple.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) noexcept {
#ifdef Py_LIMITED_API
  return PyTuple_GetItem(tuple, i);
#else
  return PyTuple_GET_ITEM(tuple, i);
#endif
}

// The bytes of a bytes object, valid while it lives.
inline std::string_view bytes_view(PyObject* bytes) noexcept {
#ifdef Py_LIMITED_API
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
    PyErr_Clear();  // not bytes: callers pass only what an encoder returned
    return {};
  }
  return std::string_view(data, static_cast<std::size_t>(size));
#else
  return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
#endif
}

}  // namespace quarvex::boundary::capi
