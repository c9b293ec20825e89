"""Agent registration, status, look-up, listing and call routing."""

import json

import pytest

from vrell_mesh import VrellMesh

STATUSES = ["starting", "running", "idle", "stopping", "stopped", "error"]
ENTRY_KEYS = ["agent_id", "agent_type", "status", "instance", "registered_at", "last_active", "metadata"]
VALID_LIST = ". Valid values: starting, running, idle, stopping, stopped, error"


def pairs(text):
    return json.loads(text, object_pairs_hook=lambda p: p)


def entry(text):
    return json.loads(text)


def not_found(agent_type, agent_id):
    return f"Agent '{agent_type}/{agent_id}' not found in registry"


# --- register_agent -------------------------------------------------------------


def test_register_fresh_entry(mesh, check_timestamp):
    text = mesh.register_agent("Customer", "customer-123")
    assert type(text) is str
    stamp = entry(text)["registered_at"]
    check_timestamp(stamp)
    assert text == (
        '{"agent_id":"customer-123","agent_type":"Customer","status":"starting","instance":0,'
        f'"registered_at":"{stamp}","last_active":"{stamp}","metadata":{{}}}}'
    )
    assert mesh.get_agent("customer-123") == text


def test_entry_member_order_is_fixed(mesh):
    text = mesh.register_agent("T", "a", 5, '{"z":1,"b":{"d":1,"c":2},"a":[3]}')
    assert [k for k, _ in pairs(text)] == ENTRY_KEYS
    assert text.endswith(',"metadata":{"a":[3],"b":{"c":2,"d":1},"z":1}}')


@pytest.mark.parametrize(
    "metadata,written",
    [
        ("null", "null"),
        ("true", "true"),
        ("false", "false"),
        ("42", "42"),
        ("-1.50", "-1.5"),
        ('"text"', '"text"'),
        ("[1,2]", "[1,2]"),
        ("[]", "[]"),
        ("{}", "{}"),
        (' { "region" : "eu" , "a" : 1 } ', '{"a":1,"region":"eu"}'),
        ('{"n":{"y":null,"x":[1e2]}}', '{"n":{"x":[100.0],"y":null}}'),
        ('"caf\\u00e9\\n"', '"caf\u00e9\\n"'),
    ],
)
def test_metadata_of_every_kind(metadata, written, mesh):
    text = mesh.register_agent("Customer", "c-1", 2, metadata)
    assert text.endswith(f',"metadata":{written}}}')
    assert mesh.get_agent("c-1") == text
    assert entry(text)["instance"] == 2


def test_register_with_keyword_metadata(mesh):
    text = mesh.register_agent("Customer", "c-1", 2, '{"region":"eu","a":1}')
    assert entry(text)["metadata"] == {"a": 1, "region": "eu"}
    assert text.endswith(',"metadata":{"a":1,"region":"eu"}}')


@pytest.mark.parametrize("instance", [0, 1, 4294967295])
def test_instance_written_as_decimal(instance, mesh):
    text = mesh.register_agent("T", "a", instance)
    assert f',"instance":{instance},' in text


@pytest.mark.parametrize(
    "agent_type,agent_id",
    [
        ("", ""),
        ('Q"uote', "back\\slash"),
        ("line\nfeed", "tab\there"),
        ("\x01\x1f", "\x7f"),
        ("Caf\u00e9", "\u65e5\u672c-\U0001f600"),
        ("/", "a/b"),
    ],
)
def test_names_escaped_in_entry(agent_type, agent_id, mesh):
    text = mesh.register_agent(agent_type, agent_id)
    got = entry(text)
    assert got["agent_id"] == agent_id
    assert got["agent_type"] == agent_type
    assert text.startswith(
        '{"agent_id":' + json.dumps(agent_id, ensure_ascii=False)
        + ',"agent_type":' + json.dumps(agent_type, ensure_ascii=False) + ',"status":"starting"'
    )
    assert mesh.get_agent(agent_id) == text


def test_register_twice_keeps_first(mesh, raises_exactly):
    first = mesh.register_agent("X", "a-1", 1, '{"v":1}')
    with raises_exactly(RuntimeError, "Agent 'a-1' is already registered"):
        mesh.register_agent("Y", "a-1", 2, '{"v":2}')
    assert mesh.get_agent("a-1") == first
    assert entry(mesh.get_agent("a-1"))["agent_type"] == "X"


