// Creation of the `quarvex` module object.
//
// Single-phase initialisation: the module is made once per process, filled with
// `reduce_stl_points`, cached for good, and refused to every interpreter other than the
// first one that imported it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary/call_entry.h"

namespace quarvex::boundary {

// The whole of PyInit_quarvex: a new reference to the module, or NULL with an exception set.
// `body` is what every call of reduce_stl_points runs after its arguments are converted.
PyObject* init_module(CallBody body) noexcept;

}  // namespace quarvex::boundary
