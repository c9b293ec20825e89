// The Python module `vrell_mesh`: the VrellMesh class, its methods and the
// health snapshot. Each method binds its arguments through the one table-driven
// binder, calls one component and converts the result; no Python object is made
// while a component's lock is held (components hand out copies or text).
//
// Free-threaded interpreters: the module declares that it does not need the
// interpreter lock, so calls on one mesh may run in parallel. What makes that
// safe, item by item:
// - Component tables: each is guarded by its own lock (guarded.h), taken once
//   per operation; the binding keeps no state of its own about a mesh.
// - Arguments: read as UTF-8 views of the caller's str objects, which the
//   caller keeps alive for the whole call and which never change; the UTF-8
//   form of a non-ASCII str is made by the interpreter under its own lock.
// - Per-call buffers (the output scratch, the canonical-text buffer, the
//   reader's workspace, the clock's last-second text) are thread-local, and no
//   Python code runs while one is in use, so no call can reenter it.
// - Module state (the class and the two exception classes, PanicException
//   among them) is written once by the module's exec slot before the module is
//   published, and only read afterwards; each interpreter has its own.
// - Process-wide: the hash key (drawn once, under the C++ runtime's
//   initialisation guard) and the system clock object, both immutable after.
// - Lifetime: a mesh is freed only when its last reference goes, which no
//   running call can be holding.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "platform.h"
#include "scan.h"

namespace vrell::binding {

// ---------------------------------------------------------------------------
// Conversions

// Output text held between a component's answer and the new str; reused so that
// a call allocates nothing for it once warm.
std::string& scratch() {
  thread_local std::string kept;
  std::string& buf = *platform::held(&kept);
  buf.clear();
  return buf;
}

PyObject* new_str(std::string_view s) {
  if (platform::kFastPaths) {
    // Nearly all text here is ASCII: made as such, it is read once and needs
    // no decoding; other text is given up early and decoded.
    // (Decoded, text may need less room than as ASCII: a failed allocation
    // is left to the decoder to repeat.)
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (o == nullptr) {
      PyErr_Clear();
    } else if (scan::copy_ascii(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(o)), s.data(),
                                s.size())) {
      return o;
    } else {
      Py_DECREF(o);
    }
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

PyObject* exception_for(const ModuleState& st, ErrorKind kind) {
  switch (kind) {
    case ErrorKind::AgentNotFound:
    case ErrorKind::MethodNotFound:
      return PyExc_KeyError;
    case ErrorKind::AlreadyRegistered:
    case ErrorKind::State:
    case ErrorKind::Channel:
      return PyExc_RuntimeError;
    case ErrorKind::InvalidPlan:
    case ErrorKind::Migration:
    case ErrorKind::Serialization:
      return PyExc_ValueError;
    case ErrorKind::Panic:
      return st.panic_exception;
    case ErrorKind::OutOfMemory:
      return PyExc_MemoryError;
  }
  return PyExc_RuntimeError;
}

// Raises the exception of the error's kind with the error's text; returns null.
PyObject* raise(const ModuleState& st, const MeshError& e) {
  if (e.kind() == ErrorKind::OutOfMemory) return PyErr_NoMemory();
  PyObject* type = exception_for(st, e.kind());
  const std::string text = e.text();
  Ref msg = Ref::steal(new_str(text));
  if (!msg) return nullptr;
  Ref exc = Ref::steal(PyObject_CallOneArg(type, msg.get()));
  if (exc) PyErr_SetObject(type, exc.get());
  return nullptr;
}

// Parses a *_json argument; on failure raises the serialization error.
bool parse_json_arg(const ModuleState& st, std::string_view text, json::Value& out) {
  auto parsed = json::parse(text);
  if (!parsed) {
    raise(st, MeshError::serialization(parsed.error().text(text)));
    return false;
  }
  out = std::move(*parsed);
  return true;
}

// The canonical text of a *_json argument: the argument itself when it
// already is (nothing to copy), otherwise the reader's output in a per-thread
// buffer reused from call to call (`buffer` then points at it); false, with
// the serialization error raised, on failure.
bool canonical_json(const ModuleState& st, std::string_view text, std::string_view& out,
                    json::Text*& buffer) {
  buffer = nullptr;
  if (json::keeps_as_canonical(text)) {
    out = text;
    return true;
  }
  thread_local json::Text kept;
  json::Text& canonical = *platform::held(&kept);
  canonical.trim(json::kKeptBuffer);
  auto parsed = json::read_document(text, canonical);
  if (!parsed) {
    raise(st, MeshError::serialization(parsed.error().text(text)));
    return false;
  }
  out = canonical.view();
  buffer = &canonical;
  return true;
}

// Checks a *_json argument that nothing keeps; false, with the serialization
// error raised, when it is not one JSON value.
bool check_json_arg(const ModuleState& st, std::string_view text) {
  if (text == "{}") return true;  // the default, and the usual value
  auto checked = json::validate(text);
  if (!checked) {
    raise(st, MeshError::serialization(checked.error().text(text)));
    return false;
  }
  return true;
}

PyObject* none() { Py_RETURN_NONE; }

// Printable characters stand as they are; quotes, backslashes and the rest are
// escaped as \", \\, \t, \r, \n, \0 and \u{hex}.
std::string quoted(std::string_view utf8) {
  std::string out = "\"";
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp = s[i];
    size_t len = 1;
    if (cp >= 0xF0) {
      cp = ((cp & 0x07) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3Fu);
      len = 4;
    } else if (cp >= 0xE0) {
      cp = ((cp & 0x0F) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      len = 3;
    } else if (cp >= 0xC0) {
      cp = ((cp & 0x1F) << 6) | (s[i + 1] & 0x3Fu);
      len = 2;
    }
    switch (cp) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\n':
        out.append("\\n");
        break;
      case 0:
        out.append("\\0");
        break;
      default:
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
          out.append(utf8.data() + i, len);
        } else {
          char hex[16];
          const int n = std::snprintf(hex, sizeof hex, "\\u{%x}", cp);
          out.append(hex, static_cast<size_t>(n));
        }
    }
    i += len;
  }
  out.push_back('"');
  return out;
}

