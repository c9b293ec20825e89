// The one argument binder of the binding: a declarative table per function
// (its parameters, their kinds and defaults) turned into converted arguments
// or into the exact TypeError texts of a failed call.
#pragma once

#include <cstdint>
#include <string_view>

#include "pyref.h"

namespace vrell::py {

enum class ParamKind : unsigned char {
  Str,     // str, required or with a string default (None refused)
  OptStr,  // str or None; None counts as left out
  U32,     // int in 0..2^32-1
  U64,     // int in 0..2^64-1
};

struct Param {
  const char* name;
  ParamKind kind;
  bool required;
};

struct Signature {
  const char* qualname;  // "VrellMesh.publish" (texts add "()")
  const Param* params;
  int nparams;
  int nrequired;
};

struct Arg {
  bool present = false;  // false: left out (or None for OptStr)
  std::string_view str;  // Str / OptStr: UTF-8 view valid while the argument lives
  PyObject* obj = nullptr;
  uint64_t u = 0;  // U32 / U64
};

// Binds a vectorcall argument vector. On failure sets the Python error and
// returns false. `out` has room for sig.nparams arguments; text that cannot be
// encoded raises `unicode_error` (from new_unicode_error_class()).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Arg* out, PyObject* unicode_error);

// UTF-8 view of a str, or nullptr with an exception set (UnicodeEncodeError).
inline const char* utf8_of(PyObject* s, Py_ssize_t* len) {
  if (PyUnicode_IS_COMPACT_ASCII(s)) {
    *len = PyUnicode_GET_LENGTH(s);
    return static_cast<const char*>(PyUnicode_DATA(s));
  }
  return PyUnicode_AsUTF8AndSize(s, len);
}

// A new UnicodeEncodeError subclass whose text starts with the argument's
// name (the host's own class formats its text itself and takes no prefix).
PyObject* new_unicode_error_class();

}  // namespace vrell::py
