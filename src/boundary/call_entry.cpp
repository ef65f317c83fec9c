// Binding and conversion of the arguments of reduce_stl_points.
//
// The checks run in a fixed order and the first failure decides the exception: positional
// count, keywords in the order given, missing parameters, file_path, clusters. Argument
// objects are only borrowed; every temporary reference is released before the next step.
#include "boundary/call_entry.h"

#include <cstring>
#include <optional>

#include "boundary/capi.h"
#include "boundary/entry_guard.h"
#include "boundary/object_text.h"
#include "boundary/panic_exception.h"
#include "support/result.h"

namespace quarvex::boundary {
namespace {

constexpr const char* kParameterNames[2] = {"file_path", "clusters"};
constexpr Py_ssize_t kParameterCount = 2;

Error type_error(std::string message) {
  return Error::deferred(PyExc_TypeError, std::move(message));
}

// Fills `slots` from the positional and keyword arguments, or says why it cannot.
std::optional<Error> bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                    PyObject* (&slots)[kParameterCount]) {
  slots[0] = nullptr;
  slots[1] = nullptr;
  if (args != nullptr) {
    for (Py_ssize_t i = 0; i < nargs && i < kParameterCount; ++i) slots[i] = args[i];
  }
  if (nargs > kParameterCount) {
    return type_error("reduce_stl_points() takes 2 positional arguments but " +
                      std::to_string(nargs) + " were given");
  }
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = capi::tuple_size(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      PyObject* keyword = capi::tuple_item(kwnames, i);
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
      if (text == nullptr) PyErr_Clear();  // not UTF-8: it can name no parameter
      int parameter = -1;
      for (int p = 0; text != nullptr && p < kParameterCount; ++p) {
        if (static_cast<std::size_t>(size) == std::strlen(kParameterNames[p]) &&
            std::memcmp(text, kParameterNames[p], static_cast<std::size_t>(size)) == 0) {
          parameter = p;
          break;
        }
      }
      if (parameter < 0) {
        std::string shown;
        if (!try_str(keyword, shown)) {
          PyErr_Clear();
          shown = "<unprintable object>";
        }
        return type_error("reduce_stl_points() got an unexpected keyword argument '" + shown + "'");
      }
      if (slots[parameter] != nullptr) {
        return type_error("reduce_stl_points() got multiple values for argument '" +
                          std::string(text, static_cast<std::size_t>(size)) + "'");
      }
      slots[parameter] = args[nargs + i];
    }
  }
  if (nargs < kParameterCount && (slots[0] == nullptr || slots[1] == nullptr)) {
    if (slots[0] == nullptr && slots[1] == nullptr) {
      return type_error(
          "reduce_stl_points() missing 2 required positional arguments: 'file_path' and "
          "'clusters'");
    }
    return type_error(std::string("reduce_stl_points() missing 1 required positional argument: '") +
                      (slots[0] == nullptr ? "file_path" : "clusters") + "'");
  }
  return std::nullopt;
}

// A plain TypeError gets the parameter's name in front; any other error passes unchanged.
// The original TypeError is dropped, but its own cause is kept.
Error remap_argument_error(const char* name, Error error) {
  PyRef original = std::move(error).into_instance();
  if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return original ? Error::materialised(std::move(original)) : fetch_pending_exception();
  }
  std::string text;
  if (!try_str(original.get(), text)) {
    PyErr_WriteUnraisable(original.get());
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(original.get())));
    if (type_name) {
      text = "<unprintable " + str_utf8(type_name.get()) + " object>";
    } else {
      PyErr_Clear();
      text = "<unprintable object>";
    }
  }
  PyRef remapped =
      type_error("argument '" + std::string(name) + "': " + text).into_instance();
  // Steals the new reference from GetCause; NULL leaves no cause but still suppresses
  // the context, as every explicit cause does.
  PyException_SetCause(remapped.get(), PyException_GetCause(original.get()));
  return Error::materialised(std::move(remapped));
}

Result<std::string, Error> convert_path(PyObject* argument) {
  PyRef fs_path = PyRef::steal(PyOS_FSPath(argument));
  if (!fs_path) return remap_argument_error("file_path", fetch_pending_exception());
  if (!PyUnicode_Check(fs_path.get())) {
    return remap_argument_error("file_path",
                                type_error(cannot_convert_text(fs_path.get(), "PyString")));
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(fs_path.get()));
  if (!encoded) api_call_failed();
  return std::string(capi::bytes_view(encoded.get()));
}

Result<std::uint64_t, Error> convert_clusters(PyObject* argument) {
  unsigned long long value = 0;
  if (PyLong_Check(argument)) {
    value = PyLong_AsUnsignedLongLong(argument);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(argument));
    if (!index) return remap_argument_error("clusters", fetch_pending_exception());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All bits set is both the error signal and a valid count.
  if (value == static_cast<unsigned long long>(-1)) {
    if (std::optional<Error> error = take_pending_exception()) {
      return remap_argument_error("clusters", std::move(*error));
    }
  }
  return static_cast<std::uint64_t>(value);
}

CallBody g_call_body = nullptr;  // see set_call_body

}  // namespace

void set_call_body(CallBody body) noexcept { g_call_body = body; }

extern "C" PyObject* reduce_stl_points_entry(PyObject* /*self*/, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&]() -> Outcome {
    PyObject* slots[kParameterCount];
    if (std::optional<Error> error = bind_arguments(args, nargs, kwnames, slots)) {
      return std::move(*error);
    }
    Result<std::string, Error> path = convert_path(slots[0]);
    if (!path) return std::move(path).error();
    Result<std::uint64_t, Error> clusters = convert_clusters(slots[1]);
    if (!clusters) return std::move(clusters).error();
    return g_call_body(std::move(path).value(), clusters.value());
  });
}

}  // namespace quarvex::boundary
