"""Argument binding: the exact errors raised before any component runs."""

import inspect
import json
import types

import pytest

from vrell_mesh import VrellMesh

# The methods as the module declares them, in registration order: (name,
# parameters, number of required parameters); "__new__" is the constructor.
def _declared():
    def entry(name, sig):
        params = [p for p in sig.parameters.values() if p.name != "self"]
        required = sum(p.default is inspect.Parameter.empty for p in params)
        return name, tuple(p.name for p in params), required, {p.name: p.default for p in params}

    out = [entry("__new__", inspect.signature(VrellMesh))]
    for name, value in VrellMesh.__dict__.items():
        if isinstance(value, types.MethodDescriptorType):
            out.append(entry(name, inspect.signature(value)))
    return out


DECLARED = _declared()
METHODS = [(name, params, required) for name, params, required, _ in DECLARED]
DEFAULTS = {name: defaults for name, _, _, defaults in DECLARED}
INT_PARAMS = {p for d in DEFAULTS.values() for p, v in d.items() if type(v) is int}
# Optional text parameters that take None as "left out".
NONE_DEFAULT = {(m, p) for m, d in DEFAULTS.items() for p, v in d.items() if v is None}
# Optional text parameters whose default is a string: None is refused.
STRING_DEFAULT = [(m, p) for m, d in DEFAULTS.items() for p, v in d.items() if type(v) is str]


def test_declarations_cover_every_kind():
    # The derived tables drive the tests below; each kind must be there to test.
    assert len(METHODS) == 20
    assert INT_PARAMS == {"instance", "discrepancy_count", "keys_migrated"}
    assert len(NONE_DEFAULT) == 3 and len(STRING_DEFAULT) == 3


VALID = {
    "value_json": "{}",
    "payload_json": "{}",
    "args_json": "{}",
    "metadata_json": "{}",
    "plan_json": "",
    "status": "running",
}


def valid(param):
    if param in INT_PARAMS:
        return 0
    return VALID.get(param, "x")


def target(name):
    if name == "__new__":
        return VrellMesh
    return getattr(VrellMesh("myapp"), name)


def fname(name):
    return f"VrellMesh.{name}()"


def python_twin(name):
    """A Python function with the method's parameters: the interpreter's own
    argument errors are the oracle for the binder's texts."""
    params, required = next((p, r) for n, p, r in METHODS if n == name)
    listed = ", ".join(p if i < required else f"{p}=None" for i, p in enumerate(params))
    namespace = {}
    exec(f"def twin({listed}): pass", namespace)
    return namespace["twin"]


def expected_error(name, *args, **kwargs):
    try:
        python_twin(name)(*args, **kwargs)
    except TypeError as e:
        text = str(e)
    else:
        raise AssertionError("the twin accepted the call")
    # Each names the function its own way; the module always says "arguments".
    text = fname(name) + text[text.index("()") + 2 :]
    return text.replace(" 1 positional argument but", " 1 positional arguments but")


def str_params():
    for name, params, _ in METHODS:
        for p in params:
            if p not in INT_PARAMS:
                yield name, params, p


def int_params():
    for name, params, _ in METHODS:
        for p in params:
            if p in INT_PARAMS:
                yield name, params, p


def call_with(name, params, param, value):
    """Calls `name` positionally with valid values for the required parameters and
    for every one up to `param`, which gets `value`."""
    required = dict((n, r) for n, _, r in METHODS)[name]
    idx = params.index(param)
    args = [valid(p) for p in params[: max(required, idx + 1)]]
    args[idx] = value
    return target(name)(*args)


STR_PARAM_CASES = [(n, ps, p) for n, ps, p in str_params()]
STR_IDS = [f"{n}-{p}" for n, _, p in STR_PARAM_CASES]


# --- missing arguments --------------------------------------------------------


@pytest.mark.parametrize("name,params,required", [m for m in METHODS if m[2] > 0], ids=lambda x: str(x))
def test_missing_all_required(name, params, required, raises_exactly):
    with raises_exactly(TypeError, expected_error(name)):
        target(name)()


