// Drives the Python binding with byte-coded call sequences on one mesh: every
// method, with argument shapes drawn from the input (text, unencodable text,
// None, integers of every size, floats, objects of the wrong type, keywords,
// surplus and missing arguments). Each call must either return a result of its
// method's type or raise an Exception subclass with no exception left behind;
// every JSON text returned must already be canonical; and after the sequence
// the counts of the health snapshot and of repr must agree with the listings.
//
// The interpreter is embedded, with the extension linked in statically and
// with the plain C allocator so that the sanitizers see every Python object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"
#include "pyref.h"

extern "C" PyObject* PyInit_vrell_mesh();

namespace {

using vrell::py::Ref;

// Helpers the calls draw on: odd argument objects, and the check that runs
// after every sequence.
constexpr const char kHelpers[] = R"PY(
import json
import vrell_mesh

target = None

class BadIndex:
    def __index__(self):
        raise ValueError("no index")

class HugeIndex:
    def __index__(self):
        return 2**70

class StrIndex:
    def __index__(self):
        return "seven"

class Text(str):
    pass

class Num(int):
    pass

class Reenter:
    # Calls back into the mesh while an argument is being converted.
    def __index__(self):
        if target is not None:
            target.state_set("re", "[1]")
            target.deregister_agent("a")
            target.list_agents()
            target.health_snapshot()
        return 1

ODD = [b"a", bytearray(b"b"), [], {}, (), 1.5, float("nan"), object(), BadIndex(), HugeIndex(),
       StrIndex(), Text("a"), Text("{}"), Num(3), Reenter(), vrell_mesh.VrellMesh, True]

AGENT_FIELDS = ["agent_id", "agent_type", "status", "instance", "registered_at", "last_active",
                "metadata"]
MIGRATION_FIELDS = ["variable_name", "source_backend", "target_backend", "stage", "stage_name",
                    "started_at", "advanced_at", "discrepancy_count", "keys_migrated", "app_name"]
STAGES = ["idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"]

def check(m):
    snap = json.loads(m.health_snapshot())
    assert snap["status"] == "ok", snap
    agents = json.loads(m.list_agents())
    assert snap["agents"]["total"] == len(agents), (snap, agents)
    assert len({a["agent_id"] for a in agents}) == len(agents), agents
    for status in ("running", "idle", "error"):
        mine = [a for a in agents if a["status"] == status]
        assert snap["agents"][status] == len(mine), (status, snap, agents)
        assert len(json.loads(m.list_agents(status=status))) == len(mine)
    for a in agents:
        assert list(a) == AGENT_FIELDS, a
        assert json.loads(m.get_agent(a["agent_id"])) == a
    keys = m.state_keys()
    assert snap["state"]["keys"] == len(keys) == len(set(keys)), (snap, keys)
    for k in keys:
        assert m.state_exists(k) and m.state_get(k) is not None, k
    migrations = json.loads(m.list_migrations())
    active = sum(1 for s in migrations if s["stage"] < 6)
    assert snap["migrations"]["active"] == active, (snap, migrations)
    for s in migrations:
        assert list(s) == MIGRATION_FIELDS, s
        assert s["stage_name"] == STAGES[s["stage"]], s
        assert json.loads(m.get_migration(s["variable_name"])) == s
    expected_tail = f", agents={len(agents)}, state_keys={len(keys)}, migrations={active})"
    assert repr(m).endswith(expected_tail), (repr(m), expected_tail)
    plan = json.loads(m.plan_json())
    assert list(plan) == ["app_name", "backends", "functions", "agents"], plan
    assert plan["app_name"] == m.app_name == snap["app"]
)PY";

// What a method gives back when it does not raise. Dynamic objects (Json) come
// out canonical, with sorted members; records keep their fields' fixed order,
// so of them (Record) only well-formedness is checked here.
enum class Ret { Json, OptJson, Record, OptRecord, None, Zero, Bool, SortedStrs };

struct Method {
  const char* name;
  Ret ret;
  int nrequired;
  std::vector<const char*> params;
};

