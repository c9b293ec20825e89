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
#include "state.h"

namespace vrell {
namespace {

using py::Arg;
using py::Param;
using py::ParamKind;
using py::Ref;
using py::Signature;

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

bool is_ascii(std::string_view s) {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    acc |= w;
  }
  for (; i < s.size(); ++i) acc |= static_cast<unsigned char>(s[i]);
  return (acc & 0x8080808080808080ull) == 0;
}

PyObject* new_str(std::string_view s) {
  if (s.size() <= 512 && is_ascii(s)) {
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
// Argument tables

constexpr Param kRegisterParams[] = {{"agent_type", ParamKind::Str, true},
                                     {"agent_id", ParamKind::Str, true},
                                     {"instance", ParamKind::U32, false},
                                     {"metadata_json", ParamKind::OptStr, false}};
constexpr Param kUpdateParams[] = {{"agent_id", ParamKind::Str, true},
                                   {"status", ParamKind::Str, true}};
constexpr Param kAgentIdParams[] = {{"agent_id", ParamKind::Str, true}};
constexpr Param kListAgentsParams[] = {{"agent_type", ParamKind::OptStr, false},
                                       {"status", ParamKind::OptStr, false}};
constexpr Param kRouteParams[] = {{"agent_type", ParamKind::Str, true},
                                  {"agent_id", ParamKind::Str, true},
                                  {"method", ParamKind::Str, true},
                                  {"args_json", ParamKind::Str, false}};
constexpr Param kKeyParams[] = {{"key", ParamKind::Str, true}};
constexpr Param kStateSetParams[] = {{"key", ParamKind::Str, true},
                                     {"value_json", ParamKind::Str, true}};
constexpr Param kPrefixParams[] = {{"prefix", ParamKind::Str, false}};
constexpr Param kStartParams[] = {{"variable_name", ParamKind::Str, true},
                                  {"source_backend", ParamKind::Str, true},
                                  {"target_backend", ParamKind::Str, true}};
constexpr Param kAdvanceParams[] = {{"variable_name", ParamKind::Str, true},
                                    {"discrepancy_count", ParamKind::U64, false},
                                    {"keys_migrated", ParamKind::U64, false}};
constexpr Param kVariableParams[] = {{"variable_name", ParamKind::Str, true}};
constexpr Param kPublishParams[] = {{"topic", ParamKind::Str, true},
                                    {"payload_json", ParamKind::Str, true}};
constexpr Param kNewParams[] = {{"app_name", ParamKind::Str, true},
                                {"plan_json", ParamKind::Str, false}};

template <size_t N>
constexpr Signature sig(const char* qualname, const Param (&params)[N]) {
  int required = 0;
  for (const Param& p : params) required += p.required ? 1 : 0;
  return {qualname, params, static_cast<int>(N), required};
}
constexpr Signature no_params(const char* qualname) { return {qualname, nullptr, 0, 0}; }

constexpr Signature kNewSig = sig("VrellMesh.__new__", kNewParams);

#define VRELL_METHOD(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

#define VRELL_BIND(signature, count)                                              \
  static constexpr Signature kSig = signature;                                    \
  const ModuleState& st = state_of(self);                                         \
  Arg a[(count) > 0 ? (count) : 1];                                               \
  if (!py::bind(kSig, args, nargs, kwnames, a, st.unicode_error)) return nullptr; \
  (void)a

// ---------------------------------------------------------------------------
// Agents

VRELL_METHOD(register_agent) {
  VRELL_BIND(sig("VrellMesh.register_agent", kRegisterParams), 4);
  return guarded_call(st, [&]() -> PyObject* {
    std::optional<json::Value> metadata;
    if (a[3].present) {
      metadata.emplace();
      if (!parse_json_arg(st, a[3].str, *metadata)) return nullptr;
    }
    auto entry = mesh_of(self).registry.register_agent(
        a[0].str, a[1].str, static_cast<uint32_t>(a[2].u), std::move(metadata));
    if (!entry) return raise(st, entry.error());
    std::string& out = scratch();
    entry->write_json(out);
    return new_str(out);
  });
}

VRELL_METHOD(update_agent_status) {
  VRELL_BIND(sig("VrellMesh.update_agent_status", kUpdateParams), 2);
  return guarded_call(st, [&]() -> PyObject* {
    const auto status = parse_status(a[1].str);
    if (!status) {
      std::string text = "Unknown status " + quoted(a[1].str) +
                         ". Valid values: starting, running, idle, stopping, stopped, error";
      Ref msg = Ref::steal(new_str(text));
      if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
      return nullptr;
    }
    auto r = mesh_of(self).registry.update_status(a[0].str, *status);
    if (!r) return raise(st, r.error());
    return none();
  });
}

VRELL_METHOD(deregister_agent) {
  VRELL_BIND(sig("VrellMesh.deregister_agent", kAgentIdParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    auto r = mesh_of(self).registry.deregister(a[0].str);
    if (!r) return raise(st, r.error());
    return none();
  });
}

VRELL_METHOD(get_agent) {
  VRELL_BIND(sig("VrellMesh.get_agent", kAgentIdParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    std::string& out = scratch();
    auto found = mesh_of(self).registry.write_entry_json(a[0].str, out);
    if (!found) return raise(st, found.error());
    return *found ? new_str(out) : none();
  });
}

VRELL_METHOD(list_agents) {
  VRELL_BIND(sig("VrellMesh.list_agents", kListAgentsParams), 2);
  return guarded_call(st, [&]() -> PyObject* {
    std::optional<std::string_view> type, status;
    if (a[0].present) type = a[0].str;
    if (a[1].present) status = a[1].str;
    std::string& out = scratch();
    auto r = mesh_of(self).registry.write_list_json(type, status, out);
    if (!r) return raise(st, r.error());
    return new_str(out);
  });
}

// True when the str is ASCII and needs no JSON escape, so its bytes can be
// copied into the descriptor as they are.
bool plain_ascii(PyObject* s) {
  if (!PyUnicode_IS_COMPACT_ASCII(s)) return false;
  // Compact ASCII text follows the object header.
  const auto* p = reinterpret_cast<const unsigned char*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
  const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
  if (n < 8) {
    for (size_t i = 0; i < n; ++i) {
      if (p[i] < 0x20 || p[i] == '"' || p[i] == '\\') return false;
    }
    return true;
  }
  // Words of eight bytes, the last one overlapping the one before it.
  auto clean = [](uint64_t w) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const uint64_t quote = w ^ (kOnes * '"'), backslash = w ^ (kOnes * '\\');
    return ((((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (w - kOnes * 0x20)) &
            kHigh) == 0;
  };
  uint64_t w;
  for (size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&w, p + i, 8);
    if (!clean(w)) return false;
  }
  std::memcpy(&w, p + n - 8, 8);
  return clean(w);
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

PyObject* routing_descriptor(const Arg& type, const Arg& id, const Arg& method) {
  if (plain_ascii(type.obj) && plain_ascii(id.obj) && plain_ascii(method.obj)) {
    const size_t len = (sizeof kRoute1 - 1) + id.str.size() + (sizeof kRoute2 - 1) +
                       type.str.size() + (sizeof kRoute3 - 1) + method.str.size() +
                       (sizeof kRoute4 - 1);
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(len), 127);
    if (o == nullptr) return nullptr;
    char* p = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(o));
    p = put_piece(p, kRoute1);
    p = put_text(p, id.str);
    p = put_piece(p, kRoute2);
    p = put_text(p, type.str);
    p = put_piece(p, kRoute3);
    p = put_text(p, method.str);
    put_piece(p, kRoute4);
    return o;
  }
  std::string& out = scratch();
  out.append("{\"agent_id\":");
  json::write_string(out, id.str);
  out.append(",\"agent_type\":");
  json::write_string(out, type.str);
  out.append(",\"method\":");
  json::write_string(out, method.str);
  out.append(kRoute4 + 1);
  return new_str(out);
}

VRELL_METHOD(route_agent_call) {
  VRELL_BIND(sig("VrellMesh.route_agent_call", kRouteParams), 4);
  return guarded_call(st, [&]() -> PyObject* {
    std::string_view metadata;
    json::Text* buffer;
    if (a[3].present && a[3].str != "{}" && !canonical_json(st, a[3].str, metadata, buffer)) {
      return nullptr;
    }
    AgentRegistry& registry = mesh_of(self).registry;
    const HashedKey id(a[1].str);  // hashed once for both lookups
    auto status = registry.status_of(id);
    if (!status) return raise(st, status.error());
    if (!*status || **status == AgentStatus::Stopped || **status == AgentStatus::Error) {
      return raise(st, MeshError::agent_not_found(a[0].str, a[1].str));
    }
    // Routing stands even if the agent went away or the lock was poisoned
    // meanwhile; only an internal fault (the clock) abandons the call.
    auto marked = registry.update_status(id, AgentStatus::Running);
    if (!marked && marked.error().is_fault()) return raise(st, marked.error());
    return routing_descriptor(a[0], a[1], a[2]);
  });
}

// ---------------------------------------------------------------------------
// State

VRELL_METHOD(state_get) {
  VRELL_BIND(sig("VrellMesh.state_get", kKeyParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    std::string& out = scratch();
    auto found = mesh_of(self).state.read_into(a[0].str, out);
    if (!found) return raise(st, found.error());
    return *found ? new_str(out) : none();
  });
}

VRELL_METHOD(state_set) {
  VRELL_BIND(sig("VrellMesh.state_set", kStateSetParams), 2);
  return guarded_call(st, [&]() -> PyObject* {
    std::string_view canonical;
    json::Text* buffer;
    if (!canonical_json(st, a[1].str, canonical, buffer)) return nullptr;
    InMemoryStateStore& state = mesh_of(self).state;
    // A large document read into the buffer becomes the stored value; other
    // text is copied into the stored value's own room.
    auto r = buffer != nullptr && buffer->size() >= json::kAdoptFrom
                 ? state.set(a[0].str, json::Value::adopt(std::move(*buffer)))
                 : state.set_canonical(a[0].str, canonical);
    if (!r) return raise(st, r.error());
    return none();
  });
}

VRELL_METHOD(state_delete) {
  VRELL_BIND(sig("VrellMesh.state_delete", kKeyParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    auto r = mesh_of(self).state.delete_key(a[0].str);
    if (!r) return raise(st, r.error());
    return none();
  });
}

VRELL_METHOD(state_exists) {
  VRELL_BIND(sig("VrellMesh.state_exists", kKeyParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    auto r = mesh_of(self).state.exists(a[0].str);
    if (!r) return raise(st, r.error());
    return PyBool_FromLong(*r ? 1 : 0);
  });
}

VRELL_METHOD(state_keys) {
  VRELL_BIND(sig("VrellMesh.state_keys", kPrefixParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    auto keys = mesh_of(self).state.keys_with_prefix(a[0].present ? a[0].str : std::string_view());
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
  });
}

// ---------------------------------------------------------------------------
// Migrations

// Runs a migration operation that appends its record's JSON to a buffer.
template <class F>
PyObject* migration_json(const ModuleState& st, F&& op) {
  std::string& out = scratch();
  auto r = op(out);
  if (!r) return raise(st, r.error());
  return new_str(out);
}

VRELL_METHOD(start_migration) {
  VRELL_BIND(sig("VrellMesh.start_migration", kStartParams), 3);
  return guarded_call(st, [&]() -> PyObject* {
    return migration_json(st, [&](std::string& out) {
      return mesh_of(self).migrations.start(a[0].str, a[1].str, a[2].str, out);
    });
  });
}

VRELL_METHOD(advance_migration) {
  VRELL_BIND(sig("VrellMesh.advance_migration", kAdvanceParams), 3);
  return guarded_call(st, [&]() -> PyObject* {
    return migration_json(st, [&](std::string& out) {
      return mesh_of(self).migrations.advance(a[0].str, a[1].u, a[2].u, out);
    });
  });
}

VRELL_METHOD(rollback_migration) {
  VRELL_BIND(sig("VrellMesh.rollback_migration", kVariableParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    return migration_json(
        st, [&](std::string& out) { return mesh_of(self).migrations.rollback(a[0].str, out); });
  });
}

VRELL_METHOD(get_migration) {
  VRELL_BIND(sig("VrellMesh.get_migration", kVariableParams), 1);
  return guarded_call(st, [&]() -> PyObject* {
    std::string& out = scratch();
    auto found = mesh_of(self).migrations.write_json(a[0].str, out);
    if (!found) return raise(st, found.error());
    return *found ? new_str(out) : none();
  });
}

VRELL_METHOD(list_migrations) {
  VRELL_BIND(no_params("VrellMesh.list_migrations"), 0);
  return guarded_call(st, [&]() -> PyObject* {
    return migration_json(
        st, [&](std::string& out) { return mesh_of(self).migrations.write_list_json(out); });
  });
}

// ---------------------------------------------------------------------------
// Channel, health, plan

VRELL_METHOD(publish) {
  VRELL_BIND(sig("VrellMesh.publish", kPublishParams), 2);
  return guarded_call(st, [&]() -> PyObject* {
    std::string_view canonical;
    json::Text* buffer;
    if (!canonical_json(st, a[1].str, canonical, buffer)) return nullptr;
    auto r = mesh_of(self).channel.publish_canonical(a[0].str, canonical);
    if (!r) return raise(st, r.error());
    return PyLong_FromUnsignedLongLong(*r);
  });
}

VRELL_METHOD(health_snapshot) {
  VRELL_BIND(no_params("VrellMesh.health_snapshot"), 0);
  return guarded_call(st, [&]() -> PyObject* {
    Mesh& m = mesh_of(self);
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
  });
}

VRELL_METHOD(plan_json) {
  VRELL_BIND(no_params("VrellMesh.plan_json"), 0);
  return guarded_call(st, [&]() -> PyObject* {
    std::string out;
    out.reserve(128);
    mesh_of(self).plan.write_json(out);
    return new_str(out);
  });
}

#undef VRELL_BIND
#undef VRELL_METHOD

// ---------------------------------------------------------------------------
// Type

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
    Arg a[2];
    if (!py::bind(kNewSig, vec.data(), nargs, kwnames.get(), a, st.unicode_error)) return nullptr;

    Plan plan;
    if (!a[1].present || a[1].str.empty()) {
      plan.app_name.assign(a[0].str);
    } else {
      auto parsed = Plan::from_json(a[1].str);
      if (!parsed) return raise(st, parsed.error());
      plan = std::move(*parsed);
    }
    std::string effective(plan.app_name.empty() ? a[0].str : std::string_view(plan.app_name));
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

constexpr char kClassDoc[] =
    "VrellMesh(app_name, plan_json=\"\")\n--\n\n"
    "The runtime mesh for a Vrell application.\n"
    "\n"
    "Create one per application process (Python):\n"
    "\n"
    "```python\n"
    "mesh = VrellMesh(\"myapp\", plan_json)\n"
    "```\n"
    "\n"
    "All methods are synchronous and GIL-aware \xE2\x80\x94 they release the GIL during\n"
    "any blocking work.";

#define VRELL_DEF(name, doc)                                                     \
  {                                                                              \
#name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(name)), \
        METH_FASTCALL | METH_KEYWORDS, doc                                       \
  }

PyMethodDef kMethods[] = {
    VRELL_DEF(register_agent,
              "register_agent($self, agent_type, agent_id, instance=0, metadata_json=None)\n--\n\n"
              "Register a new agent instance.\n\n"
              "Args:\n"
              "    agent_type:    Agent class name.\n"
              "    agent_id:      Unique agent identifier.\n"
              "    instance:      Replica index (0-based).\n"
              "    metadata_json: Optional JSON-encoded metadata.\n\n"
              "Returns:\n"
              "    JSON string of the created agent entry.\n\n"
              "Raises:\n"
              "    RuntimeError: If the agent ID is already registered."),
    VRELL_DEF(update_agent_status,
              "update_agent_status($self, agent_id, status)\n--\n\n"
              "Update the status of a registered agent.\n\n"
              "Args:\n"
              "    agent_id: Agent identifier.\n"
              "    status:   One of starting, running, idle, stopping, stopped, error.\n\n"
              "Raises:\n"
              "    ValueError: If the status string is not recognised.\n"
              "    KeyError: If the agent ID is not registered."),
    VRELL_DEF(deregister_agent,
              "deregister_agent($self, agent_id)\n--\n\n"
              "Deregister an agent.  No-op if the ID does not exist."),
    VRELL_DEF(get_agent,
              "get_agent($self, agent_id)\n--\n\n"
              "Look up an agent by ID.\n\n"
              "Returns:\n"
              "    JSON string of the agent entry, or ``None`` if not found."),
    VRELL_DEF(list_agents,
              "list_agents($self, agent_type=None, status=None)\n--\n\n"
              "List agents, optionally filtered.\n\n"
              "Args:\n"
              "    agent_type: Only agents of this type.\n"
              "    status:     Only agents in this status.\n\n"
              "Returns:\n"
              "    JSON array of agent entries."),
    VRELL_DEF(route_agent_call,
              "route_agent_call($self, agent_type, agent_id, method, args_json=\"{}\")\n--\n\n"
              "Route a call to an agent and return routing metadata as JSON.\n\n"
              "Args:\n"
              "    agent_type: Agent class name.\n"
              "    agent_id:   Target agent identifier.\n"
              "    method:     Method to call.\n"
              "    args_json:  JSON-encoded arguments.\n\n"
              "Returns:\n"
              "    JSON routing descriptor.\n\n"
              "Raises:\n"
              "    KeyError: If the agent is not registered or has stopped."),
    VRELL_DEF(state_get,
              "state_get($self, key)\n--\n\n"
              "Get a value from the shared state store.\n\n"
              "Returns:\n"
              "    JSON string for the value, or ``None`` if the key does not exist."),
    VRELL_DEF(state_set,
              "state_set($self, key, value_json)\n--\n\n"
              "Set a value in the shared state store.\n\n"
              "Args:\n"
              "    key:        Arbitrary string key.\n"
              "    value_json: JSON-encoded value to store."),
    VRELL_DEF(state_delete,
              "state_delete($self, key)\n--\n\n"
              "Delete a key from the state store.  No-op if the key does not exist."),
    VRELL_DEF(state_exists,
              "state_exists($self, key)\n--\n\n"
              "Check whether a key exists in the state store."),
    VRELL_DEF(state_keys,
              "state_keys($self, prefix=\"\")\n--\n\n"
              "Return all keys that start with `prefix` (sorted)."),
    VRELL_DEF(start_migration,
              "start_migration($self, variable_name, source_backend, target_backend)\n--\n\n"
              "Start a zero-downtime migration for a storage variable.\n\n"
              "Args:\n"
              "    variable_name:  Fully-qualified storage name, e.g. \"counter.Counts\".\n"
              "    source_backend: Current backend name, e.g. \"sqlite\".\n"
              "    target_backend: Target backend name, e.g. \"redis\".\n\n"
              "Returns:\n"
              "    JSON string of the new migration state.\n\n"
              "Raises:\n"
              "    ValueError: If a non-complete migration already exists for this variable."),
    VRELL_DEF(
        advance_migration,
        "advance_migration($self, variable_name, discrepancy_count=0, keys_migrated=0)\n--\n\n"
        "Advance a migration to its next stage.\n\n"
        "Args:\n"
        "    variable_name:     Fully-qualified storage name.\n"
        "    discrepancy_count: Number of read discrepancies observed in this stage.\n"
        "    keys_migrated:     Number of keys copied during this stage.\n\n"
        "Returns:\n"
        "    JSON string of the updated migration state."),
    VRELL_DEF(rollback_migration,
              "rollback_migration($self, variable_name)\n--\n\n"
              "Roll back a migration by one stage.\n\n"
              "Returns:\n"
              "    JSON string of the updated migration state."),
    VRELL_DEF(get_migration,
              "get_migration($self, variable_name)\n--\n\n"
              "Get the current migration state for a variable.\n\n"
              "Returns:\n"
              "    JSON string of the migration state, or ``None`` if there is none."),
    VRELL_DEF(list_migrations,
              "list_migrations($self)\n--\n\n"
              "List all migrations (active and completed)."),
    VRELL_DEF(publish,
              "publish($self, topic, payload_json)\n--\n\n"
              "Publish a message to a topic.\n\n"
              "Args:\n"
              "    topic:        Topic name string.\n"
              "    payload_json: JSON-encoded message payload.\n\n"
              "Returns:\n"
              "    Number of active receivers that received the message."),
    VRELL_DEF(health_snapshot,
              "health_snapshot($self)\n--\n\n"
              "Return a JSON health snapshot of the entire mesh.\n\n"
              "The snapshot includes agent counts by status, state-store key count,\n"
              "active migration count, and channel topic count."),
    VRELL_DEF(plan_json,
              "plan_json($self)\n--\n\n"
              "Return the solved plan as a JSON string."),
};

#undef VRELL_DEF

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
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
  auto* doc = static_cast<char*>(PyObject_Malloc(sizeof kClassDoc));
  if (doc == nullptr) return PyErr_NoMemory();
  std::memcpy(doc, kClassDoc, sizeof kClassDoc);
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