def test_register_twice_same_type(mesh, raises_exactly):
    mesh.register_agent("X", "a-1")
    mesh.update_agent_status("a-1", "running")
    before = mesh.get_agent("a-1")
    with raises_exactly(RuntimeError, "Agent 'a-1' is already registered"):
        mesh.register_agent("X", "a-1")
    assert mesh.get_agent("a-1") == before


def test_register_duplicate_with_bad_metadata_is_serialization_error(mesh, raises_exactly):
    mesh.register_agent("X", "a-1")
    with raises_exactly(ValueError, "Serialization error: EOF while parsing an object at line 1 column 1"):
        mesh.register_agent("X", "a-1", 0, "{")


def test_bad_metadata_registers_nothing(mesh, raises_exactly):
    with raises_exactly(ValueError, "Serialization error: trailing characters at line 1 column 4"):
        mesh.register_agent("X", "a-1", 0, "{} x")
    assert mesh.get_agent("a-1") is None
    assert mesh.list_agents() == "[]"


def test_ids_are_case_sensitive_and_type_is_not_identity(mesh, raises_exactly):
    mesh.register_agent("T", "a-1")
    mesh.register_agent("T", "A-1")
    mesh.register_agent("T", "a-1 ")
    assert len(entry(mesh.list_agents())) == 3
    with raises_exactly(RuntimeError, "Agent 'A-1' is already registered"):
        mesh.register_agent("Other", "A-1")


# --- update_agent_status ------------------------------------------------------------


@pytest.mark.parametrize("status", STATUSES)
def test_update_to_each_status(status, mesh, check_timestamp, pause):
    created = entry(mesh.register_agent("T", "a", 3, '{"m":1}'))
    pause()
    assert mesh.update_agent_status("a", status) is None
    got = entry(mesh.get_agent("a"))
    assert got["status"] == status
    assert got["registered_at"] == created["registered_at"]
    assert got["last_active"] != created["last_active"]
    assert check_timestamp(got["last_active"]) > check_timestamp(created["last_active"])
    assert {k: got[k] for k in ("agent_id", "agent_type", "instance", "metadata")} == \
        {"agent_id": "a", "agent_type": "T", "instance": 3, "metadata": {"m": 1}}


def test_update_to_same_status_refreshes_last_active(mesh, check_timestamp, pause):
    mesh.register_agent("T", "a")
    mesh.update_agent_status("a", "idle")
    first = entry(mesh.get_agent("a"))["last_active"]
    pause()
    mesh.update_agent_status("a", "idle")
    second = entry(mesh.get_agent("a"))["last_active"]
    assert check_timestamp(second) > check_timestamp(first)


def test_any_status_may_follow_any_other(mesh):
    mesh.register_agent("T", "a")
    for status in ["stopped", "starting", "error", "running", "stopping", "idle", "error", "starting"]:
        mesh.update_agent_status("a", status)
        assert entry(mesh.get_agent("a"))["status"] == status


@pytest.mark.parametrize(
    "status,shown",
    [
        ("RUNNING", '"RUNNING"'),
        ("Running", '"Running"'),
        ("active", '"active"'),
        ("", '""'),
        (" running", '" running"'),
        ("running\n", '"running\\n"'),
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("\x01", '"\\u{1}"'),
        ("\x1b", '"\\u{1b}"'),
        ("\x7f", '"\\u{7f}"'),
        ("\x85", '"\\u{85}"'),
        ("caf\u00e9 \U0001f600", '"caf\u00e9 \U0001f600"'),
        ("it's", "\"it's\""),
    ],
)
def test_unknown_status(status, shown, mesh, raises_exactly):
    mesh.register_agent("T", "a")
    before = mesh.get_agent("a")
    with raises_exactly(ValueError, "Unknown status " + shown + VALID_LIST):
        mesh.update_agent_status("a", status)
    assert mesh.get_agent("a") == before


def test_unknown_status_checked_before_id(mesh, raises_exactly):
    with raises_exactly(ValueError, 'Unknown status "bogus"' + VALID_LIST):
        mesh.update_agent_status("ghost", "bogus")


def test_update_unknown_id(mesh, raises_exactly):
    with raises_exactly(KeyError, not_found("", "ghost")):
        mesh.update_agent_status("ghost", "running")
    assert mesh.get_agent("ghost") is None


# --- deregister_agent / get_agent -------------------------------------------------


def test_deregister_unknown_is_noop(mesh):
    mesh.register_agent("T", "a")
    before = mesh.list_agents()
    assert mesh.deregister_agent("ghost") is None
    assert mesh.list_agents() == before


