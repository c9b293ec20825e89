#include "binder.h"

#include <cstring>
#include <string>

namespace vrell::py {
namespace {

PyObject* arg_unicode_error_str(PyObject* self, PyObject*) {
  Ref name = Ref::steal(PyObject_GetAttrString(self, "argument"));
  if (!name) return nullptr;
  Ref base = Ref::steal(reinterpret_cast<PyTypeObject*>(PyExc_UnicodeEncodeError)->tp_str(self));
  if (!base) return nullptr;
  return PyUnicode_FromFormat("argument '%U': %U", name.get(), base.get());
}

PyMethodDef g_arg_unicode_error_str_def = {"__str__", arg_unicode_error_str, METH_NOARGS, nullptr};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void append_name_list(std::string& s, const char* const* names, int n) {
  for (int i = 0; i < n; ++i) {
    if (i > 0) {
      if (n > 2) s.push_back(',');
      s.append(i == n - 1 ? " and " : " ");
    }
    s.push_back('\'');
    s.append(names[i]);
    s.push_back('\'');
  }
}

std::string qualname(const Shape& shape) {
  std::string s = kClassName;
  s.push_back('.');
  s.append(shape.name);
  s.append("()");
  return s;
}

bool fail_missing(const Shape& shape, PyObject* const* objs) {
  const char* missing[16];
  int n = 0;
  for (int i = 0; i < shape.nrequired; ++i) {
    if (objs[i] == nullptr) missing[n++] = shape.params[i];
  }
  std::string s = qualname(shape);
  s.append(" missing ");
  s.append(std::to_string(n));
  s.append(n == 1 ? " required positional argument: " : " required positional arguments: ");
  append_name_list(s, missing, n);
  PyErr_SetString(PyExc_TypeError, s.c_str());
  return false;
}

bool fail_too_many(const Shape& shape, Py_ssize_t given) {
  std::string s = qualname(shape);
  s.append(" takes ");
  if (shape.nrequired != shape.nparams) {
    s.append("from ");
    s.append(std::to_string(shape.nrequired));
    s.append(" to ");
  }
  s.append(std::to_string(shape.nparams));
  s.append(" positional arguments but ");
  s.append(std::to_string(given));
  s.append(given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, s.c_str());
  return false;
}

// Re-raises the pending exception with "argument 'name': " in front of its text.
bool prefix_pending_error(const char* name, PyObject* unicode_error) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), traceback = Ref::steal(tb);
  if (v && PyErr_GivenExceptionMatches(t.get(), PyExc_UnicodeEncodeError) &&
      unicode_error != nullptr) {
    Ref enc = Ref::steal(PyUnicodeEncodeError_GetEncoding(v.get()));
    Ref obj = Ref::steal(PyUnicodeEncodeError_GetObject(v.get()));
    Ref reason = Ref::steal(PyUnicodeEncodeError_GetReason(v.get()));
    Py_ssize_t start = 0, end = 0;
    if (enc && obj && reason && PyUnicodeEncodeError_GetStart(v.get(), &start) == 0 &&
        PyUnicodeEncodeError_GetEnd(v.get(), &end) == 0) {
      Ref err = Ref::steal(PyObject_CallFunction(unicode_error, "OOnnO", enc.get(), obj.get(),
                                                 start, end, reason.get()));
      if (err && PyObject_SetAttrString(err.get(), "argument",
                                        Ref::steal(PyUnicode_FromString(name)).get()) == 0) {
        PyErr_SetObject(unicode_error, err.get());
        return false;
      }
      return false;  // an error creating it is already set
    }
    PyErr_Clear();
  }
  Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
  if (!text) return false;
  PyErr_Format(t.get(), "argument '%s': %U", name, text.get());
  return false;
}

}  // namespace

bool to_text_slow(PyObject* o, const char* name, PyObject* unicode_error, std::string_view* out) {
  if (!PyUnicode_Check(o)) {
    Ref qn =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (!qn) return false;
    // %S: a metaclass may make __qualname__ anything, not only text.
    PyErr_Format(PyExc_TypeError, "argument '%s': '%S' object cannot be converted to 'PyString'",
                 name, qn.get());
    return false;
  }
  Py_ssize_t len;
  const char* s = utf8_of(o, &len);
  if (s == nullptr) return prefix_pending_error(name, unicode_error);
  *out = std::string_view(s, static_cast<size_t>(len));
  return true;
}

bool to_unsigned(PyObject* o, const char* name, uint64_t max, PyObject* unicode_error,
                 uint64_t* out) {
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) return prefix_pending_error(name, unicode_error);
  const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return prefix_pending_error(name, unicode_error);
  }
  if (v > max) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': Python int too large for C unsigned int",
                 name);
    return false;
  }
  *out = v;
  return true;
}

bool collect(const Shape& shape, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             PyObject** objs) {
  if (nargs > shape.nparams) return fail_too_many(shape, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) objs[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t klen;
      const char* kname = utf8_of(key, &klen);
      // A name that is not valid UTF-8 (a lone surrogate) names no parameter.
      if (kname == nullptr) PyErr_Clear();
      int found = -1;
      for (int i = 0; kname != nullptr && i < shape.nparams; ++i) {
        if (std::strlen(shape.params[i]) == static_cast<size_t>(klen) &&
            std::memcmp(shape.params[i], kname, static_cast<size_t>(klen)) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                     qualname(shape).c_str(), key);
        return false;
      }
      if (objs[found] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     qualname(shape).c_str(), shape.params[found]);
        return false;
      }
      objs[found] = args[nargs + k];
    }
  }
  // Required parameters come first: enough positional arguments cover them.
  if (nargs < shape.nrequired) {
    for (int i = 0; i < shape.nrequired; ++i) {
      if (objs[i] == nullptr) return fail_missing(shape, objs);
    }
  }
  return true;
}

PyObject* new_unicode_error_class() {
  Ref cls = Ref::steal(
      PyErr_NewException("vrell_mesh.UnicodeEncodeError", PyExc_UnicodeEncodeError, nullptr));
  if (!cls) return nullptr;
  Ref str = Ref::steal(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), &g_arg_unicode_error_str_def));
  if (!str || PyObject_SetAttrString(cls.get(), "__str__", str.get()) < 0) return nullptr;
  return cls.release();
}

}  // namespace vrell::py
