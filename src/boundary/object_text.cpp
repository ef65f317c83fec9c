// Renderings of interpreter objects into UTF-8 text; see object_text.h.
#include "boundary/object_text.h"

#include "boundary/capi.h"
#include "boundary/py_ref.h"
#include "support/utf8.h"

namespace quarvex::boundary {

std::string str_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, size);
  PyErr_Clear();
  // Lone surrogates: pass them through as bytes, then let the one lossy decoder mark every
  // ill-formed sequence with U+FFFD.
  PyRef raw = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!raw) {
    PyErr_Clear();
    return "\xEF\xBF\xBD";
  }
  return utf8_lossy(capi::bytes_view(raw.get()));
}

bool try_str(PyObject* object, std::string& out) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) return false;
  out = str_utf8(text.get());
  return true;
}

std::string type_qualname(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return str_utf8(name.get());
}

std::string cannot_convert_text(PyObject* value, const char* target) {
  // Appended piece by piece: g++ 12 reports a false -Wrestrict on "'" + std::string.
  std::string text = "'";
  text += type_qualname(Py_TYPE(value));
  text += "' object cannot be converted to '";
  text += target;
  text += "'";
  return text;
}

std::string debug_render(PyObject* exception) {
  if (exception == nullptr) return "<no exception set>";
  PyRef repr = PyRef::steal(PyObject_Repr(exception));
  if (!repr) {
    PyErr_Clear();
    return "<unprintable " + type_qualname(Py_TYPE(exception)) + " object>";
  }
  return str_utf8(repr.get());
}

}  // namespace quarvex::boundary