def test_deregister_then_register_again(mesh, check_timestamp, pause):
    first = entry(mesh.register_agent("T", "a", 1, '{"old":1}'))
    mesh.update_agent_status("a", "running")
    assert mesh.deregister_agent("a") is None
    assert mesh.get_agent("a") is None
    assert mesh.list_agents() == "[]"
    assert mesh.deregister_agent("a") is None
    pause()
    again = entry(mesh.register_agent("U", "a"))
    assert again["status"] == "starting"
    assert again["agent_type"] == "U"
    assert again["metadata"] == {}
    assert check_timestamp(again["registered_at"]) > check_timestamp(first["registered_at"])


def test_get_unknown(mesh):
    assert mesh.get_agent("ghost") is None
    mesh.register_agent("T", "a")
    assert mesh.get_agent("A") is None
    assert mesh.get_agent("") is None


def test_get_returns_a_copy(mesh):
    mesh.register_agent("T", "a", 0, '{"k":[1]}')
    first = mesh.get_agent("a")
    mesh.update_agent_status("a", "idle")
    assert entry(first)["status"] == "starting"
    assert entry(mesh.get_agent("a"))["status"] == "idle"


# --- list_agents --------------------------------------------------------------------


def test_list_empty(mesh):
    assert mesh.list_agents() == "[]"
    assert mesh.list_agents("T", "running") == "[]"


@pytest.fixture
def populated(mesh):
    plan = [
        ("Customer", "c-1", "running"),
        ("Customer", "c-2", "idle"),
        ("Customer", "c-3", "running"),
        ("Order", "o-1", "running"),
        ("Order", "o-2", "stopped"),
        ("", "nameless", "error"),
        ("customer", "lower", "starting"),
    ]
    for agent_type, agent_id, status in plan:
        mesh.register_agent(agent_type, agent_id)
        if status != "starting":
            mesh.update_agent_status(agent_id, status)
    return mesh


def listed_ids(text):
    return sorted(e["agent_id"] for e in json.loads(text))


@pytest.mark.parametrize(
    "kwargs,expected",
    [
        ({}, ["c-1", "c-2", "c-3", "lower", "nameless", "o-1", "o-2"]),
        ({"agent_type": None, "status": None}, ["c-1", "c-2", "c-3", "lower", "nameless", "o-1", "o-2"]),
        ({"agent_type": "Customer"}, ["c-1", "c-2", "c-3"]),
        ({"agent_type": "customer"}, ["lower"]),
        ({"agent_type": ""}, ["nameless"]),
        ({"agent_type": "Nobody"}, []),
        ({"status": "running"}, ["c-1", "c-3", "o-1"]),
        ({"status": "starting"}, ["lower"]),
        ({"status": "error"}, ["nameless"]),
        ({"status": "stopping"}, []),
        ({"agent_type": "Customer", "status": "running"}, ["c-1", "c-3"]),
        ({"agent_type": "Order", "status": "idle"}, []),
        ({"status": "RUNNING"}, []),
        ({"status": "Running"}, []),
        ({"status": "active"}, []),
        ({"status": ""}, []),
        ({"status": "running "}, []),
    ],
)
def test_list_filters(kwargs, expected, populated):
    assert listed_ids(populated.list_agents(**kwargs)) == expected


def test_list_filters_positional(populated):
    assert listed_ids(populated.list_agents("Customer", "running")) == ["c-1", "c-3"]
    assert listed_ids(populated.list_agents("Order")) == ["o-1", "o-2"]


def test_list_text_is_entries_joined(populated):
    text = populated.list_agents()
    ids = [e["agent_id"] for e in json.loads(text)]
    assert text == "[" + ",".join(populated.get_agent(i) for i in ids) + "]"


def test_list_unknown_status_on_empty_and_full(populated):
    assert populated.list_agents(status="bogus") == "[]"


# --- route_agent_call ----------------------------------------------------------------


def descriptor(agent_type, agent_id, method):
    d = lambda s: json.dumps(s, ensure_ascii=False)  # noqa: E731
    return (
        f'{{"agent_id":{d(agent_id)},"agent_type":{d(agent_type)},"method":{d(method)},'
        f'"node":"localhost","status":"routed"}}'
    )


def test_route_descriptor(mesh):
    mesh.register_agent("Customer", "customer-123")
    text = mesh.route_agent_call("Customer", "customer-123", "get")
    assert type(text) is str
    assert text == descriptor("Customer", "customer-123", "get")
    assert text == (
        '{"agent_id":"customer-123","agent_type":"Customer","method":"get",'
        '"node":"localhost","status":"routed"}'
    )


