"""Publishing JSON payloads to named topics."""

import pytest

from vrell_mesh import VrellMesh


def topics(mesh, health):
    return health(mesh)["channels"]["topics"]


def test_publish_creates_topic_once(mesh, health):
    assert topics(mesh, health) == 0
    result = mesh.publish("orders", '{"id":1}')
    assert type(result) is int
    assert result == 0
    assert topics(mesh, health) == 1
    assert mesh.publish("orders", '{"id":2}') == 0
    assert topics(mesh, health) == 1
    assert mesh.publish("invoices", "[]") == 0
    assert topics(mesh, health) == 2


def test_topic_names_are_exact(mesh, health):
    names = ["a", "A", "", " a", "a ", "\u00e9", "e\u0301", "\U0001f600", "a/b", "a.b"]
    for name in names:
        assert mesh.publish(name, "1") == 0
    assert topics(mesh, health) == len(names)
    for name in names:
        mesh.publish(name, "2")
    assert topics(mesh, health) == len(names)


@pytest.mark.parametrize(
    "payload",
    ["null", "true", "false", "0", "-1.5e-7", '"text"', "[]", "{}", '{"b":[1,{"c":null}],"a":"x"}',
     " \n 42 \t", '"\\u00e9\\n"', "[" * 127 + "]" * 127],
)
def test_every_payload_kind(payload, mesh, health):
    assert mesh.publish("t", payload) == 0
    assert mesh.publish(topic="u", payload_json=payload) == 0
    assert topics(mesh, health) == 2


@pytest.mark.parametrize(
    "payload,message",
    [
        ("{", "EOF while parsing an object at line 1 column 1"),
        ("", "EOF while parsing a value at line 1 column 0"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ("1 2", "trailing characters at line 1 column 3"),
        ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_bad_payload_creates_no_topic(payload, message, mesh, health, raises_exactly):
    mesh.publish("existing", "1")
    with raises_exactly(ValueError, "Serialization error: " + message):
        mesh.publish("new-topic", payload)
    with raises_exactly(ValueError, "Serialization error: " + message):
        mesh.publish("existing", payload)
    assert topics(mesh, health) == 1
    mesh.publish("new-topic", "1")
    assert topics(mesh, health) == 2


def test_publish_past_ring_capacity(mesh, health):
    for i in range(3000):
        assert mesh.publish("busy", f'{{"seq":{i}}}') == 0
    assert topics(mesh, health) == 1


def test_many_topics(mesh, health):
    for i in range(1500):
        mesh.publish(f"topic-{i}", str(i))
    assert topics(mesh, health) == 1500


def test_channels_are_per_mesh(health):
    one = VrellMesh("one")
    two = VrellMesh("two")
    one.publish("t", "1")
    assert topics(two, health) == 0
    assert topics(one, health) == 1


def test_topics_do_not_show_in_repr(mesh):
    mesh.publish("t", "1")
    assert repr(mesh) == 'VrellMesh(app="myapp", agents=0, state_keys=0, migrations=0)'
