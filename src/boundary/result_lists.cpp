// The result of a successful call as interpreter objects; see result_lists.h.
#include "boundary/result_lists.h"

#include "boundary/capi.h"
#include "boundary/panic_exception.h"

namespace quarvex::boundary {

PyRef vec3_array_to_list(quarvex::PodVector<quarvex::Vec3f>&& array) {
  // Owning the storage here frees it when the conversion ends, on success or fault.
  const quarvex::PodVector<quarvex::Vec3f> owned(std::move(array));
  const auto count = static_cast<Py_ssize_t>(owned.size());
  PyRef outer = PyRef::steal(PyList_New(count));
  if (!outer) api_call_failed();
  for (Py_ssize_t i = 0; i < count; ++i) {
    const quarvex::Vec3f& v = owned[static_cast<std::size_t>(i)];
    const float components[3] = {v.x, v.y, v.z};
    PyRef inner = PyRef::steal(PyList_New(3));
    if (!inner) api_call_failed();
    for (Py_ssize_t k = 0; k < 3; ++k) {
      PyObject* number = PyFloat_FromDouble(static_cast<double>(components[k]));
      if (number == nullptr) api_call_failed();
      capi::list_init_item(inner.get(), k, number);
    }
    capi::list_init_item(outer.get(), i, inner.release());
  }
  return outer;
}

PyRef result_tuple(PyRef positions, PyRef normals) {
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) api_call_failed();
  capi::tuple_init_item(tuple.get(), 0, positions.release());
  capi::tuple_init_item(tuple.get(), 1, normals.release());
  return tuple;
}

}  // namespace quarvex::boundary