const std::vector<Method> kMethods = {
    {"register_agent", Ret::Record, 2, {"agent_type", "agent_id", "instance", "metadata_json"}},
    {"update_agent_status", Ret::None, 2, {"agent_id", "status"}},
    {"deregister_agent", Ret::None, 1, {"agent_id"}},
    {"get_agent", Ret::OptRecord, 1, {"agent_id"}},
    {"list_agents", Ret::Record, 0, {"agent_type", "status"}},
    {"route_agent_call", Ret::Json, 3, {"agent_type", "agent_id", "method", "args_json"}},
    {"state_get", Ret::OptJson, 1, {"key"}},
    {"state_set", Ret::None, 2, {"key", "value_json"}},
    {"state_delete", Ret::None, 1, {"key"}},
    {"state_exists", Ret::Bool, 1, {"key"}},
    {"state_keys", Ret::SortedStrs, 0, {"prefix"}},
    {"start_migration", Ret::Record, 3, {"variable_name", "source_backend", "target_backend"}},
    {"advance_migration", Ret::Record, 1, {"variable_name", "discrepancy_count", "keys_migrated"}},
    {"rollback_migration", Ret::Record, 1, {"variable_name"}},
    {"get_migration", Ret::OptRecord, 1, {"variable_name"}},
    {"list_migrations", Ret::Record, 0, {}},
    {"publish", Ret::Zero, 2, {"topic", "payload_json"}},
    {"health_snapshot", Ret::Json, 0, {}},
    {"plan_json", Ret::Record, 0, {}},
};

// Texts that make calls meet each other: a few ids, the statuses, JSON of
// every kind, names with escapes, and text that cannot be encoded.
const char* const kWords[] = {
    "a",
    "b",
    "c",
    "T",
    "",
    "starting",
    "running",
    "idle",
    "stopping",
    "stopped",
    "error",
    "RUNNING",
    "{}",
    "[]",
    "null",
    "-0",
    "18446744073709551616",
    "{\"k\":[1,2.50,1e2,-0],\"a\":{\"b\":null}}",
    "\"\\ud83d\\ude00\"",
    "{",
    "[1,]",
    "v.Counts",
    "sqlite",
    "redis",
    "\xc3\xa9\xe2\x80\x94",
    "q\"\\\n\t\x01",
};

PyObject* g_helpers = nullptr;  // the helpers' namespace
PyObject* g_mesh_type = nullptr;
PyObject* g_odd = nullptr;
PyObject* g_check = nullptr;
std::vector<PyObject*> g_words;  // str objects, including unencodable ones
std::vector<PyObject*> g_ints;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string_view bytes(size_t n) {
    n = std::min(n, size_ - pos_);
    std::string_view s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "ops_fuzz: %s %s\n", what, detail.c_str());
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// Input bytes as a str: bytes that are not UTF-8 become lone surrogates.
Ref raw_text(std::string_view s) {
  Ref o = Ref::steal(
      PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
  if (!o) fail("cannot make a str");
  return o;
}

Ref make_value(Input& in) {
  const uint8_t kind = in.byte();
  switch (kind % 12) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
      return Ref::borrow(g_words[in.byte() % g_words.size()]);
    case 5:
      return raw_text(in.bytes(in.byte() % 48));
    case 6:
      return Ref::borrow(Py_None);
    case 7:
      return Ref::borrow(g_ints[in.byte() % g_ints.size()]);
    case 8: {
      uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v = (v << 8) | in.byte();
      Ref o = Ref::steal(kind & 0x80 ? PyLong_FromUnsignedLongLong(v)
                                     : PyLong_FromLongLong(static_cast<int64_t>(v)));
      if (!o) fail("cannot make an int");
      return o;
    }
    case 9:
      return Ref::borrow(PyList_GET_ITEM(g_odd, in.byte() % PyList_GET_SIZE(g_odd)));
    case 10: {
      // A long text: deep brackets or a long id.
      const size_t n = 100 + in.byte() * 4u;
      return raw_text(std::string(n, kind & 0x80 ? '[' : 'x'));
    }
    default:
      return Ref::borrow(g_words[in.byte() % 4]);  // the ids that collide most
  }
}

std::string utf8(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) fail("a str result cannot be encoded");
  return std::string(p, static_cast<size_t>(n));
}

void expect_json(PyObject* result, const char* method, bool canonical) {
  if (!PyUnicode_CheckExact(result)) fail("JSON result is not a str from", method);
  const std::string text = utf8(result);
  auto parsed = vrell::json::parse(text);
  if (!parsed) fail("JSON result does not parse:", std::string(method) + " " + text);
  if (canonical && parsed->text() != text) {
    fail("JSON result is not canonical:", std::string(method) + " " + text);
  }
}