@pytest.mark.parametrize("name,params,required", [m for m in METHODS if m[2] > 1], ids=lambda x: str(x))
def test_missing_after_first_positional(name, params, required, raises_exactly):
    with raises_exactly(TypeError, expected_error(name, valid(params[0]))):
        target(name)(valid(params[0]))


@pytest.mark.parametrize("name,params,required", [m for m in METHODS if m[2] > 1], ids=lambda x: str(x))
def test_missing_with_last_required_by_keyword(name, params, required, raises_exactly):
    last = params[required - 1]
    with raises_exactly(TypeError, expected_error(name, **{last: valid(last)})):
        target(name)(**{last: valid(last)})


@pytest.mark.parametrize(
    "call,text",
    [
        (lambda m: m.publish("t"), "VrellMesh.publish() missing 1 required positional argument: 'payload_json'"),
        (lambda m: m.register_agent(), "VrellMesh.register_agent() missing 2 required positional arguments: "
                                       "'agent_type' and 'agent_id'"),
        (lambda m: m.route_agent_call(), "VrellMesh.route_agent_call() missing 3 required positional arguments: "
                                         "'agent_type', 'agent_id', and 'method'"),
        (lambda m: m.start_migration(source_backend="s"),
         "VrellMesh.start_migration() missing 2 required positional arguments: "
         "'variable_name' and 'target_backend'"),
        (lambda m: m.advance_migration(keys_migrated=1),
         "VrellMesh.advance_migration() missing 1 required positional argument: 'variable_name'"),
        (lambda m: VrellMesh(plan_json=""), "VrellMesh.__new__() missing 1 required positional argument: 'app_name'"),
    ],
)
def test_missing_examples(call, text, mesh, raises_exactly):
    with raises_exactly(TypeError, text):
        call(mesh)


# --- too many positional arguments ----------------------------------------------


@pytest.mark.parametrize("extra", [1, 2])
@pytest.mark.parametrize("name,params,required", METHODS, ids=lambda x: str(x))
def test_too_many_positional(name, params, required, extra, raises_exactly):
    args = [valid(p) for p in params] + ["x"] * extra
    with raises_exactly(TypeError, expected_error(name, *args)):
        target(name)(*args)


