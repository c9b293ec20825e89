"""The module, the VrellMesh class, its construction, the plan and repr."""

import inspect
import json
import types
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vrell_mesh
from vrell_mesh import VrellMesh

Py_TPFLAGS_BASETYPE = 1 << 10

# The methods in registration order, as the class holds them.
METHOD_NAMES = [name for name, value in VrellMesh.__dict__.items() if isinstance(value, types.MethodDescriptorType)]

CLASS_DOC = (
    "The runtime mesh for a Vrell application.\n"
    "\n"
    "Create one per application process (Python):\n"
    "\n"
    "```python\n"
    'mesh = VrellMesh("myapp", plan_json)\n'
    "```\n"
    "\n"
    "All methods are synchronous and GIL-aware \u2014 they release the GIL during\n"
    "any blocking work."
)


def default_plan(name):
    return json.dumps(
        {"app_name": name, "backends": {}, "functions": [], "agents": []},
        separators=(",", ":"),
        ensure_ascii=False,
    )


# --- module ---------------------------------------------------------------


def test_module_all_and_version():
    assert vrell_mesh.__all__ == ["VrellMesh", "__version__"]
    assert type(vrell_mesh.__version__) is str
    assert vrell_mesh.__version__ == "0.3.2"


def test_module_docstring():
    assert vrell_mesh.__doc__ == "Python module `vrell_mesh`."


def test_module_has_no_functions():
    public = [name for name in vars(vrell_mesh) if not name.startswith("_")]
    assert "VrellMesh" in public
    assert not [
        name for name, value in vars(vrell_mesh).items() if isinstance(value, types.BuiltinFunctionType)
    ]


# --- the class ------------------------------------------------------------


def test_class_identity():
    assert vrell_mesh.VrellMesh is VrellMesh
    assert isinstance(VrellMesh, type)
    assert VrellMesh.__name__ == "VrellMesh"
    assert VrellMesh.__qualname__ == "VrellMesh"
    assert VrellMesh.__bases__ == (object,)


def test_class_docstring_and_signature():
    assert VrellMesh.__doc__ == CLASS_DOC
    assert VrellMesh.__text_signature__ == '(app_name, plan_json="")'
    assert str(inspect.signature(VrellMesh)) == "(app_name, plan_json='')"


def test_class_cannot_be_subclassed():
    assert not VrellMesh.__flags__ & Py_TPFLAGS_BASETYPE
    with pytest.raises(TypeError):
        type("Sub", (VrellMesh,), {})


def test_instance_has_no_dict_and_refuses_attributes(mesh):
    assert not hasattr(mesh, "__dict__")
    with pytest.raises(AttributeError):
        mesh.anything = 1
    with pytest.raises(AttributeError):
        mesh.state_get = None


def test_instance_has_no_weak_references(mesh):
    with pytest.raises(TypeError):
        weakref.ref(mesh)


def test_only_new_and_repr_slots_of_its_own():
    own = set(VrellMesh.__dict__)
    assert "__new__" in own
    assert "__repr__" in own
    for name in ("__init__", "__str__", "__eq__", "__lt__", "__hash__", "__reduce__", "__reduce_ex__",
                 "__dict__", "__weakref__"):
        assert name not in own, name


def test_host_defaults_for_str_equality_and_hash():
    a = VrellMesh("myapp")
    b = VrellMesh("myapp")
    assert str(a) == repr(a)
    assert a == a and a != b
    assert hash(a) == hash(a)


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_method_names_and_docstrings(name):
    method = getattr(VrellMesh, name)
    assert method.__name__ == name
    assert method.__qualname__ == f"VrellMesh.{name}"
    # The signature line is the interpreter's to read, not part of the text.
    assert method.__text_signature__.startswith("($self")
    assert method.__doc__ and not method.__doc__.startswith(name + "(")
    assert "\n--\n" not in method.__doc__