void check_result(const Method& m, PyObject* result) {
  if (PyErr_Occurred()) fail("result returned with an exception set by", m.name);
  switch (m.ret) {
    case Ret::Json:
    case Ret::Record:
      expect_json(result, m.name, m.ret == Ret::Json);
      break;
    case Ret::OptJson:
    case Ret::OptRecord:
      if (result != Py_None) expect_json(result, m.name, m.ret == Ret::OptJson);
      break;
    case Ret::None:
      if (result != Py_None) fail("expected None from", m.name);
      break;
    case Ret::Zero:
      if (!PyLong_CheckExact(result) || PyLong_AsLong(result) != 0) fail("expected 0 from", m.name);
      break;
    case Ret::Bool:
      if (result != Py_True && result != Py_False) fail("expected a bool from", m.name);
      break;
    case Ret::SortedStrs: {
      if (!PyList_CheckExact(result)) fail("expected a list from", m.name);
      std::string previous;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result); ++i) {
        PyObject* item = PyList_GET_ITEM(result, i);
        if (!PyUnicode_CheckExact(item)) fail("expected str items from", m.name);
        std::string k = utf8(item);
        if (i > 0 && !(previous < k)) fail("keys not sorted or repeated:", previous + " / " + k);
        previous = std::move(k);
      }
      break;
    }
  }
}

// A failed call must leave exactly one ordinary exception, of a kind the
// binding raises, with a str message; it is cleared afterwards.
void check_raised(const char* what) {
  PyObject* type = PyErr_Occurred();
  if (type == nullptr) fail("NULL returned without an exception by", what);
  static PyObject* const kAllowed[] = {PyExc_TypeError,    PyExc_ValueError,    PyExc_KeyError,
                                       PyExc_RuntimeError, PyExc_OverflowError, PyExc_MemoryError};
  bool allowed = false;
  for (PyObject* k : kAllowed) allowed = allowed || PyErr_GivenExceptionMatches(type, k);
  if (!allowed || !PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
    fail("unexpected exception from", what);
  }
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type_ref = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  Ref text = Ref::steal(PyObject_Str(value.get()));
  if (!text) fail("exception without a printable message from", what);
}

// One call: the method, then a shape byte (how many arguments, how many of
// the last ones go by keyword, whether a keyword is misnamed), then values.
void call_method(PyObject* mesh, const Method& m, Input& in) {
  const uint8_t shape = in.byte();
  const int nparams = static_cast<int>(m.params.size());
  const int nargs = std::max(0, m.nrequired + (shape & 7) - 2);
  const int nkw = std::min(nargs, (shape >> 3) & 3);
  std::vector<Ref> values;
  for (int i = 0; i < nargs; ++i) values.push_back(make_value(in));

  const int npos = nargs - nkw;
  Ref kwnames;
  if (nkw > 0) {
    kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) fail("cannot make kwnames");
    const int misnamed = (shape & 0x20) ? (shape >> 6) % nkw : -1;
    for (int k = 0; k < nkw; ++k) {
      const int slot = npos + k;
      std::string name = slot < nparams ? m.params[static_cast<size_t>(slot)] : "surplus";
      if (k == misnamed) {
        // Unknown, or the name of a parameter that was also given by position.
        name = (shape & 0x40) && npos > 0 && nparams > 0 ? m.params[0] : "bogus";
      }
      // Names stay distinct, as in any call the interpreter makes.
      for (int j = 0; j < k; ++j) {
        if (utf8(PyTuple_GET_ITEM(kwnames.get(), j)) == name) name = "extra" + std::to_string(k);
      }
      PyObject* key = PyUnicode_InternFromString(name.c_str());
      if (key == nullptr) fail("cannot make a keyword name");
      PyTuple_SET_ITEM(kwnames.get(), k, key);
    }
  }

  Ref bound = Ref::steal(PyObject_GetAttrString(mesh, m.name));
  if (!bound) fail("no method", m.name);
  std::vector<PyObject*> argv;
  for (Ref& v : values) argv.push_back(v.get());
  Ref result = Ref::steal(
      PyObject_Vectorcall(bound.get(), argv.data(), static_cast<size_t>(npos), kwnames.get()));
  if (result) {
    check_result(m, result.get());
  } else {
    check_raised(m.name);
  }
}