namespace {

using py::param;

constexpr const char kVersion[] = "0.3.2";

// ---------------------------------------------------------------------------
// Type

struct NewArgs {
  std::string_view app_name, plan_json;
};
constexpr auto kNew = py::constructor<NewArgs>(
    "__new__",
    "The runtime mesh for a Vrell application.\n"
    "\n"
    "Create one per application process (Python):\n"
    "\n"
    "```python\n"
    "mesh = VrellMesh(\"myapp\", plan_json)\n"
    "```\n"
    "\n"
    "All methods are synchronous and GIL-aware \xE2\x80\x94 they release the GIL during\n"
    "any blocking work.",
    param("app_name", &NewArgs::app_name), param("plan_json", &NewArgs::plan_json, ""));

PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const ModuleState& st = state_of_type(type);
  return guarded_call(st, [&]() -> PyObject* {
    // Bring the tuple/dict call into the vectorcall shape the binder reads.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> vec(static_cast<size_t>(nargs + nkw) + 1);
    for (Py_ssize_t i = 0; i < nargs; ++i) vec[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nkw > 0) {
      kwnames = Ref::steal(PyTuple_New(nkw));
      if (!kwnames) return nullptr;
      PyObject *key, *value;
      Py_ssize_t pos = 0, k = 0;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        vec[static_cast<size_t>(nargs + k)] = value;
        ++k;
      }
    }
    NewArgs a{};
    if (!py::bind<kNew>(vec.data(), nargs, kwnames.get(), a, st.unicode_error)) return nullptr;

    Plan plan;
    if (a.plan_json.empty()) {
      plan.app_name.assign(a.app_name);
    } else {
      auto parsed = Plan::from_json(a.plan_json);
      if (!parsed) return raise(st, parsed.error());
      plan = std::move(*parsed);
    }
    std::string effective(plan.app_name.empty() ? a.app_name : std::string_view(plan.app_name));
    auto mesh = std::make_unique<Mesh>(std::move(plan), std::move(effective));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<MeshObject*>(self);
    new (&object->mesh) std::unique_ptr<Mesh>(std::move(mesh));
    object->state = &state_of_type(type);
    return self;
  });
}