@pytest.mark.parametrize(
    "call,text",
    [
        (lambda m: m.register_agent("T", "a", 0, None, "x"),
         "VrellMesh.register_agent() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda m: m.list_agents(None, None, None),
         "VrellMesh.list_agents() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda m: m.state_keys("a", "b"), "VrellMesh.state_keys() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda m: m.state_get("a", "b"), "VrellMesh.state_get() takes 1 positional arguments but 2 were given"),
        (lambda m: m.start_migration("a", "b", "c", "d"),
         "VrellMesh.start_migration() takes 3 positional arguments but 4 were given"),
        (lambda m: m.health_snapshot(1), "VrellMesh.health_snapshot() takes 0 positional arguments but 1 was given"),
        (lambda m: VrellMesh("a", "", ""), "VrellMesh.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ],
)
def test_too_many_examples(call, text, mesh, raises_exactly):
    with raises_exactly(TypeError, text):
        call(mesh)


# --- keywords -----------------------------------------------------------------


@pytest.mark.parametrize("name,params,required", METHODS, ids=lambda x: str(x))
def test_unexpected_keyword(name, params, required, raises_exactly):
    args = [valid(p) for p in params[:required]]
    with raises_exactly(TypeError, f"{fname(name)} got an unexpected keyword argument 'bogus'"):
        target(name)(*args, bogus=1)


def test_unexpected_keyword_is_case_sensitive(mesh, raises_exactly):
    with raises_exactly(TypeError, "VrellMesh.state_get() got an unexpected keyword argument 'Key'"):
        mesh.state_get(Key="k")


def test_unexpected_keyword_that_is_not_valid_utf8(mesh, raises_exactly):
    # A keyword name with a lone surrogate names no parameter: the same TypeError.
    with raises_exactly(TypeError, "VrellMesh.state_get() got an unexpected keyword argument '\ud800'"):
        mesh.state_get("k", **{"\ud800": 1})


@pytest.mark.parametrize("name,params,required", [m for m in METHODS if m[1]], ids=lambda x: str(x))
def test_multiple_values(name, params, required, raises_exactly):
    first = params[0]
    args = [valid(p) for p in params[: max(required, 1)]]
    with raises_exactly(TypeError, f"{fname(name)} got multiple values for argument '{first}'"):
        target(name)(*args, **{first: valid(first)})


def test_multiple_values_for_optional(mesh, raises_exactly):
    with raises_exactly(TypeError, "VrellMesh.register_agent() got multiple values for argument 'instance'"):
        mesh.register_agent("T", "a", 1, instance=2)
    assert mesh.get_agent("a") is None


@pytest.mark.parametrize("name,params,required", [m for m in METHODS if m[1]], ids=lambda x: str(x))
def test_every_parameter_by_keyword(name, params, required):
    kwargs = {p: valid(p) for p in params}
    if name == "__new__":
        assert VrellMesh(**kwargs).app_name == "x"
        return
    mesh = VrellMesh("myapp")
    if name != "register_agent":
        mesh.register_agent("T", "x")
    if name != "start_migration":
        mesh.start_migration("x", "s", "t")
    getattr(mesh, name)(**kwargs)


def test_keywords_in_any_order(mesh):
    entry = mesh.register_agent(metadata_json='{"k":1}', instance=3, agent_id="a-1", agent_type="T")
    assert json.loads(entry)["instance"] == 3
    assert json.loads(entry)["metadata"] == {"k": 1}
    migration = mesh.start_migration(target_backend="redis", variable_name="v", source_backend="sqlite")
    assert json.loads(migration)["target_backend"] == "redis"
    assert json.loads(mesh.advance_migration("v", keys_migrated=7))["keys_migrated"] == 7


# --- text arguments -------------------------------------------------------------


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("name,params,param", STR_PARAM_CASES, ids=STR_IDS)
def test_int_where_text_required(name, params, param, raises_exactly):
    with raises_exactly(TypeError, f"argument '{param}': 'int' object cannot be converted to 'PyString'"):
        call_with(name, params, param, 1)


@pytest.mark.parametrize(
    "value,type_name",
    [
        (b"k", "bytes"),
        (bytearray(b"k"), "bytearray"),
        (1.5, "float"),
        (True, "bool"),
        (["k"], "list"),
        ({"k": 1}, "dict"),
        (object(), "object"),
        (Outer.Inner(), "Outer.Inner"),
    ],
)
def test_wrong_type_names_the_qualified_type(value, type_name, mesh, raises_exactly):
    with raises_exactly(TypeError, f"argument 'key': '{type_name}' object cannot be converted to 'PyString'"):
        mesh.state_get(value)


@pytest.mark.parametrize(
    "name,params,param",
    [c for c in STR_PARAM_CASES if (c[0], c[2]) not in NONE_DEFAULT],
    ids=[i for c, i in zip(STR_PARAM_CASES, STR_IDS) if (c[0], c[2]) not in NONE_DEFAULT],
)
def test_none_refused_for_text(name, params, param, raises_exactly):
    with raises_exactly(TypeError, f"argument '{param}': 'NoneType' object cannot be converted to 'PyString'"):
        call_with(name, params, param, None)


@pytest.mark.parametrize("name,param", STRING_DEFAULT)
def test_none_refused_where_default_is_text(name, param, raises_exactly):
    params = dict((n, p) for n, p, _ in METHODS)[name]
    before = [valid(p) for p in params[: params.index(param)]]
    with raises_exactly(TypeError, f"argument '{param}': 'NoneType' object cannot be converted to 'PyString'"):
        target(name)(*before, **{param: None})


def test_none_is_left_out_where_default_is_none(mesh):
    entry = json.loads(mesh.register_agent("T", "a", 0, None))
    assert entry["metadata"] == {}
    entry = json.loads(mesh.register_agent("T", "b", metadata_json=None))
    assert entry["metadata"] == {}
    mesh.update_agent_status("b", "running")
    assert len(json.loads(mesh.list_agents(None, None))) == 2
    assert [e["agent_id"] for e in json.loads(mesh.list_agents(agent_type=None, status="running"))] == ["b"]
    assert sorted(e["agent_id"] for e in json.loads(mesh.list_agents("T", None))) == ["a", "b"]
    assert json.loads(mesh.list_agents(status=None, agent_type="U")) == []


def test_text_subclass_accepted(mesh):
    class Key(str):
        pass

    mesh.state_set(Key("k"), Key("[1]"))
    assert mesh.state_get("k") == "[1]"
    assert mesh.state_keys(Key("")) == ["k"]


@pytest.mark.parametrize("name,params,param", STR_PARAM_CASES, ids=STR_IDS)
def test_surrogate_text_refused(name, params, param):
    with pytest.raises(UnicodeEncodeError) as info:
        call_with(name, params, param, "a\ud800b")
    assert f"argument '{param}'" in str(info.value)


# --- integer arguments ------------------------------------------------------------


@pytest.mark.parametrize("value", [-1, -(2**64), 2**32, 2**64, 2**100])
def test_instance_out_of_range(value, mesh):
    with pytest.raises(OverflowError) as info:
        mesh.register_agent("T", "a", value)
    assert type(info.value) is OverflowError
    assert str(info.value).startswith("argument 'instance': ")
    assert mesh.get_agent("a") is None


@pytest.mark.parametrize("value", [0, 1, 2**31, 2**32 - 1])
def test_instance_in_range(value, mesh):
    assert json.loads(mesh.register_agent("T", "a", value))["instance"] == value


def test_instance_through_index_protocol(mesh):
    class Index:
        def __index__(self):
            return 9

    assert json.loads(mesh.register_agent("T", "a", Index()))["instance"] == 9
    assert json.loads(mesh.register_agent("T", "b", True))["instance"] == 1


@pytest.mark.parametrize("name,params,param", list(int_params()), ids=lambda x: str(x))
@pytest.mark.parametrize("value", [None, "1", 1.0, 1.5, [1], b"1"])
def test_non_integer_refused(name, params, param, value):
    with pytest.raises(TypeError) as info:
        call_with(name, params, param, value)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{param}': ")


@pytest.mark.parametrize("param", ["discrepancy_count", "keys_migrated"])
@pytest.mark.parametrize("value", [-1, -(2**63), 2**64, 2**65 + 3])
def test_count_out_of_range(param, value, mesh):
    before = mesh.start_migration("v", "s", "t")
    with pytest.raises(OverflowError) as info:
        mesh.advance_migration("v", **{param: value})
    assert type(info.value) is OverflowError
    assert str(info.value).startswith(f"argument '{param}': ")
    assert mesh.get_migration("v") == before


def test_count_limits_accepted(mesh):
    mesh.start_migration("v", "s", "t")
    state = json.loads(mesh.advance_migration("v", 2**64 - 1, 2**64 - 1))
    assert state["discrepancy_count"] == 2**64 - 1
    assert state["keys_migrated"] == 2**64 - 1


# --- order and absence of effects ---------------------------------------------


@pytest.mark.parametrize(
    "call,param",
    [
        (lambda m: VrellMesh(1, None), "app_name"),
        (lambda m: VrellMesh("a", 1), "plan_json"),
        (lambda m: m.state_set(1, None), "key"),
        (lambda m: m.publish(None, 2), "topic"),
        (lambda m: m.publish("t", 2), "payload_json"),
        (lambda m: m.start_migration("v", None, 3), "source_backend"),
    ],
)
def test_first_bad_argument_reported(call, param, mesh):
    with pytest.raises(TypeError) as info:
        call(mesh)
    assert str(info.value).startswith(f"argument '{param}': ")


def test_refused_arguments_touch_nothing(mesh, health):
    with pytest.raises(TypeError):
        mesh.register_agent("T", "a", 0, 5)
    with pytest.raises(TypeError):
        mesh.state_set("k", None)
    with pytest.raises(TypeError):
        mesh.publish("t", None)
    with pytest.raises(TypeError):
        mesh.start_migration("v", "s", None)
    with pytest.raises(OverflowError):
        mesh.register_agent("T", "a", -1)
    assert health(mesh) == {
        "agents": {"error": 0, "idle": 0, "running": 0, "total": 0},
        "app": "myapp",
        "channels": {"topics": 0},
        "migrations": {"active": 0},
        "state": {"keys": 0},
        "status": "ok",
    }
    assert mesh.list_migrations() == "[]"
