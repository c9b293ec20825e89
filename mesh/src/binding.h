// What the units of the Python binding share: the objects a mesh is made of,
// the module's state, and the conversions between components and Python.
#pragma once

#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "binder.h"
#include "channel.h"
#include "error.h"
#include "json.h"
#include "migration.h"
#include "plan.h"
#include "pyref.h"
#include "registry.h"
#include "state.h"

namespace vrell::binding {

using py::Ref;

// Everything one VrellMesh object owns.
struct Mesh {
  explicit Mesh(Plan p, std::string effective_app_name)
      : plan(std::move(p)), migrations(std::move(effective_app_name)) {}
  Plan plan;
  AgentRegistry registry;
  InMemoryStateStore state;
  MigrationController migrations;
  MeshChannel channel;
};

// Per-interpreter state of the module: its class and exception classes.
struct ModuleState {
  PyObject* mesh_type;
  PyObject* panic_exception;
  PyObject* unicode_error;
};

inline ModuleState& state_of_type(PyTypeObject* type) {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// clang-format off
struct MeshObject {
  PyObject_HEAD
  std::unique_ptr<Mesh> mesh;
  // The state of the module of the object's class, which the object keeps
  // alive through its type.
  ModuleState* state;
};
// clang-format on

inline ModuleState& state_of(PyObject* self) { return *reinterpret_cast<MeshObject*>(self)->state; }
inline Mesh& mesh_of(PyObject* self) { return *reinterpret_cast<MeshObject*>(self)->mesh; }

// Output text held between a component's answer and the new str: a
// per-thread buffer, emptied by each call (so a call allocates nothing for it
// once warm).
std::string& scratch();
// A new str of UTF-8 text.
PyObject* new_str(std::string_view s);
// Raises the exception of the error's kind with the error's text; returns null.
PyObject* raise(const ModuleState& st, const MeshError& e);
// Parses a *_json argument into a value; on failure raises the serialization error.
bool parse_json_arg(const ModuleState& st, std::string_view text, json::Value& out);
// The canonical text of a *_json argument: the argument itself when it
// already is (nothing to copy), otherwise the reader's output in a per-thread
// buffer reused from call to call (`buffer` then points at it); false, with
// the serialization error raised, on failure.
bool canonical_json(const ModuleState& st, std::string_view text, std::string_view& out,
                    json::Text*& buffer);
// Checks a *_json argument that nothing keeps; false, with the serialization
// error raised, when it is not one JSON value.
bool check_json_arg(const ModuleState& st, std::string_view text);
PyObject* none();
// Printable characters stand as they are; quotes, backslashes and the rest are
// escaped as \", \\, \t, \r, \n, \0 and \u{hex}.
std::string quoted(std::string_view utf8);

// Runs a method body; C++ exceptions never reach the interpreter.
template <class F>
PyObject* guarded_call(const ModuleState& st, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise(st, MeshError::panic("internal error"));
  }
}

// The class's methods, in registration order (methods.cc).
std::span<PyMethodDef> method_table();

}  // namespace vrell::binding