def test_bound_signature_drops_self(mesh):
    assert str(inspect.signature(mesh.register_agent)) == \
        "(agent_type, agent_id, instance=0, metadata_json=None)"
    assert str(inspect.signature(mesh.route_agent_call)) == \
        "(agent_type, agent_id, method, args_json='{}')"
    assert str(inspect.signature(mesh.health_snapshot)) == "()"


def test_app_name_property():
    prop = VrellMesh.__dict__["app_name"]
    assert isinstance(prop, types.GetSetDescriptorType)
    assert prop.__doc__ == "Application name."
    mesh = VrellMesh("myapp")
    assert type(mesh.app_name) is str
    with pytest.raises(AttributeError):
        mesh.app_name = "other"
    with pytest.raises(AttributeError):
        del mesh.app_name
    assert mesh.app_name == "myapp"


def test_unbound_method_checks_self(mesh):
    mesh.state_set("k", "1")
    assert VrellMesh.state_get(mesh, "k") == "1"
    with pytest.raises(TypeError):
        VrellMesh.state_get("not a mesh", "k")


# --- construction and the plan --------------------------------------------


@pytest.mark.parametrize(
    "args,kwargs",
    [
        (("myapp",), {}),
        (("myapp", ""), {}),
        ((), {"app_name": "myapp"}),
        ((), {"app_name": "myapp", "plan_json": ""}),
        (("myapp",), {"plan_json": ""}),
    ],
)
def test_construct_without_plan(args, kwargs):
    mesh = VrellMesh(*args, **kwargs)
    assert mesh.app_name == "myapp"
    assert mesh.plan_json() == '{"app_name":"myapp","backends":{},"functions":[],"agents":[]}'


def test_construct_through_new():
    mesh = VrellMesh.__new__(VrellMesh, "myapp")
    assert type(mesh) is VrellMesh
    assert mesh.app_name == "myapp"


@pytest.mark.parametrize(
    "name", ["", "my app", 'q"uote', "back\\slash", "line\nfeed", "caf\u00e9", "\U0001f600", "\x00"]
)
def test_app_name_argument_kept_exactly(name):
    mesh = VrellMesh(name)
    assert mesh.app_name == name
    assert mesh.plan_json() == default_plan(name)


@pytest.mark.parametrize(
    "plan",
    [
        "   ",
        "  \n",
        "{}",
        " {} ",
        "\t\r\n{}\n",
        "\x0b\x0c{}\x85",
        "\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000",
        "\u3000{}\u2029",
    ],
)
def test_blank_or_empty_plan_gives_nameless_default(plan):
    mesh = VrellMesh("myapp", plan)
    assert mesh.app_name == ""
    assert mesh.plan_json() == default_plan("")
    assert repr(mesh) == 'VrellMesh(app="", agents=0, state_keys=0, migrations=0)'
    assert json.loads(mesh.health_snapshot())["app"] == ""
    # Migrations fall back to the constructor's name.
    assert json.loads(mesh.start_migration("v", "a", "b"))["app_name"] == "myapp"


def test_plan_with_empty_app_name_falls_back_for_migrations():
    mesh = VrellMesh("myapp", '{"app_name":""}')
    assert mesh.app_name == ""
    assert json.loads(mesh.start_migration("v", "a", "b"))["app_name"] == "myapp"


def test_plan_name_wins_over_argument():
    mesh = VrellMesh("myapp", '{"app_name":"other"}')
    assert mesh.app_name == "other"
    assert repr(mesh) == 'VrellMesh(app="other", agents=0, state_keys=0, migrations=0)'
    assert json.loads(mesh.start_migration("v", "a", "b"))["app_name"] == "other"
    assert json.loads(mesh.health_snapshot())["app"] == "other"