@pytest.mark.parametrize("status", ["starting", "running", "idle", "stopping"])
def test_route_marks_running(status, mesh, check_timestamp, pause):
    mesh.register_agent("Customer", "c-1", 4, '{"k":1}')
    if status != "starting":
        mesh.update_agent_status("c-1", status)
    before = entry(mesh.get_agent("c-1"))
    pause()
    assert mesh.route_agent_call("Customer", "c-1", "get") == descriptor("Customer", "c-1", "get")
    after = entry(mesh.get_agent("c-1"))
    assert after["status"] == "running"
    assert check_timestamp(after["last_active"]) > check_timestamp(before["last_active"])
    assert after["registered_at"] == before["registered_at"]
    assert after["metadata"] == {"k": 1} and after["instance"] == 4


@pytest.mark.parametrize("status", ["stopped", "error"])
def test_route_refuses_stopped_and_errored(status, mesh, raises_exactly):
    mesh.register_agent("Customer", "c-1")
    mesh.update_agent_status("c-1", status)
    before = mesh.get_agent("c-1")
    with raises_exactly(KeyError, not_found("Customer", "c-1")):
        mesh.route_agent_call("Customer", "c-1", "get")
    with raises_exactly(KeyError, not_found("Order", "c-1")):
        mesh.route_agent_call("Order", "c-1", "get")
    assert mesh.get_agent("c-1") == before


def test_route_unknown_agent(mesh, raises_exactly):
    with raises_exactly(KeyError, not_found("Customer", "ghost")):
        mesh.route_agent_call("Customer", "ghost", "get")
    with raises_exactly(KeyError, not_found("", "")):
        mesh.route_agent_call("", "", "")
    assert mesh.list_agents() == "[]"


def test_route_does_not_check_type_or_method(mesh):
    mesh.register_agent("Customer", "customer-123")
    assert mesh.route_agent_call("Order", "customer-123", "anything") == \
        descriptor("Order", "customer-123", "anything")
    assert mesh.route_agent_call("", "customer-123", "") == descriptor("", "customer-123", "")


@pytest.mark.parametrize("args_json", ["{}", "[]", "42", "null", '"s"', ' {"x": [1, 2]} ', "true"])
def test_route_accepts_any_json_args(args_json, mesh):
    mesh.register_agent("T", "a")
    assert mesh.route_agent_call("T", "a", "m", args_json) == descriptor("T", "a", "m")
    assert mesh.route_agent_call("T", "a", "m", args_json=args_json) == descriptor("T", "a", "m")


def test_route_bad_args_before_lookup(mesh, raises_exactly):
    with raises_exactly(ValueError, "Serialization error: EOF while parsing an object at line 1 column 1"):
        mesh.route_agent_call("T", "ghost", "m", "{")
    mesh.register_agent("T", "a")
    mesh.update_agent_status("a", "idle")
    before = mesh.get_agent("a")
    with raises_exactly(ValueError, "Serialization error: trailing comma at line 1 column 8"):
        mesh.route_agent_call("T", "a", "m", '{"x":1,}')
    assert mesh.get_agent("a") == before


@pytest.mark.parametrize(
    "agent_type,agent_id,method",
    [
        ('Q"t', "id\\1", "m\n"),
        ("T", "\u65e5\u672c", "\U0001f600"),
        ("\x01", "a", "\x7f/"),
    ],
)
def test_route_descriptor_escapes(agent_type, agent_id, method, mesh):
    mesh.register_agent("Any", agent_id)
    text = mesh.route_agent_call(agent_type, agent_id, method)
    assert text == descriptor(agent_type, agent_id, method)
    assert json.loads(text) == {"agent_id": agent_id, "agent_type": agent_type, "method": method,
                                "node": "localhost", "status": "routed"}


def test_route_many_times(mesh):
    mesh.register_agent("T", "a")
    for i in range(1000):
        assert mesh.route_agent_call("T", "a", f"m{i}") == descriptor("T", "a", f"m{i}")
    assert entry(mesh.get_agent("a"))["status"] == "running"


def test_route_after_deregister(mesh, raises_exactly):
    mesh.register_agent("T", "a")
    mesh.route_agent_call("T", "a", "m")
    mesh.deregister_agent("a")
    with raises_exactly(KeyError, not_found("T", "a")):
        mesh.route_agent_call("T", "a", "m")


def test_meshes_are_independent():
    one = VrellMesh("one")
    two = VrellMesh("two")
    one.register_agent("T", "a")
    assert two.get_agent("a") is None
    two.register_agent("T", "a")
    one.update_agent_status("a", "error")
    assert entry(two.get_agent("a"))["status"] == "starting"
