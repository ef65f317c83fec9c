// Text renderings of interpreter objects for messages built by the module.
//
// All functions run on the calling thread with the interpreter lock held and fall back to
// a fixed text when the interpreter cannot render; only try_str leaves an exception
// pending, and only when it says so.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace quarvex::boundary {

// UTF-8 of a str; characters that UTF-8 cannot hold (lone surrogates) become U+FFFD.
std::string str_utf8(PyObject* text);
// str() of any object as lossy UTF-8. Returns false, with str()'s failure left pending
// for the caller to report, if the object cannot be rendered.
bool try_str(PyObject* object, std::string& out);
// Qualified name of a type, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);
// "'{T}' object cannot be converted to '{target}'", {T} the qualified name of value's type.
std::string cannot_convert_text(PyObject* value, const char* target);
// A one-line rendering of an exception instance for fault messages.
std::string debug_render(PyObject* exception);

}  // namespace quarvex::boundary