// VrellMesh(...) with arguments drawn like any other call; a mesh that comes
// out of it must answer its own questions.
void construct(Input& in) {
  const uint8_t shape = in.byte();
  const int nargs = shape & 3;
  std::vector<Ref> values;
  for (int i = 0; i < nargs; ++i) {
    values.push_back(shape & 0x10 && i == 1 ? raw_text(in.bytes(in.byte())) : make_value(in));
  }
  std::vector<PyObject*> argv;
  for (Ref& v : values) argv.push_back(v.get());
  Ref mesh = Ref::steal(PyObject_Vectorcall(g_mesh_type, argv.data(), argv.size(), nullptr));
  if (!mesh) {
    check_raised("VrellMesh");
    return;
  }
  Ref plan = Ref::steal(PyObject_CallMethod(mesh.get(), "plan_json", nullptr));
  if (!plan) fail("plan_json of a new mesh raised");
  expect_json(plan.get(), "plan_json", false);
  Ref text = Ref::steal(PyObject_Repr(mesh.get()));
  if (!text) fail("repr of a new mesh raised");
}

void check_mesh(PyObject* mesh) {
  Ref ok = Ref::steal(PyObject_CallOneArg(g_check, mesh));
  if (!ok) fail("mesh inconsistent after the sequence");
}

void init_python() {
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&pre))) fail("pre-initialisation failed");
  if (PyImport_AppendInittab("vrell_mesh", PyInit_vrell_mesh) < 0) fail("inittab");
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;  // the fuzzer's own stay in place
  const PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) fail("interpreter start failed");

  PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
  if (main_module == nullptr) fail("no __main__");
  g_helpers = PyModule_GetDict(main_module);
  Py_INCREF(g_helpers);
  Ref ran = Ref::steal(PyRun_String(kHelpers, Py_file_input, g_helpers, g_helpers));
  if (!ran) fail("helpers failed");
  g_odd = PyDict_GetItemString(g_helpers, "ODD");
  g_check = PyDict_GetItemString(g_helpers, "check");
  Ref vm = Ref::steal(PyImport_ImportModule("vrell_mesh"));
  if (!vm || !g_odd || !g_check) fail("helpers incomplete");
  g_mesh_type = PyObject_GetAttrString(vm.get(), "VrellMesh");
  if (!g_mesh_type) fail("no VrellMesh");

  for (const char* w : kWords) g_words.push_back(raw_text(w).release());
  g_words.push_back(raw_text(std::string_view("a\0b", 3)).release());
  g_words.push_back(raw_text("\xed\xa0\x80").release());  // a lone surrogate
  g_words.push_back(raw_text("k\xff").release());         // not UTF-8
  for (const char* expr : {"0", "1", "7", "-1", "2**31", "2**32-1", "2**32", "2**63", "2**64-1",
                           "2**64", "-2**63", "2**200", "-2**200"}) {
    PyObject* v = PyRun_String(expr, Py_eval_input, g_helpers, g_helpers);
    if (v == nullptr) fail("int pool");
    g_ints.push_back(v);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_python();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  Ref mesh;
  if (in.byte() & 1) {
    // A plan from the input: it parses, or the constructor refuses it.
    Ref plan = raw_text(in.bytes(in.byte()));
    Ref name = raw_text("fuzz");
    PyObject* argv[] = {name.get(), plan.get()};
    mesh = Ref::steal(PyObject_Vectorcall(g_mesh_type, argv, 2, nullptr));
    if (!mesh) check_raised("VrellMesh");
  }
  if (!mesh) {
    Ref name = raw_text("fuzz");
    PyObject* argv[] = {name.get()};
    mesh = Ref::steal(PyObject_Vectorcall(g_mesh_type, argv, 1, nullptr));
    if (!mesh) fail("VrellMesh(\"fuzz\") raised");
  }
  if (PyDict_SetItemString(g_helpers, "target", mesh.get()) < 0) fail("target");

  while (!in.empty()) {
    const uint8_t op = in.byte();
    const size_t which = op % (kMethods.size() + 3);
    if (which < kMethods.size()) {
      call_method(mesh.get(), kMethods[which], in);
    } else if (which == kMethods.size()) {
      construct(in);
    } else {
      Ref text =
          Ref::steal(which == kMethods.size() + 1 ? PyObject_Repr(mesh.get())
                                                  : PyObject_GetAttrString(mesh.get(), "app_name"));
      if (!text || !PyUnicode_CheckExact(text.get())) fail("repr or app_name failed");
    }
  }
  check_mesh(mesh.get());
  if (PyDict_SetItemString(g_helpers, "target", Py_None) < 0) fail("target");
  return 0;
}