@pytest.mark.parametrize(
    "plan,expected",
    [
        ('{"app_name":"myapp"}', '{"app_name":"myapp","backends":{},"functions":[],"agents":[]}'),
        (
            '{"app_name":"myapp","backends":{"db":{"backend_type":"sqlite"}},"extra":1}',
            '{"app_name":"myapp","backends":{"db":{"backend_type":"sqlite","config":null}},'
            '"functions":[],"agents":[]}',
        ),
        (
            '{"agents":["B","A","B"],"functions":["f2","f1","f1"],"app_name":"x"}',
            '{"app_name":"x","backends":{},"functions":["f2","f1","f1"],"agents":["B","A","B"]}',
        ),
        (
            '{"app_name":"a","backends":{"c":{"config":{"z":[1.50,-0],"a":{"y":1,"x":2}},'
            '"backend_type":"redis","other":[{}]}}}',
            '{"app_name":"a","backends":{"c":{"backend_type":"redis",'
            '"config":{"a":{"x":2,"y":1},"z":[1.5,-0.0]}}},"functions":[],"agents":[]}',
        ),
        (
            '{"app_name":"a","backends":{"db":{"backend_type":"x","config":1},'
            '"db":{"backend_type":"y"}}}',
            '{"app_name":"a","backends":{"db":{"backend_type":"y","config":null}},'
            '"functions":[],"agents":[]}',
        ),
        (
            '{"x":{"y":[1,{"z":null}],"w":"\\u0041"},"app_name":"a","backends":{"db":'
            '{"backend_type":"s","config":"\\u00e9\\n"}}}',
            '{"app_name":"a","backends":{"db":{"backend_type":"s","config":"\u00e9\\n"}},'
            '"functions":[],"agents":[]}',
        ),
        (' \n {"app_name" : "sp" } \n ', '{"app_name":"sp","backends":{},"functions":[],"agents":[]}'),
        ('\u2028{"app_name":"ws"}\u205f', '{"app_name":"ws","backends":{},"functions":[],"agents":[]}'),
        ('["a"]', '{"app_name":"a","backends":{},"functions":[],"agents":[]}'),
        (
            '["a",{"db":["sqlite"]},["f1","f1"],["A"]]',
            '{"app_name":"a","backends":{"db":{"backend_type":"sqlite","config":null}},'
            '"functions":["f1","f1"],"agents":["A"]}',
        ),
        (
            '["a",{"db":{"backend_type":"s","config":[2]}}]',
            '{"app_name":"a","backends":{"db":{"backend_type":"s","config":[2]}},'
            '"functions":[],"agents":[]}',
        ),
        (
            '["a",{"db":["s",{"b":1,"a":2}]},[],["x"]]',
            '{"app_name":"a","backends":{"db":{"backend_type":"s","config":{"a":2,"b":1}}},'
            '"functions":[],"agents":["x"]}',
        ),
    ],
)
def test_plan_written_back(plan, expected):
    mesh = VrellMesh("ignored", plan)
    assert mesh.plan_json() == expected
    assert mesh.app_name == json.loads(expected)["app_name"]


def test_plan_with_several_backends():
    plan = {
        "app_name": "shop",
        "backends": {
            "db": {"backend_type": "sqlite", "config": {"path": "/tmp/x.db"}},
            "cache": {"backend_type": "redis", "config": {"url": "redis://h", "db": 0}},
            "blob": {"backend_type": "s3"},
        },
        "functions": ["checkout"],
        "agents": ["Customer", "Order"],
    }
    mesh = VrellMesh("shop", json.dumps(plan))
    text = mesh.plan_json()
    pairs = json.loads(text, object_pairs_hook=lambda p: p)
    assert [k for k, _ in pairs] == ["app_name", "backends", "functions", "agents"]
    backends = dict(pairs)["backends"]
    for _, backend in backends:
        assert [k for k, _ in backend] == ["backend_type", "config"]
    written = json.loads(text)
    plan["backends"]["blob"]["config"] = None
    assert written == plan
    assert ",\"" in text and " " not in text


