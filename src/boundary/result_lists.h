// The returned 2-tuple of position and normal lists, built from the output arrays.
//
// The outer lists are made at their final length and filled by index; every vector costs
// one inner list, and equal components share one float object where that pays. Runs on the
// calling thread with the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary/py_ref.h"
#include "support/pod_vector.h"
#include "support/vec3.h"

namespace quarvex::boundary {

// Consumes both arrays; returns the 2-tuple (positions, normals), each a list of lists of
// three floats, each widened exactly from f32 (components with the same bits may be one
// object, across both lists too). A failed object creation faults with "Python API call
// failed".
PyRef result_lists(quarvex::PodVector<quarvex::Vec3f>&& positions, quarvex::PodVector<quarvex::Vec3f>&& normals);

}  // namespace quarvex::boundary
