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

bool fail_missing(const Signature& sig, const Arg* out) {
  const char* missing[16];
  int n = 0;
  for (int i = 0; i < sig.nparams; ++i) {
    if (sig.params[i].required && out[i].obj == nullptr) missing[n++] = sig.params[i].name;
  }
  std::string s = sig.qualname;
  s.append("() missing ");
  s.append(std::to_string(n));
  s.append(n == 1 ? " required positional argument: " : " required positional arguments: ");
  append_name_list(s, missing, n);
  PyErr_SetString(PyExc_TypeError, s.c_str());
  return false;
}

bool fail_too_many(const Signature& sig, Py_ssize_t given) {
  std::string s = sig.qualname;
  s.append("() takes ");
  if (sig.nrequired != sig.nparams) {
    s.append("from ");
    s.append(std::to_string(sig.nrequired));
    s.append(" to ");
  }
  s.append(std::to_string(sig.nparams));
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

bool convert(const Param& p, PyObject* o, Arg& a, PyObject* unicode_error) {
  a.obj = o;
  switch (p.kind) {
    case ParamKind::OptStr:
      if (o == Py_None) {
        a.present = false;
        return true;
      }
      [[fallthrough]];
    case ParamKind::Str: {
      if (!PyUnicode_Check(o)) {
        Ref qn = Ref::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
        if (!qn) return false;
        // %S: a metaclass may make __qualname__ anything, not only text.
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': '%S' object cannot be converted to 'PyString'", p.name,
                     qn.get());
        return false;
      }
      Py_ssize_t len;
      const char* s = utf8_of(o, &len);
      if (s == nullptr) return prefix_pending_error(p.name, unicode_error);
      a.str = std::string_view(s, static_cast<size_t>(len));
      a.present = true;
      return true;
    }
    case ParamKind::U32:
    case ParamKind::U64: {
      Ref idx = Ref::steal(PyNumber_Index(o));
      if (!idx) return prefix_pending_error(p.name, unicode_error);
      const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return prefix_pending_error(p.name, unicode_error);
      }
      if (p.kind == ParamKind::U32 && v > 0xFFFFFFFFull) {
        PyErr_Format(PyExc_OverflowError, "argument '%s': Python int too large for C unsigned int",
                     p.name);
        return false;
      }
      a.u = v;
      a.present = true;
      return true;
    }
  }
  return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Arg* out, PyObject* unicode_error) {
  if (nargs > sig.nparams) return fail_too_many(sig, nargs);
  for (int i = 0; i < sig.nparams; ++i) {
    out[i].obj = i < nargs ? args[i] : nullptr;
    out[i].present = false;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t klen;
      const char* kname = utf8_of(key, &klen);
      // A name that is not valid UTF-8 (a lone surrogate) names no parameter.
      if (kname == nullptr) PyErr_Clear();
      int found = -1;
      for (int i = 0; kname != nullptr && i < sig.nparams; ++i) {
        if (std::strlen(sig.params[i].name) == static_cast<size_t>(klen) &&
            std::memcmp(sig.params[i].name, kname, static_cast<size_t>(klen)) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname,
                     key);
        return false;
      }
      if (out[found].obj != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname,
                     sig.params[found].name);
        return false;
      }
      out[found].obj = args[nargs + k];
    }
  }
  // Required parameters come first: enough positional arguments cover them.
  if (nargs < sig.nrequired) {
    for (int i = 0; i < sig.nparams; ++i) {
      if (sig.params[i].required && out[i].obj == nullptr) return fail_missing(sig, out);
    }
  }
  for (int i = 0; i < sig.nparams; ++i) {
    PyObject* o = out[i].obj;
    if (o == nullptr) continue;
    if (sig.params[i].kind == ParamKind::Str && PyUnicode_Check(o) &&
        PyUnicode_IS_COMPACT_ASCII(o)) {
      out[i].str = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                                    static_cast<size_t>(PyUnicode_GET_LENGTH(o)));
      out[i].present = true;
      continue;
    }
    if (!convert(sig.params[i], o, out[i], unicode_error)) return false;
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