def test_plan_json_returns_fresh_equal_text():
    mesh = VrellMesh("myapp", '{"app_name":"p","functions":["f"]}')
    first = mesh.plan_json()
    assert mesh.plan_json() == first


def column_after(text, token, last=False):
    """Column of the last byte of `token` in the one-line `text`."""
    start = text.rfind(token) if last else text.find(token)
    assert start >= 0
    return len(text[: start + len(token)].encode("utf-8"))


PLAN_FAILURES = [
    ("{ }", "missing field `app_name` at line 1 column 3"),
    ("{}x", "missing field `app_name` at line 1 column 2"),
    ('{"functions":[]}', "missing field `app_name` at line 1 column 16"),
    ('{"app_name":"a","app_name":"b"}', "duplicate field `app_name` at line 1 column 26"),
    ('{"app_name":5}', "invalid type: integer `5`, expected a string at line 1 column 13"),
    ('{"app_name":[]}', "invalid type: sequence, expected a string at line 1 column 12"),
    ('{"app_name":{}}', "invalid type: map, expected a string at line 1 column 12"),
    ('{"app_name":true}', "invalid type: boolean `true`, expected a string at line 1 column 16"),
    ('{"app_name":null}', "invalid type: null, expected a string at line 1 column 16"),
    ('{"app_name":"a","backends":[]}', "invalid type: sequence, expected a map at line 1 column 27"),
    ('{"app_name":"a","backends":{"db":{}}}', "missing field `backend_type` at line 1 column 35"),
    ('{"app_name":"a","agents":null}', "invalid type: null, expected a sequence at line 1 column 29"),
    (
        '{"app_name":"a","functions":"f"}',
        'invalid type: string "f", expected a sequence at line 1 column '
        + str(column_after('{"app_name":"a","functions":"f"}', '"f"')),
    ),
    (
        '{"app_name":"a","agents":[1]}',
        "invalid type: integer `1`, expected a string at line 1 column "
        + str(column_after('{"app_name":"a","agents":[1]}', "[1")),
    ),
    (
        '{"app_name":"a","backends":{"db":5}}',
        "invalid type: integer `5`, expected struct BackendSpec with 2 elements at line 1 column "
        + str(column_after('{"app_name":"a","backends":{"db":5}}', ":5")),
    ),
    (
        '{"app_name":"a","backends":{"db":{"backend_type":"x","backend_type":"y"}}}',
        "duplicate field `backend_type` at line 1 column "
        + str(column_after('{"app_name":"a","backends":{"db":{"backend_type":"x","backend_type":"y"}}}',
                           '"backend_type"', last=True)),
    ),
    (
        '{"app_name":"a","functions":[],"functions":[]}',
        "duplicate field `functions` at line 1 column "
        + str(column_after('{"app_name":"a","functions":[],"functions":[]}', '"functions"', last=True)),
    ),
    ("[]", "invalid length 0, expected struct Plan with 4 elements at line 1 column 2"),
    ("5", "invalid type: integer `5`, expected struct Plan with 4 elements at line 1 column 1"),
    ('"x"', 'invalid type: string "x", expected struct Plan with 4 elements at line 1 column 3'),
    ('["a",{},[],[],1]', "trailing characters at line 1 column 15"),
    ('{"app_name":"a"} x', "trailing characters at line 1 column 18"),
    ('{"app_name":', "EOF while parsing a value at line 1 column 12"),
    ('{"app_name":"a",}', "trailing comma at line 1 column 17"),
    ("\n\n{\"app_name\":5}", "invalid type: integer `5`, expected a string at line 1 column 13"),
    ('{\n"app_name":5}', "invalid type: integer `5`, expected a string at line 2 column 12"),
    ("\u200b{}", "expected value at line 1 column 1"),
]


