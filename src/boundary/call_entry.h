// The C entry of `reduce_stl_points(file_path, clusters)` and the body it hands on to.
//
// The entry binds and converts the arguments on the calling thread and never keeps a
// reference to an argument; the body receives plain C++ values only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "boundary/outcome.h"

namespace quarvex::boundary {

// METH_FASTCALL | METH_KEYWORDS entry registered on the module.
extern "C" PyObject* reduce_stl_points_entry(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The call proper, defined beside PyInit_quarvex. `path` is the file system encoding of
// the path text as is (no terminator, no checks).
Outcome reduce_stl_points_body(std::string path, std::uint64_t clusters);

}  // namespace quarvex::boundary
