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
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binder.h"
#include "channel.h"
#include "error.h"
#include "json.h"
#include "migration.h"
#include "plan.h"
#include "pyref.h"
#include "registry.h"
#include "scan.h"
#include "state.h"

namespace vrell {
namespace {

using py::Ref;

constexpr const char kVersion[] = "0.3.2";

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

ModuleState& state_of_type(PyTypeObject* type) {
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

ModuleState& state_of(PyObject* self) { return *reinterpret_cast<MeshObject*>(self)->state; }

Mesh& mesh_of(PyObject* self) { return *reinterpret_cast<MeshObject*>(self)->mesh; }

// ---------------------------------------------------------------------------
// Conversions

// Output text held between a component's answer and the new str; reused so that
// a call allocates nothing for it once warm.
std::string& scratch() {
  thread_local std::string buf;
  buf.clear();
  return buf;
}

PyObject* new_str(std::string_view s) {
  if (s.size() <= 512 && scan::is_ascii(s)) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (o != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), s.size());
    return o;
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

// Parses a *_json argument; on failure raises the serialization error.
bool parse_json_arg(const ModuleState& st, std::string_view text, json::Value& out) {
  auto parsed = json::parse(text);
  if (!parsed) {
    raise(st, MeshError::serialization(parsed.error().text()));
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
  if (json::is_canonical(text)) {
    out = text;
    return true;
  }
  thread_local json::Text canonical;
  canonical.trim(json::kKeptBuffer);
  auto parsed = json::read_document(text, canonical);
  if (!parsed) {
    raise(st, MeshError::serialization(parsed.error().text()));
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
  std::string_view canonical;
  json::Text* buffer;
  return canonical_json(st, text, canonical, buffer);
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

// ---------------------------------------------------------------------------
// Methods: each one's declaration (parameters, defaults, documentation) and
// its body, which gets the converted arguments by name.

template <class M>
using ArgsOf = typename std::remove_cvref_t<M>::Args;

// The vectorcall entry of a declared method: binds, then runs the body.
template <const auto& M, auto Body>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ModuleState& st = state_of(self);
  ArgsOf<decltype(M)> a{};
  if (!py::bind<M>(args, nargs, kwnames, a, st.unicode_error)) return nullptr;
  return guarded_call(st, [&]() -> PyObject* { return Body(mesh_of(self), st, a); });
}

template <const auto& M, auto Body>
constexpr PyMethodDef def() {
  return {M.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<M, Body>)),
          METH_FASTCALL | METH_KEYWORDS, py::doc_of<M>()};
}

using py::NoArgs;
using py::param;

// --- Agents

struct RegisterAgentArgs {
  std::string_view agent_type, agent_id;
  uint32_t instance;
  std::optional<std::string_view> metadata_json;
};
constexpr auto kRegisterAgent =
    py::method<RegisterAgentArgs>("register_agent",
                                  "Register a new agent instance.\n\n"
                                  "Args:\n"
                                  "    agent_type:    Agent class name.\n"
                                  "    agent_id:      Unique agent identifier.\n"
                                  "    instance:      Replica index (0-based).\n"
                                  "    metadata_json: Optional JSON-encoded metadata.\n\n"
                                  "Returns:\n"
                                  "    JSON string of the created agent entry.\n\n"
                                  "Raises:\n"
                                  "    RuntimeError: If the agent ID is already registered.",
                                  param("agent_type", &RegisterAgentArgs::agent_type),
                                  param("agent_id", &RegisterAgentArgs::agent_id),
                                  param("instance", &RegisterAgentArgs::instance, 0),
                                  param("metadata_json", &RegisterAgentArgs::metadata_json));

PyObject* register_agent(Mesh& m, const ModuleState& st, const RegisterAgentArgs& a) {
  std::optional<json::Value> metadata;
  if (a.metadata_json) {
    metadata.emplace();
    if (!parse_json_arg(st, *a.metadata_json, *metadata)) return nullptr;
  }
  auto entry = m.registry.register_agent(a.agent_type, a.agent_id, a.instance, std::move(metadata));
  if (!entry) return raise(st, entry.error());
  std::string& out = scratch();
  entry->write_json(out);
  return new_str(out);
}

struct UpdateAgentStatusArgs {
  std::string_view agent_id, status;
};
constexpr auto kUpdateAgentStatus = py::method<UpdateAgentStatusArgs>(
    "update_agent_status",
    "Update the status of a registered agent.\n\n"
    "Args:\n"
    "    agent_id: Agent identifier.\n"
    "    status:   One of starting, running, idle, stopping, stopped, error.\n\n"
    "Raises:\n"
    "    ValueError: If the status string is not recognised.\n"
    "    KeyError: If the agent ID is not registered.",
    param("agent_id", &UpdateAgentStatusArgs::agent_id),
    param("status", &UpdateAgentStatusArgs::status));

PyObject* update_agent_status(Mesh& m, const ModuleState& st, const UpdateAgentStatusArgs& a) {
  const auto status = parse_status(a.status);
  if (!status) {
    std::string text = "Unknown status " + quoted(a.status) +
                       ". Valid values: starting, running, idle, stopping, stopped, error";
    Ref msg = Ref::steal(new_str(text));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return nullptr;
  }
  auto r = m.registry.update_status(a.agent_id, *status);
  if (!r) return raise(st, r.error());
  return none();
}

struct AgentIdArgs {
  std::string_view agent_id;
};
constexpr auto kDeregisterAgent = py::method<AgentIdArgs>(
    "deregister_agent", "Deregister an agent.  No-op if the ID does not exist.",
    param("agent_id", &AgentIdArgs::agent_id));

PyObject* deregister_agent(Mesh& m, const ModuleState& st, const AgentIdArgs& a) {
  auto r = m.registry.deregister(a.agent_id);
  if (!r) return raise(st, r.error());
  return none();
}

constexpr auto kGetAgent =
    py::method<AgentIdArgs>("get_agent",
                            "Look up an agent by ID.\n\n"
                            "Returns:\n"
                            "    JSON string of the agent entry, or ``None`` if not found.",
                            param("agent_id", &AgentIdArgs::agent_id));

PyObject* get_agent(Mesh& m, const ModuleState& st, const AgentIdArgs& a) {
  std::string& out = scratch();
  auto found = m.registry.write_entry_json(a.agent_id, out);
  if (!found) return raise(st, found.error());
  return *found ? new_str(out) : none();
}

struct ListAgentsArgs {
  std::optional<std::string_view> agent_type, status;
};
constexpr auto kListAgents = py::method<ListAgentsArgs>(
    "list_agents",
    "List agents, optionally filtered.\n\n"
    "Args:\n"
    "    agent_type: Only agents of this type.\n"
    "    status:     Only agents in this status.\n\n"
    "Returns:\n"
    "    JSON array of agent entries.",
    param("agent_type", &ListAgentsArgs::agent_type), param("status", &ListAgentsArgs::status));

PyObject* list_agents(Mesh& m, const ModuleState& st, const ListAgentsArgs& a) {
  std::string& out = scratch();
  auto r = m.registry.write_list_json(a.agent_type, a.status, out);
  if (!r) return raise(st, r.error());
  return new_str(out);
}

// The descriptor's fixed pieces, as arrays so that copying them compiles to
// plain moves.
constexpr char kRoute1[] = "{\"agent_id\":\"";
constexpr char kRoute2[] = "\",\"agent_type\":\"";
constexpr char kRoute3[] = "\",\"method\":\"";
constexpr char kRoute4[] = "\",\"node\":\"localhost\",\"status\":\"routed\"}";

template <size_t N>
char* put_piece(char* p, const char (&piece)[N]) {
  std::memcpy(p, piece, N - 1);
  return p + N - 1;
}

char* put_text(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

PyObject* routing_descriptor(std::string_view type, std::string_view id, std::string_view method) {
  // ASCII text that needs no escape goes into the str as it stands.
  if (!scan::has_special(type) && !scan::has_special(id) && !scan::has_special(method)) {
    const size_t len = (sizeof kRoute1 - 1) + id.size() + (sizeof kRoute2 - 1) + type.size() +
                       (sizeof kRoute3 - 1) + method.size() + (sizeof kRoute4 - 1);
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(len), 127);
    if (o == nullptr) return nullptr;
    char* p = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(o));
    p = put_piece(p, kRoute1);
    p = put_text(p, id);
    p = put_piece(p, kRoute2);
    p = put_text(p, type);
    p = put_piece(p, kRoute3);
    p = put_text(p, method);
    put_piece(p, kRoute4);
    return o;
  }
  std::string& out = scratch();
  out.append("{\"agent_id\":");
  json::write_string(out, id);
  out.append(",\"agent_type\":");
  json::write_string(out, type);
  out.append(",\"method\":");
  json::write_string(out, method);
  out.append(kRoute4 + 1);
  return new_str(out);
}

struct RouteAgentCallArgs {
  std::string_view agent_type, agent_id, method, args_json;
};
constexpr auto kRouteAgentCall = py::method<RouteAgentCallArgs>(
    "route_agent_call",
    "Route a call to an agent and return routing metadata as JSON.\n\n"
    "Args:\n"
    "    agent_type: Agent class name.\n"
    "    agent_id:   Target agent identifier.\n"
    "    method:     Method to call.\n"
    "    args_json:  JSON-encoded arguments.\n\n"
    "Returns:\n"
    "    JSON routing descriptor.\n\n"
    "Raises:\n"
    "    KeyError: If the agent is not registered or has stopped.",
    param("agent_type", &RouteAgentCallArgs::agent_type),
    param("agent_id", &RouteAgentCallArgs::agent_id), param("method", &RouteAgentCallArgs::method),
    param("args_json", &RouteAgentCallArgs::args_json, "{}"));

PyObject* route_agent_call(Mesh& m, const ModuleState& st, const RouteAgentCallArgs& a) {
  // The arguments are only checked: nothing keeps them.
  if (!check_json_arg(st, a.args_json)) return nullptr;
  auto routed = m.registry.route(a.agent_id, a.agent_type);
  if (!routed) return raise(st, routed.error());
  return routing_descriptor(a.agent_type, a.agent_id, a.method);
}

// --- State

struct KeyArgs {
  std::string_view key;
};
constexpr auto kStateGet =
    py::method<KeyArgs>("state_get",
                        "Get a value from the shared state store.\n\n"
                        "Returns:\n"
                        "    JSON string for the value, or ``None`` if the key does not exist.",
                        param("key", &KeyArgs::key));

PyObject* state_get(Mesh& m, const ModuleState& st, const KeyArgs& a) {
  std::string& out = scratch();
  auto found = m.state.read_into(a.key, out);
  if (!found) return raise(st, found.error());
  return *found ? new_str(out) : none();
}

struct StateSetArgs {
  std::string_view key, value_json;
};
constexpr auto kStateSet = py::method<StateSetArgs>("state_set",
                                                    "Set a value in the shared state store.\n\n"
                                                    "Args:\n"
                                                    "    key:        Arbitrary string key.\n"
                                                    "    value_json: JSON-encoded value to store.",
                                                    param("key", &StateSetArgs::key),
                                                    param("value_json", &StateSetArgs::value_json));

PyObject* state_set(Mesh& m, const ModuleState& st, const StateSetArgs& a) {
  std::string_view canonical;
  json::Text* buffer;
  if (!canonical_json(st, a.value_json, canonical, buffer)) return nullptr;
  // A large document read into the buffer becomes the stored value; other
  // text is copied into the stored value's own room.
  auto r = buffer != nullptr && buffer->size() >= json::kAdoptFrom
               ? m.state.set(a.key, json::Value::adopt(std::move(*buffer)))
               : m.state.set_canonical(a.key, canonical);
  if (!r) return raise(st, r.error());
  return none();
}

constexpr auto kStateDelete = py::method<KeyArgs>(
    "state_delete", "Delete a key from the state store.  No-op if the key does not exist.",
    param("key", &KeyArgs::key));

PyObject* state_delete(Mesh& m, const ModuleState& st, const KeyArgs& a) {
  auto r = m.state.delete_key(a.key);
  if (!r) return raise(st, r.error());
  return none();
}

constexpr auto kStateExists = py::method<KeyArgs>(
    "state_exists", "Check whether a key exists in the state store.", param("key", &KeyArgs::key));

PyObject* state_exists(Mesh& m, const ModuleState& st, const KeyArgs& a) {
  auto r = m.state.exists(a.key);
  if (!r) return raise(st, r.error());
  return PyBool_FromLong(*r ? 1 : 0);
}

struct PrefixArgs {
  std::string_view prefix;
};
constexpr auto kStateKeys =
    py::method<PrefixArgs>("state_keys", "Return all keys that start with `prefix` (sorted).",
                           param("prefix", &PrefixArgs::prefix, ""));

PyObject* state_keys(Mesh& m, const ModuleState& st, const PrefixArgs& a) {
  auto keys = m.state.keys_with_prefix(a.prefix);
  if (!keys) return raise(st, keys.error());
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(keys->size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const std::string& k : *keys) {
    PyObject* s = new_str(k);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, s);
  }
  return list.release();
}

// --- Migrations

// Runs a migration operation that appends its record's JSON to a buffer.
template <class F>
PyObject* migration_json(const ModuleState& st, F&& op) {
  std::string& out = scratch();
  auto r = op(out);
  if (!r) return raise(st, r.error());
  return new_str(out);
}

struct StartMigrationArgs {
  std::string_view variable_name, source_backend, target_backend;
};
constexpr auto kStartMigration = py::method<StartMigrationArgs>(
    "start_migration",
    "Start a zero-downtime migration for a storage variable.\n\n"
    "Args:\n"
    "    variable_name:  Fully-qualified storage name, e.g. \"counter.Counts\".\n"
    "    source_backend: Current backend name, e.g. \"sqlite\".\n"
    "    target_backend: Target backend name, e.g. \"redis\".\n\n"
    "Returns:\n"
    "    JSON string of the new migration state.\n\n"
    "Raises:\n"
    "    ValueError: If a non-complete migration already exists for this variable.",
    param("variable_name", &StartMigrationArgs::variable_name),
    param("source_backend", &StartMigrationArgs::source_backend),
    param("target_backend", &StartMigrationArgs::target_backend));

PyObject* start_migration(Mesh& m, const ModuleState& st, const StartMigrationArgs& a) {
  return migration_json(st, [&](std::string& out) {
    return m.migrations.start(a.variable_name, a.source_backend, a.target_backend, out);
  });
}

struct AdvanceMigrationArgs {
  std::string_view variable_name;
  uint64_t discrepancy_count, keys_migrated;
};
constexpr auto kAdvanceMigration = py::method<AdvanceMigrationArgs>(
    "advance_migration",
    "Advance a migration to its next stage.\n\n"
    "Args:\n"
    "    variable_name:     Fully-qualified storage name.\n"
    "    discrepancy_count: Number of read discrepancies observed in this stage.\n"
    "    keys_migrated:     Number of keys copied during this stage.\n\n"
    "Returns:\n"
    "    JSON string of the updated migration state.",
    param("variable_name", &AdvanceMigrationArgs::variable_name),
    param("discrepancy_count", &AdvanceMigrationArgs::discrepancy_count, 0),
    param("keys_migrated", &AdvanceMigrationArgs::keys_migrated, 0));

PyObject* advance_migration(Mesh& m, const ModuleState& st, const AdvanceMigrationArgs& a) {
  return migration_json(st, [&](std::string& out) {
    return m.migrations.advance(a.variable_name, a.discrepancy_count, a.keys_migrated, out);
  });
}

struct VariableArgs {
  std::string_view variable_name;
};
constexpr auto kRollbackMigration =
    py::method<VariableArgs>("rollback_migration",
                             "Roll back a migration by one stage.\n\n"
                             "Returns:\n"
                             "    JSON string of the updated migration state.",
                             param("variable_name", &VariableArgs::variable_name));

PyObject* rollback_migration(Mesh& m, const ModuleState& st, const VariableArgs& a) {
  return migration_json(
      st, [&](std::string& out) { return m.migrations.rollback(a.variable_name, out); });
}

constexpr auto kGetMigration = py::method<VariableArgs>(
    "get_migration",
    "Get the current migration state for a variable.\n\n"
    "Returns:\n"
    "    JSON string of the migration state, or ``None`` if there is none.",
    param("variable_name", &VariableArgs::variable_name));

PyObject* get_migration(Mesh& m, const ModuleState& st, const VariableArgs& a) {
  std::string& out = scratch();
  auto found = m.migrations.write_json(a.variable_name, out);
  if (!found) return raise(st, found.error());
  return *found ? new_str(out) : none();
}

constexpr auto kListMigrations =
    py::method("list_migrations", "List all migrations (active and completed).");

PyObject* list_migrations(Mesh& m, const ModuleState& st, const NoArgs&) {
  return migration_json(st, [&](std::string& out) { return m.migrations.write_list_json(out); });
}

// --- Channel, health, plan

struct PublishArgs {
  std::string_view topic, payload_json;
};
constexpr auto kPublish = py::method<PublishArgs>(
    "publish",
    "Publish a message to a topic.\n\n"
    "Args:\n"
    "    topic:        Topic name string.\n"
    "    payload_json: JSON-encoded message payload.\n\n"
    "Returns:\n"
    "    Number of active receivers that received the message.",
    param("topic", &PublishArgs::topic), param("payload_json", &PublishArgs::payload_json));

PyObject* publish(Mesh& m, const ModuleState& st, const PublishArgs& a) {
  std::string_view canonical;
  json::Text* buffer;
  if (!canonical_json(st, a.payload_json, canonical, buffer)) return nullptr;
  auto r = m.channel.publish_canonical(a.topic, canonical);
  if (!r) return raise(st, r.error());
  return PyLong_FromUnsignedLongLong(*r);
}

constexpr auto kHealthSnapshot =
    py::method("health_snapshot",
               "Return a JSON health snapshot of the entire mesh.\n\n"
               "The snapshot includes agent counts by status, state-store key count,\n"
               "active migration count, and channel topic count.");

PyObject* health_snapshot(Mesh& m, const ModuleState&, const NoArgs&) {
  // Each count under its own component's lock, one component at a time.
  const AgentCounts agents = m.registry.counts();
  const uint64_t keys = m.state.key_count();
  const uint64_t active = m.migrations.count_active();
  const uint64_t topics = m.channel.topic_count();
  std::string& out = scratch();
  out.append("{\"agents\":{\"error\":");
  json::write_u64(out, agents.error);
  out.append(",\"idle\":");
  json::write_u64(out, agents.idle);
  out.append(",\"running\":");
  json::write_u64(out, agents.running);
  out.append(",\"total\":");
  json::write_u64(out, agents.total);
  out.append("},\"app\":");
  json::write_string(out, m.plan.app_name);
  out.append(",\"channels\":{\"topics\":");
  json::write_u64(out, topics);
  out.append("},\"migrations\":{\"active\":");
  json::write_u64(out, active);
  out.append("},\"state\":{\"keys\":");
  json::write_u64(out, keys);
  out.append("},\"status\":\"ok\"}");
  return new_str(out);
}

constexpr auto kPlanJson = py::method("plan_json", "Return the solved plan as a JSON string.");

PyObject* plan_json(Mesh& m, const ModuleState&, const NoArgs&) {
  std::string out;
  out.reserve(128);
  m.plan.write_json(out);
  return new_str(out);
}

// In the order the class registers them.
PyMethodDef kMethods[] = {
    def<kRegisterAgent, register_agent>(),
    def<kUpdateAgentStatus, update_agent_status>(),
    def<kDeregisterAgent, deregister_agent>(),
    def<kGetAgent, get_agent>(),
    def<kListAgents, list_agents>(),
    def<kRouteAgentCall, route_agent_call>(),
    def<kStateGet, state_get>(),
    def<kStateSet, state_set>(),
    def<kStateDelete, state_delete>(),
    def<kStateExists, state_exists>(),
    def<kStateKeys, state_keys>(),
    def<kStartMigration, start_migration>(),
    def<kAdvanceMigration, advance_migration>(),
    def<kRollbackMigration, rollback_migration>(),
    def<kGetMigration, get_migration>(),
    def<kListMigrations, list_migrations>(),
    def<kPublish, publish>(),
    def<kHealthSnapshot, health_snapshot>(),
    def<kPlanJson, plan_json>(),
};

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
  for (PyMethodDef& def : kMethods) {
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
}  // namespace vrell

PyMODINIT_FUNC PyInit_vrell_mesh() { return PyModuleDef_Init(&vrell::kModule); }