@pytest.mark.parametrize("plan,message", PLAN_FAILURES)
def test_plan_failures(plan, message, raises_exactly):
    with raises_exactly(ValueError, "Serialization error: " + message):
        VrellMesh("myapp", plan)


def test_plan_unknown_members_are_still_depth_limited(raises_exactly):
    accepted = '{"app_name":"a","x":' + "[" * 126 + "]" * 126 + "}"
    assert VrellMesh("m", accepted).app_name == "a"
    refused = '{"app_name":"a","x":' + "[" * 127 + "]" * 127 + "}"
    with raises_exactly(ValueError, "Serialization error: recursion limit exceeded at line 1 column "
                        + str(len('{"app_name":"a","x":') + 127)):
        VrellMesh("m", refused)


def test_plan_config_depth_limited():
    nested = "[" * 124 + "]" * 124
    ok = '{"app_name":"a","backends":{"d":{"backend_type":"t","config":' + nested + "}}}"
    assert '"config":' + nested + "}" in VrellMesh("m", ok).plan_json()
    too_deep = '{"app_name":"a","backends":{"d":{"backend_type":"t","config":[' + nested + "]}}}"
    with pytest.raises(ValueError, match="^Serialization error: recursion limit exceeded at line 1 column "):
        VrellMesh("m", too_deep)


# --- repr -------------------------------------------------------------------


def quoted(name):
    out = ['"']
    for ch in name:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch in "\t\r\n\0":
            out.append({"\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}[ch])
        elif ch.isprintable():
            out.append(ch)
        else:
            out.append("\\u{%x}" % ord(ch))
    out.append('"')
    return "".join(out)


def test_repr_fresh(mesh):
    assert repr(mesh) == 'VrellMesh(app="myapp", agents=0, state_keys=0, migrations=0)'


@pytest.mark.parametrize(
    "name,shown",
    [
        ("", '""'),
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("\x01", '"\\u{1}"'),
        ("\x1b[0m", '"\\u{1b}[0m"'),
        ("\x7f", '"\\u{7f}"'),
        ("\x85", '"\\u{85}"'),
        ("\xa0", '"\\u{a0}"'),
        ("\u200b", '"\\u{200b}"'),
        ("\u2028", '"\\u{2028}"'),
        ("\U000e0001", '"\\u{e0001}"'),
        ("it's", "\"it's\""),
        ("caf\u00e9 \u65e5\u672c \U0001f600", '"caf\u00e9 \u65e5\u672c \U0001f600"'),
        ("e\u0301", '"e\u0301"'),
        ("a b/c", '"a b/c"'),
    ],
)
def test_repr_quoted_name(name, shown):
    mesh = VrellMesh(name)
    assert repr(mesh) == f"VrellMesh(app={shown}, agents=0, state_keys=0, migrations=0)"


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12))
def test_repr_quoted_name_property(name):
    mesh = VrellMesh(name)
    assert repr(mesh) == f"VrellMesh(app={quoted(name)}, agents=0, state_keys=0, migrations=0)"


def test_repr_counts():
    mesh = VrellMesh("myapp")
    mesh.register_agent("Customer", "c-1")
    mesh.register_agent("Customer", "c-2")
    mesh.update_agent_status("c-2", "stopped")
    for key in ("a", "b", "c"):
        mesh.state_set(key, "1")
    mesh.state_set("a", "2")
    mesh.start_migration("active", "sqlite", "redis")
    mesh.start_migration("idle", "sqlite", "redis")
    mesh.rollback_migration("idle")
    mesh.start_migration("done", "sqlite", "redis")
    for _ in range(5):
        mesh.advance_migration("done")
    mesh.publish("t", "1")
    assert repr(mesh) == 'VrellMesh(app="myapp", agents=2, state_keys=3, migrations=2)'
    mesh.deregister_agent("c-1")
    mesh.state_delete("b")
    assert repr(mesh) == 'VrellMesh(app="myapp", agents=1, state_keys=2, migrations=2)'
