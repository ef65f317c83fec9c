// The C entry of `reduce_stl_points(file_path, clusters)`.
//
// The entry binds and converts the arguments on the calling thread and never keeps a
// reference to an argument, then hands plain C++ values to the call body. The body belongs
// to the module's root (src/lib.cpp), which gives it to init_module; the boundary never
// includes the root.
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

// The call proper. `path` is the file system encoding of the path text as is (no
// terminator, no checks).
using CallBody = Outcome (*)(std::string path, std::uint64_t clusters);

// Set once by init_module, before the function object exists, under the interpreter lock;
// read by every call, also under the interpreter lock. Never changes afterwards.
void set_call_body(CallBody body) noexcept;

}  // namespace quarvex::boundary
