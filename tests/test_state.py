"""The shared key/value store of JSON values."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vrell_mesh import VrellMesh


def utf8_sorted(keys):
    return sorted(keys, key=lambda k: k.encode("utf-8"))


def test_absent_key(mesh, health):
    assert mesh.state_get("missing") is None
    assert mesh.state_exists("missing") is False
    assert mesh.state_delete("missing") is None
    assert mesh.state_keys() == []
    assert health(mesh)["state"]["keys"] == 0


def test_set_get_exists_delete(mesh, health):
    assert mesh.state_set("k", '{"a":1}') is None
    assert mesh.state_exists("k") is True
    assert mesh.state_get("k") == '{"a":1}'
    assert health(mesh)["state"]["keys"] == 1
    assert mesh.state_delete("k") is None
    assert mesh.state_exists("k") is False
    assert mesh.state_get("k") is None
    assert health(mesh)["state"]["keys"] == 0


def test_json_null_is_stored(mesh):
    mesh.state_set("k", "null")
    assert mesh.state_get("k") == "null"
    assert mesh.state_exists("k") is True
    assert mesh.state_keys() == ["k"]


@pytest.mark.parametrize("text", ["0", "-1", "1.5", '""', '"s"', "true", "false", "[]", "{}", "[null]"])
def test_every_top_level_kind(text, mesh):
    mesh.state_set("k", text)
    assert mesh.state_get("k") == text


def test_set_twice_keeps_one_entry(mesh):
    mesh.state_set("k", "1")
    mesh.state_set("k", '{"b":2,"a":1}')
    assert mesh.state_get("k") == '{"a":1,"b":2}'
    assert mesh.state_keys() == ["k"]
    assert repr(mesh) == 'VrellMesh(app="myapp", agents=0, state_keys=1, migrations=0)'


def test_normalised_round_trip(mesh):
    mesh.state_set("k", "[1, 2.50, 1e2, -0]")
    assert mesh.state_get("k") == "[1,2.5,100.0,-0.0]"
    mesh.state_set("o", '{ "b" : [ 1 ] ,\n "a" : { "d" : 1 , "c" : 2 } , "b" : null }')
    assert mesh.state_get("o") == '{"a":{"c":2,"d":1},"b":null}'


def test_whitespace_around_value(mesh):
    mesh.state_set("k", ' \n\t\r {"a": 1}\n\n ')
    assert mesh.state_get("k") == '{"a":1}'


@pytest.mark.parametrize(
    "text,message",
    [
        ('{"a":1} x', "trailing characters at line 1 column 9"),
        ("1\n2", "trailing characters at line 2 column 1"),
        ("", "EOF while parsing a value at line 1 column 0"),
        ("   ", "EOF while parsing a value at line 1 column 3"),
        ("{", "EOF while parsing an object at line 1 column 1"),
        ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
        ("undefined", "expected value at line 1 column 1"),
        ("'a'", "expected value at line 1 column 1"),
    ],
)
def test_bad_value_refused_and_old_value_kept(text, message, mesh, raises_exactly):
    mesh.state_set("k", "[1]")
    with raises_exactly(ValueError, "Serialization error: " + message):
        mesh.state_set("k", text)
    with raises_exactly(ValueError, "Serialization error: " + message):
        mesh.state_set("new", text)
    assert mesh.state_get("k") == "[1]"
    assert mesh.state_exists("new") is False
    assert mesh.state_keys() == ["k"]


def test_begins_with_eof_text(mesh):
    with pytest.raises(ValueError) as info:
        mesh.state_set("k", "{")
    assert info.value.args[0].startswith("Serialization error: EOF while parsing")


def test_127_levels_stored(mesh):
    deep = "[" * 127 + "]" * 127
    mesh.state_set("deep", deep)
    assert mesh.state_get("deep") == deep


def test_empty_key_and_prefix(mesh):
    mesh.state_set("", "1")
    mesh.state_set("a", "2")
    assert mesh.state_get("") == "1"
    assert mesh.state_exists("") is True
    assert mesh.state_keys() == ["", "a"]
    assert mesh.state_keys("") == ["", "a"]
    assert mesh.state_keys(prefix="") == ["", "a"]
    mesh.state_delete("")
    assert mesh.state_keys() == ["a"]


@pytest.mark.parametrize(
    "prefix,expected",
    [
        (None, ["B", "a", "ab", "b"]),
        ("", ["B", "a", "ab", "b"]),
        ("a", ["a", "ab"]),
        ("ab", ["ab"]),
        ("abc", []),
        ("A", []),
        ("B", ["B"]),
        ("b", ["b"]),
        ("c", []),
    ],
)
def test_keys_bytewise_and_case_sensitive(prefix, expected, mesh):
    for key in ("b", "a", "ab", "B"):
        mesh.state_set(key, "0")
    keys = mesh.state_keys() if prefix is None else mesh.state_keys(prefix)
    assert type(keys) is list
    assert keys == expected


def test_keys_sorted_by_utf8_bytes(mesh):
    keys = ["z", "\u00e9", "\uff5e", "\U0001f600", "e\u0301", "\u00e9t\u00e9", "Z", "0", "~", "\x7f", "\x01"]
    for key in keys:
        mesh.state_set(key, "0")
    assert mesh.state_keys() == utf8_sorted(keys)
    assert mesh.state_keys() == ["\x01", "0", "Z", "e\u0301", "z", "~", "\x7f", "\u00e9", "\u00e9t\u00e9",
                                 "\uff5e", "\U0001f600"]
    assert mesh.state_keys("\u00e9") == ["\u00e9", "\u00e9t\u00e9"]
    assert mesh.state_keys("e") == ["e\u0301"]


def test_keys_list_is_a_fresh_copy(mesh):
    mesh.state_set("a", "0")
    keys = mesh.state_keys()
    keys.append("b")
    assert mesh.state_keys() == ["a"]
    assert mesh.state_keys() is not mesh.state_keys()


def test_non_ascii_keys_and_values(mesh):
    key = "\u65e5\u672c/\u00e9\U0001f600"
    mesh.state_set(key, '{"v":"\\u00e9\\ud83d\\ude00 \u00fc"}')
    assert mesh.state_exists(key) is True
    assert mesh.state_get(key) == '{"v":"\u00e9\U0001f600 \u00fc"}'
    assert mesh.state_keys() == [key]
    assert mesh.state_get("\u65e5\u672c/e\u0301\U0001f600") is None


def test_many_keys(mesh, health):
    keys = [f"user:{i}" for i in range(2000)] + [f"order:{i}" for i in range(500)]
    for i, key in enumerate(keys):
        mesh.state_set(key, json.dumps({"i": i}))
    assert health(mesh)["state"]["keys"] == 2500
    assert mesh.state_keys() == utf8_sorted(keys)
    assert mesh.state_keys("order:") == utf8_sorted(keys[2000:])
    assert mesh.state_keys("user:19") == utf8_sorted(k for k in keys if k.startswith("user:19"))
    assert mesh.state_get("user:1234") == '{"i":1234}'
    for key in keys[::2]:
        mesh.state_delete(key)
    assert health(mesh)["state"]["keys"] == 1250
    assert mesh.state_keys() == utf8_sorted(keys[1::2])


def test_stores_are_per_mesh():
    one = VrellMesh("one")
    two = VrellMesh("two")
    one.state_set("k", "1")
    assert two.state_get("k") is None
    assert two.state_keys() == []


OPS = st.lists(
    st.tuples(
        st.sampled_from(["set", "delete", "get", "exists", "keys"]),
        st.sampled_from(["", "a", "ab", "b", "B", "\u00e9", "a\u00e9", "\U0001f600"]),
        st.integers(min_value=-3, max_value=3),
    ),
    max_size=40,
)


@settings(max_examples=300, deadline=None)
@given(OPS)
def test_behaves_like_a_dict(ops):
    mesh = VrellMesh("model")
    model = {}
    for op, key, n in ops:
        if op == "set":
            mesh.state_set(key, f"[{n}]")
            model[key] = f"[{n}]"
        elif op == "delete":
            mesh.state_delete(key)
            model.pop(key, None)
        elif op == "get":
            assert mesh.state_get(key) == model.get(key)
        elif op == "exists":
            assert mesh.state_exists(key) is (key in model)
        else:
            assert mesh.state_keys(key) == utf8_sorted(k for k in model if k.startswith(key))
    assert mesh.state_keys() == utf8_sorted(model)
    assert json.loads(mesh.health_snapshot())["state"]["keys"] == len(model)