void mesh_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<MeshObject*>(self)->mesh.~unique_ptr<Mesh>();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* mesh_repr(PyObject* self) {
  return guarded_call(state_of(self), [&]() -> PyObject* {
    Mesh& m = mesh_of(self);
    std::string out = "VrellMesh(app=" + quoted(m.plan.app_name);
    out.append(", agents=");
    json::write_u64(out, m.registry.count());
    out.append(", state_keys=");
    json::write_u64(out, m.state.key_count());
    out.append(", migrations=");
    json::write_u64(out, m.migrations.count_active());
    out.push_back(')');
    return new_str(out);
  });
}

PyObject* get_app_name(PyObject* self, void*) { return new_str(mesh_of(self).plan.app_name); }

PyGetSetDef kGetSet[] = {
    {"app_name", get_app_name, nullptr, "Application name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_doc, const_cast<char*>(py::doc_of<kNew>())},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec kSpec = {"vrell_mesh.VrellMesh", sizeof(MeshObject), 0, kTypeFlags, kSlots};

// The class, with its methods added after the property and in table order.
PyObject* create_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  // The dotted spec name gives __module__; the type's own name has no prefix,
  // as in the texts the interpreter builds from it ("'VrellMesh' object ...").
  tp->tp_name = "VrellMesh";
#if PY_VERSION_HEX < 0x030A0000
  // 3.9 keeps only the documentation part of a heap type's doc; give it the
  // whole text back so that __text_signature__ is read from it.
  const std::string_view class_doc = py::doc_of<kNew>();
  auto* doc = static_cast<char*>(PyObject_Malloc(class_doc.size() + 1));
  if (doc == nullptr) return PyErr_NoMemory();
  std::memcpy(doc, class_doc.data(), class_doc.size() + 1);
  PyObject_Free(const_cast<char*>(tp->tp_doc));
  tp->tp_doc = doc;
#endif
  for (PyMethodDef& def : method_table()) {
    Ref descr = Ref::steal(PyDescr_NewMethod(tp, &def));
    if (!descr || PyDict_SetItemString(tp->tp_dict, def.ml_name, descr.get()) < 0) return nullptr;
  }
  PyType_Modified(tp);
  return type.release();
}

bool add_exported(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref item = Ref::steal(PyUnicode_FromString(name));
  if (!item || PyList_Append(all.get(), item.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

int module_exec(PyObject* module) {
  ModuleState& st = module_state(module);
  st.panic_exception = PyErr_NewExceptionWithDoc("vrell_mesh.PanicException",
                                                 "An internal fault of the runtime mesh.",
                                                 PyExc_BaseException, nullptr);
  if (st.panic_exception == nullptr) return -1;
  st.unicode_error = py::new_unicode_error_class();
  if (st.unicode_error == nullptr) return -1;
  st.mesh_type = create_type(module);
  if (st.mesh_type == nullptr) return -1;
  if (!add_exported(module, "VrellMesh", st.mesh_type)) return -1;
  Ref version = Ref::steal(PyUnicode_FromString(kVersion));
  if (!version || !add_exported(module, "__version__", version.get())) return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState& st = module_state(module);
  Py_VISIT(st.mesh_type);
  Py_VISIT(st.panic_exception);
  Py_VISIT(st.unicode_error);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState& st = module_state(module);
  Py_CLEAR(st.mesh_type);
  Py_CLEAR(st.panic_exception);
  Py_CLEAR(st.unicode_error);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything the module keeps lives in its state or in the objects.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Each component guards itself; nothing relies on the interpreter lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "vrell_mesh", "Python module `vrell_mesh`.",
    sizeof(ModuleState),   nullptr,      kModuleSlots,
    module_traverse,       module_clear, module_free,
};

}  // namespace
}  // namespace vrell::binding

PyMODINIT_FUNC PyInit_vrell_mesh() { return PyModuleDef_Init(&vrell::binding::kModule); }
