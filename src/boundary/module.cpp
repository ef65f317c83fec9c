// Module definition, the initialisation step, interpreter identity and the module cache.
#include "boundary/module.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "boundary/call_entry.h"
#include "boundary/entry_guard.h"
#include "boundary/object_text.h"
#include "boundary/panic_exception.h"
#include "boundary/py_ref.h"
#include "support/fault.h"
#include "support/result.h"

namespace quarvex::boundary {
namespace {

// No state, no slots, no static method table: the function is attached while filling.
PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quarvex",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Identifier of the first interpreter that imported the module, -1 before that.
// Claimed once by compare-and-swap (sequentially consistent) by whichever importing thread
// gets there first, read by every later import; never reset, so a second interpreter is
// refused even after the first has gone.
std::atomic<std::int64_t> g_interpreter_id{-1};

// The module object, NULL until the first successful import. Written and read only by
// importing threads while they hold the interpreter lock. Owns one strong reference that
// is never released.
PyObject* g_module = nullptr;

// Interned attribute names, created on first use. Same lock rule and lifetime as g_module.
PyObject* g_name_attr = nullptr;
PyObject* g_all_attr = nullptr;

constexpr char kSubinterpreterMessage[] =
    "quarvex: native modules do not yet support subinterpreters; "
    "see https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// The module's code assumes the interpreter lock (its caches above, the pool's hand-off of
// results); a free-threaded interpreter has none, so the module refuses to load there.
constexpr char kFreeThreadedMessage[] =
    "quarvex: this module needs the interpreter lock and does not run on a free-threaded "
    "CPython (3.13t, 3.14t, 3.15t); use the regular build of the same version.";

// The C API version the module is built for: the stable ABI's for the abi3 wheel.
#ifdef Py_LIMITED_API
constexpr int kModuleApiVersion = PYTHON_ABI_VERSION;
#else
constexpr int kModuleApiVersion = PYTHON_API_VERSION;
#endif

constexpr char kFunctionDoc[] = "reduce_stl_points(file_path, clusters)\n--\n\n";
static_assert(sizeof(kFunctionDoc) - 1 == 43);

PyObject* interned(PyObject*& slot, const char* text) {
  if (slot != nullptr) return slot;
  PyObject* name = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
  if (name == nullptr) api_call_failed();
  PyUnicode_InternInPlace(&name);
  slot = name;
  return slot;
}

Error cannot_convert(PyObject* value, const char* target) {
  return Error::deferred(PyExc_TypeError, cannot_convert_text(value, target));
}

// The export list of `module`, created empty if the module has none.
Result<PyRef, Error> export_list(PyObject* module) {
  PyObject* all_name = interned(g_all_attr, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PyRef missing = fetch_pending_exception().into_instance();
    if (!PyErr_GivenExceptionMatches(missing.get(), PyExc_AttributeError)) {
      return Error::materialised(std::move(missing));
    }
    all = PyRef::steal(PyList_New(0));
    if (!all) api_call_failed();
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) return fetch_pending_exception();
    return all;
  }
  if (!PyList_Check(all.get())) return cannot_convert(all.get(), "PyList");
  return all;
}

// Attaches `reduce_stl_points` to a freshly created module.
std::optional<Error> fill_module(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return fetch_pending_exception();

  // The function object points at its record for as long as it lives, which may be the
  // life of the process; the record is therefore never freed once the function exists.
  auto record = std::make_unique<PyMethodDef>(PyMethodDef{
      "reduce_stl_points",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&reduce_stl_points_entry)),
      METH_FASTCALL | METH_KEYWORDS,
      kFunctionDoc,
  });
  PyRef function = PyRef::steal(PyCMethod_New(record.get(), module, module_name.get(), nullptr));
  if (!function) return fetch_pending_exception();
  record.release();
  module_name = PyRef();

  PyRef function_name =
      PyRef::steal(PyObject_GetAttr(function.get(), interned(g_name_attr, "__name__")));
  if (!function_name) return fetch_pending_exception();
  if (!PyUnicode_Check(function_name.get())) return cannot_convert(function_name.get(), "PyString");

  Result<PyRef, Error> all = export_list(module);
  if (!all) return std::move(all).error();
  if (PyList_Append(all.value().get(), function_name.get()) < 0) {
    PyRef failure = fetch_pending_exception().into_instance();
    fault("could not append __name__ to __all__: " + debug_render(failure.get()));
  }

  if (PyObject_SetAttr(module, function_name.get(), function.get()) < 0) {
    return fetch_pending_exception();
  }
  return std::nullopt;
}

}  // namespace

PyObject* init_module(CallBody body) noexcept {
  return run_entry([body]() -> Outcome {
#ifdef Py_GIL_DISABLED
    if (true) return Error::deferred(PyExc_ImportError, kFreeThreadedMessage);
#endif
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fetch_pending_exception();
    std::int64_t claimed = -1;
    if (!g_interpreter_id.compare_exchange_strong(claimed, id) && claimed != id) {
      return Error::deferred(PyExc_ImportError, kSubinterpreterMessage);
    }
    if (g_module != nullptr) return PyRef::borrow(g_module);
    set_call_body(body);

    PyRef module = PyRef::steal(PyModule_Create2(&g_definition, kModuleApiVersion));
    if (!module) return fetch_pending_exception();
    if (std::optional<Error> error = fill_module(module.get())) return std::move(*error);
    // Filling runs interpreter code; a re-entrant import may have cached a module already.
    if (g_module == nullptr) g_module = module.release();
    return PyRef::borrow(g_module);
  });
}

}  // namespace quarvex::boundary
