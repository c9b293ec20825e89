// The methods of VrellMesh: each one's declaration (parameters, defaults,
// documentation) beside its body, which gets the converted arguments by name,
// calls one component and converts the result.
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "binding.h"
#include "platform.h"
#include "scan.h"

namespace vrell::binding {
namespace {

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

// What a lookup appended to `out` as a str, None when it found nothing, or
// the error raised.
PyObject* found_or_none(const ModuleState& st, const Result<bool>& found, const std::string& out) {
  if (!found) return raise(st, found.error());
  return *found ? new_str(out) : none();
}

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
  return found_or_none(st, m.registry.write_entry_json(a.agent_id, out), out);
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
  if (platform::kFastPaths && !scan::has_special(type) && !scan::has_special(id) &&
      !scan::has_special(method)) {
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
  return found_or_none(st, m.state.read_into(a.key, out), out);
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
  return found_or_none(st, m.migrations.write_json(a.variable_name, out), out);
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

}  // namespace

std::span<PyMethodDef> method_table() { return kMethods; }

}  // namespace vrell::binding
