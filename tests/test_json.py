"""JSON reading and writing, observed through the text that goes in and comes back."""

import json
import random
import math
import pathlib
import re
import struct
import subprocess
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support.children import python_command
from support.report import report

from vrell_mesh import VrellMesh

MAX_U64 = 2**64 - 1
MIN_I64 = -(2**63)


def roundtrip(text):
    mesh = VrellMesh("json")
    mesh.state_set("k", text)
    return mesh.state_get("k")


# --- reader errors ------------------------------------------------------------

# (input, message with position)
READER_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("\n", "EOF while parsing a value at line 2 column 0"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ("[1,2", "EOF while parsing a list at line 1 column 4"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ("1 x", "trailing characters at line 1 column 3"),
    ("[,]", "expected value at line 1 column 2"),
    ("nan", "expected ident at line 1 column 2"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("-01", "invalid number at line 1 column 3"),
    ("1.", "EOF while parsing a value at line 1 column 2"),
    ("1.x", "invalid number at line 1 column 3"),
    ("1e309", "number out of range at line 1 column 5"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ('"\\u12"', "EOF while parsing a string at line 1 column 6"),
    ('"\\uD800x"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\uD800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"abc\ndef"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ("[1\n,,]", "expected value at line 2 column 2"),
    ("\r{", "EOF while parsing an object at line 1 column 2"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    # The same position rule applied to further faults.
    ("[", "EOF while parsing a list at line 1 column 1"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('"\\', "EOF while parsing a string at line 1 column 2"),
    ('"\\uD800', "EOF while parsing a string at line 1 column 7"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("1e", "EOF while parsing a value at line 1 column 2"),
    ("1e+", "EOF while parsing a value at line 1 column 3"),
    ("t", "EOF while parsing a value at line 1 column 1"),
    ("nul", "EOF while parsing a value at line 1 column 3"),
    ("fals", "EOF while parsing a value at line 1 column 4"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ("{,}", "key must be a string at line 1 column 2"),
    ('{"a":}', "expected value at line 1 column 6"),
    ("]", "expected value at line 1 column 1"),
    ("\f1", "expected value at line 1 column 1"),
    ("\u00a01", "expected value at line 1 column 1"),
    ("\u00e9", "expected value at line 1 column 1"),
    ('["\u00e9" x]', "expected `,` or `]` at line 1 column 7"),
    ("tx", "expected ident at line 1 column 2"),
    ("nulx", "expected ident at line 1 column 4"),
    ("01", "invalid number at line 1 column 2"),
    ("-x", "invalid number at line 1 column 2"),
    ("1ex", "invalid number at line 1 column 3"),
    ("-1e309", "number out of range at line 1 column 6"),
    ("[1e400]", "number out of range at line 1 column 6"),
    ("truex", "trailing characters at line 1 column 5"),
    ("1 2", "trailing characters at line 1 column 3"),
    ('{"a":1}}', "trailing characters at line 1 column 8"),
    ("[]\n\n x", "trailing characters at line 3 column 2"),
    ('["\t"]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('{"a\x01":1}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    ('"\x00"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    ('"\\uD800\\uD800"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"\\uD800\\x"', "unexpected end of hex escape at line 1 column 9"),
    ("[" * 127 + "{", "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 128, "recursion limit exceeded at line 1 column 636"),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
    ("\n" * 3 + "[" * 128, "recursion limit exceeded at line 4 column 128"),
]

# Each place that reads caller-supplied JSON, as a function of the text.
READERS = {
    "value_json": lambda m, t: m.state_set("k", t),
    "payload_json": lambda m, t: m.publish("t", t),
    "metadata_json": lambda m, t: m.register_agent("T", "a", 0, t),
    "args_json": lambda m, t: m.route_agent_call("T", "ghost", "m", t),
}


@pytest.mark.parametrize("reader", list(READERS))
@pytest.mark.parametrize("text,message", READER_ERRORS, ids=[repr(t[:20]) for t, _ in READER_ERRORS])
def test_reader_errors(text, message, reader, raises_exactly, health):
    mesh = VrellMesh("myapp")
    before = health(mesh)
    with raises_exactly(ValueError, "Serialization error: " + message):
        READERS[reader](mesh, text)
    assert health(mesh) == before


@pytest.mark.parametrize("text", ['"\\uDC00"', '"\\uDFFF"', '{"\\uDC00":1}', '["x","\\uDFFF"]'])
def test_lone_trailing_surrogate_refused_at_its_escape(text, raises_exactly):
    column = text.index("\\u") + 6  # the escape's last hex digit
    with raises_exactly(
        ValueError, f"Serialization error: lone leading surrogate in hex escape at line 1 column {column}"
    ):
        roundtrip(text)


def test_bad_hex_digit_is_invalid_escape():
    with pytest.raises(ValueError) as info:
        roundtrip('"\\uZZZZ"')
    assert re.fullmatch(r"Serialization error: invalid escape at line 1 column [3-7]", info.value.args[0])


# --- accepted forms -------------------------------------------------------------

FLOATS = [
    ("5e-324", "5e-324"),
    ("4.9406564584124654e-324", "5e-324"),
    ("1e16", "1e+16"),
    ("1E16", "1e+16"),
    ("1e+16", "1e+16"),
    ("1e15", "1000000000000000.0"),
    ("1000000000000000.0", "1000000000000000.0"),
    ("9.999999999999999e15", "1e+16"),
    ("1234567890123456.7", "1234567890123456.8"),
    ("0.00001", "0.00001"),
    ("1e-5", "0.00001"),
    ("2e-5", "0.00002"),
    ("1.25e-5", "0.0000125"),
    ("-1.5e-5", "-0.000015"),
    ("0.0001", "0.0001"),
    ("0.000001", "1e-6"),
    ("1.5e-7", "1.5e-7"),
    ("-0.0", "-0.0"),
    ("0.0", "0.0"),
    ("-0", "-0.0"),
    ("0e5", "0.0"),
    ("-0e-5", "-0.0"),
    ("1e-400", "0.0"),
    ("-1e-400", "-0.0"),
    ("1e2", "100.0"),
    ("1.5E+3", "1500.0"),
    ("1e0", "1.0"),
    ("1.0", "1.0"),
    ("2.50", "2.5"),
    ("0.1", "0.1"),
    ("0.3", "0.3"),
    ("123.456", "123.456"),
    ("99999.99999", "99999.99999"),
    ("123456789.125", "123456789.125"),
    ("9007199254740993.0", "9007199254740992.0"),
    ("1e21", "1e+21"),
    ("1.2345678901234568e20", "1.2345678901234568e+20"),
    ("12345678901234567890123", "1.2345678901234568e+22"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
    ("2.2250738585072014e-308", "2.2250738585072014e-308"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775809", "-9.223372036854776e+18"),
]

INTEGERS = [
    ("0", "0"),
    ("1", "1"),
    ("-1", "-1"),
    ("100", "100"),
    ("9223372036854775807", "9223372036854775807"),
    ("9223372036854775808", "9223372036854775808"),
    ("18446744073709551615", "18446744073709551615"),
    ("-9223372036854775807", "-9223372036854775807"),
    ("-9223372036854775808", "-9223372036854775808"),
]


@pytest.mark.parametrize("text,expected", FLOATS + INTEGERS)
def test_number_forms(text, expected):
    assert roundtrip(text) == expected
    assert roundtrip(f"[{text}]") == f"[{expected}]"


def test_number_kinds_survive():
    out = json.loads(roundtrip("[18446744073709551615,-9223372036854775808,1e2,-0,7]"))
    assert [type(v) for v in out] == [int, int, float, float, int]
    assert math.copysign(1.0, out[3]) == -1.0


@pytest.mark.parametrize(
    "text,expected",
    [
        ("[1, 2.50, 1e2, -0]", "[1,2.5,100.0,-0.0]"),
        (" \t\n\r[ 1 , { \"a\" : true } ]\r\n\t ", '[1,{"a":true}]'),
        ("true", "true"),
        ("false", "false"),
        ("null", "null"),
        ('"s"', '"s"'),
        ("[]", "[]"),
        ("{}", "{}"),
        ("[[],{},[{}]]", "[[],{},[{}]]"),
        ('{ "k" : [ null , false ] }', '{"k":[null,false]}'),
    ],
)
def test_compact_round_trip(text, expected):
    assert roundtrip(text) == expected


@pytest.mark.parametrize(
    "text,expected",
    [
        ('{"b":1,"a":2}', '{"a":2,"b":1}'),
        (
            '{"b":1,"a":1,"B":1,"ab":1,"\u00e9":1,"z":1,"":0}',
            '{"":0,"B":1,"a":1,"ab":1,"b":1,"z":1,"\u00e9":1}',
        ),
        # Byte order of UTF-8, which is not the order of UTF-16 units.
        ('{"\U0001f600":1,"\uff5e":2}', '{"\uff5e":2,"\U0001f600":1}'),
        ('{"a":3," ":2,"\\u0001":1}', '{"\\u0001":1," ":2,"a":3}'),
        ('{"z":{"y":1,"x":[{"b":1,"a":2}]},"a":null}', '{"a":null,"z":{"x":[{"a":2,"b":1}],"y":1}}'),
    ],
)
def test_object_members_sorted(text, expected):
    assert roundtrip(text) == expected


@pytest.mark.parametrize(
    "text,expected",
    [
        ('{"a":1,"a":2}', '{"a":2}'),
        ('{"b":1,"a":2,"b":3}', '{"a":2,"b":3}'),
        ('{"a":{"x":1},"a":[1]}', '{"a":[1]}'),
        ('{"a":1,"\\u0061":2}', '{"a":2}'),
        ('[{"k":1,"k":null}]', '[{"k":null}]'),
    ],
)
def test_repeated_key_keeps_last(text, expected):
    assert roundtrip(text) == expected


@pytest.mark.parametrize("size", [2, 10, 24, 25, 60, 300])
@pytest.mark.parametrize("prefix", ["", "shared_prefix_"])
def test_objects_of_any_size_sorted_with_repeats(size, prefix):
    # Small and large objects are sorted differently; keys sharing their
    # first 8 bytes are told apart by the rest.
    rng = random.Random(size)
    keys = [prefix + f"k{rng.randrange(size)}" + ("\u00e9" * rng.randrange(2)) for _ in range(size)]
    text = "{" + ",".join(f'"{k}":{i}' for i, k in enumerate(keys)) + "}"
    assert roundtrip(text) == ref_dumps(json.loads(text))


@pytest.mark.parametrize("spaced", [False, True])
def test_runs_of_objects_with_related_shapes(spaced):
    # Neighbouring objects share some keys, their order or their count, as the
    # records of an array do: each is still sorted on its own keys.
    rng = random.Random(7)
    pool = ["a", "b", "c", "id", "name", "created_at", "created_by", "\u00e9t\u00e9"]
    records = []
    for _ in range(300):
        keys = list(records[-1]) if records and rng.random() < 0.3 else rng.sample(pool, rng.randint(1, 5))
        records.append({k: rng.randint(0, 9) for k in keys})
    text = json.dumps(records) if spaced else json.dumps(records, separators=(",", ":"))
    assert roundtrip(text) == ref_dumps(json.loads(text))


@pytest.mark.parametrize(
    "text,expected",
    [
        ('"\\b\\t\\n\\f\\r"', '"\\b\\t\\n\\f\\r"'),
        ('"\\u0008\\u0009\\u000A\\u000c\\u000D"', '"\\b\\t\\n\\f\\r"'),
        ('"\\u0000\\u0001\\u001F\\u000b\\u001b"', '"\\u0000\\u0001\\u001f\\u000b\\u001b"'),
        ('"\\"\\\\"', '"\\"\\\\"'),
        ('"\\/ / \\u007f \x7f"', '"/ / \x7f \x7f"'),
        ('"\\u00e9\\u00E9 \u00e9"', '"\u00e9\u00e9 \u00e9"'),
        ('"\\ud83d\\ude00 \U0001f600"', '"\U0001f600 \U0001f600"'),
        ('"\\u0080\\u009f\\u2028\\u2029\\uffff"', '"\x80\x9f\u2028\u2029\uffff"'),
        ('{"\\n\\u0001":"\\u001e"}', '{"\\n\\u0001":"\\u001e"}'),
    ],
)
def test_string_escapes_written(text, expected):
    assert roundtrip(text) == expected


def test_127_levels_accepted_128_refused(raises_exactly):
    arrays = "[" * 127 + "]" * 127
    assert roundtrip(arrays) == arrays
    objects = '{"a":' * 127 + "1" + "}" * 127
    assert roundtrip(objects) == objects
    mixed = '[{"a":' * 63 + "[]" + "}]" * 63
    assert roundtrip(mixed) == mixed
    # Depth is given back when a container closes.
    siblings = "[" + "[" * 126 + "]" * 126 + "," + "[" * 126 + "]" * 126 + "]"
    assert roundtrip(siblings) == siblings
    with raises_exactly(ValueError, "Serialization error: recursion limit exceeded at line 1 column 128"):
        roundtrip("[" * 128 + "]" * 128)


def test_very_deep_input_is_refused_not_crashing():
    with pytest.raises(ValueError, match="recursion limit exceeded at line 1 column 128$"):
        roundtrip("[" * 200_000)


def test_float_tables_match_their_generator():
    script = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "gen_float_table.py"
    if not script.exists():
        pytest.skip("run from a source tree")
    done = subprocess.run([*python_command(), str(script), "--check"], capture_output=True)
    assert done.returncode == 0, "mesh/src/float_table.inc differs from what the script writes"


def test_large_document():
    values = list(range(-5000, 5000)) + [i / 7 for i in range(2000)]
    text = json.dumps(values)
    assert json.loads(roundtrip(text)) == values


# --- reference model for the output -----------------------------------------------


def expected_float_text(x):
    """Shortest round-trip digits (as repr finds them), laid out plain for decimal
    exponents -5..15 and as d.ddde±x otherwise."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    mant, _, exp = repr(abs(x)).partition("e")
    exp = int(exp) if exp else 0
    int_part, _, frac = mant.partition(".")
    if int_part.strip("0"):
        e = len(int_part.lstrip("0")) - 1 + exp
    else:
        e = -(len(frac) - len(frac.lstrip("0"))) - 1 + exp
    digits = (int_part + frac).strip("0")
    if -5 <= e <= 15:
        if e >= 0:
            if len(digits) <= e + 1:
                body = digits + "0" * (e + 1 - len(digits)) + ".0"
            else:
                body = digits[: e + 1] + "." + digits[e + 1 :]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        rest = "." + digits[1:] if len(digits) > 1 else ""
        body = digits[0] + rest + "e" + ("+" if e >= 0 else "-") + str(abs(e))
    return sign + body


def ref_dumps(v):
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return expected_float_text(v)
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)
    if isinstance(v, list):
        return "[" + ",".join(ref_dumps(x) for x in v) + "]"
    keys = sorted(v, key=lambda k: k.encode("utf-8"))
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + ref_dumps(v[k]) for k in keys) + "}"


def same(a, b):
    """Equality that tells 1 from 1.0 and 0.0 from -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12)
finite_floats = st.floats(allow_nan=False, allow_infinity=False)
json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=MIN_I64, max_value=MAX_U64)
    | finite_floats
    | texts,
    lambda children: st.lists(children, max_size=5) | st.dictionaries(texts, children, max_size=5),
    max_leaves=25,
)


@settings(max_examples=400, deadline=None)
@given(json_values)
def test_values_round_trip(value):
    out = roundtrip(json.dumps(value))
    assert same(json.loads(out), value)
    assert out == ref_dumps(value)


@settings(max_examples=400, deadline=None)
@given(json_values)
def test_canonical_text_comes_back_unchanged(value):
    text = ref_dumps(value)
    assert roundtrip(text) == text


def test_large_documents_replace_each_other():
    # Past 64 KiB the parsed buffer becomes the stored value itself.
    mesh = VrellMesh("json")
    first = {f"k{i:05d}": [i, -i, f"v{i}", i / 8] for i in range(5000)}
    second = {"b": "x" * 200_000, "a": [1.5, -0.0, 1e300]}
    third = {f"k{i:05d}": [i, f"v{i}", None] for i in range(5000)}  # canonical as it stands
    for value in (first, second, third, third, first):
        for text in (json.dumps(value), ref_dumps(value)):
            mesh.state_set("doc", text)
            assert mesh.state_get("doc") == ref_dumps(value)
    assert mesh.state_keys("") == ["doc"]


@settings(max_examples=200, deadline=None)
@given(json_values)
def test_raw_utf8_input_reads_the_same(value):
    assert roundtrip(json.dumps(value, ensure_ascii=False, indent=1)) == ref_dumps(value)


@settings(max_examples=1000, deadline=None)
@given(finite_floats)
def test_float_text(x):
    out = roundtrip(repr(x))
    assert out == expected_float_text(x)
    back = float(out)
    assert struct.pack("<d", back) == struct.pack("<d", x)
    if x != 0:
        e = Decimal(repr(abs(x))).adjusted()
        if -5 <= e <= 15:
            assert re.fullmatch(r"-?(0|[1-9][0-9]*)\.([0-9]*[1-9]|0)", out), out
        else:
            assert re.fullmatch(r"-?[1-9](\.[0-9]*[1-9])?e[+-][1-9][0-9]*", out), out
    # Seventeen significant digits read back to the same double.
    assert roundtrip(format(x, ".17e")) == out


@settings(max_examples=300, deadline=None)
@given(texts)
def test_strings_written_as_python_writes_them(s):
    assert roundtrip(json.dumps(s)) == json.dumps(s, ensure_ascii=False)


# --- differential reading ---------------------------------------------------------

MESSAGES = [
    "trailing characters",
    "invalid number",
    "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "recursion limit exceeded",
    "EOF while parsing a value",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "trailing comma",
    "expected value",
    "expected ident",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "invalid escape",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "invalid unicode code point",
]
ERROR_RE = re.compile(
    "Serialization error: (" + "|".join(re.escape(m) for m in MESSAGES) + r") at line (\d+) column (\d+)"
)


def check_error_text(text, source):
    m = ERROR_RE.fullmatch(text)
    assert m, text
    line, column = int(m.group(2)), int(m.group(3))
    data = source.encode("utf-8")
    # Some prefix of the input holds line-1 line feeds and then `column` bytes without one.
    start = 0
    for _ in range(line - 1):
        start = data.index(b"\n", start) + 1
    assert start + column <= len(data)
    assert b"\n" not in data[start : start + column]
    return m.group(1)


def _reject_constant(name):
    raise ValueError(name)


def python_reads(text):
    try:
        return True, json.loads(text, parse_constant=_reject_constant)
    except (ValueError, RecursionError):
        return False, None


def has_infinity(v):
    if isinstance(v, float):
        return math.isinf(v)
    if isinstance(v, list):
        return any(has_infinity(x) for x in v)
    if isinstance(v, dict):
        return any(has_infinity(x) for x in v.values())
    return False


def as_mesh_numbers(v):
    """Integers outside the two integer ranges are held as doubles."""
    if isinstance(v, bool) or v is None or isinstance(v, (str, float)):
        return v
    if isinstance(v, int):
        return v if MIN_I64 <= v <= MAX_U64 else float(v)
    if isinstance(v, list):
        return [as_mesh_numbers(x) for x in v]
    return {k: as_mesh_numbers(x) for k, x in v.items()}


JSONISH = st.text(alphabet='[]{},:" \n\t0123456789-+.eEtrufalsn\\/bu', max_size=40)


@settings(max_examples=1500, deadline=None)
@given(JSONISH | json_values.map(json.dumps))
def test_reader_agrees_with_python(text):
    ok, expected = python_reads(text)
    mesh = VrellMesh("fuzz")
    try:
        mesh.state_set("k", text)
    except ValueError as e:
        message = check_error_text(e.args[0], text)
        if ok:
            assert has_infinity(expected), (text, e.args[0])
            assert message == "number out of range"
        return
    assert ok, text
    assert json.loads(mesh.state_get("k")) == as_mesh_numbers(expected)


SUITE = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "jsontestsuite" / "test_parsing"
needs_suite = pytest.mark.skipif(not SUITE.is_dir(), reason="JSON conformance files not present")


def suite_text(path):
    """The file as a str argument; bytes that are not UTF-8 become lone surrogates,
    which the binding must refuse as text it cannot encode."""
    return path.read_bytes().decode("utf-8", "surrogateescape")


def suite_cases(prefix):
    if not SUITE.is_dir():
        return []
    return [pytest.param(path, id=path.name) for path in sorted(SUITE.glob(prefix + "_*.json"))]


def mesh_reads(text):
    """("accepted", written text), ("refused", error text) or ("unencodable", error text)."""
    try:
        return "accepted", roundtrip(text)
    except UnicodeEncodeError as e:
        assert str(e).startswith("argument 'value_json': "), str(e)
        return "unencodable", str(e)
    except ValueError as e:
        check_error_text(e.args[0], text)
        return "refused", e.args[0]


def python_reads_bytes(path):
    try:
        return True, json.loads(path.read_bytes().decode("utf-8"), parse_constant=_reject_constant)
    except (ValueError, RecursionError):
        return False, None


@needs_suite
@pytest.mark.parametrize("path", suite_cases("y"))
def test_conformance_accepted(path):
    outcome, out = mesh_reads(suite_text(path))
    assert outcome == "accepted", out
    ok, expected = python_reads_bytes(path)
    assert ok
    assert json.loads(out) == as_mesh_numbers(expected)
    assert roundtrip(out) == out


@needs_suite
@pytest.mark.parametrize("path", suite_cases("n"))
def test_conformance_refused(path):
    outcome, message = mesh_reads(suite_text(path))
    assert outcome in ("refused", "unencodable"), message


@needs_suite
@pytest.mark.parametrize("path", suite_cases("i"))
def test_conformance_either_way(path):
    """No fixed answer: whatever the reader decides, it decides cleanly, and what it
    accepts reads back as Python reads it (numbers beyond the float range aside)."""
    outcome, out = mesh_reads(suite_text(path))
    if outcome == "accepted":
        assert roundtrip(out) == out
        ok, expected = python_reads_bytes(path)
        if ok and not has_infinity(expected):
            assert json.loads(out) == as_mesh_numbers(expected)


@needs_suite
def test_conformance_counts():
    counts = {prefix: {"accepted": 0, "refused": 0, "unencodable": 0} for prefix in "yni"}
    for path in sorted(SUITE.glob("[yni]_*.json")):
        counts[path.name[0]][mesh_reads(suite_text(path))[0]] += 1
    y, n, i = counts["y"], counts["n"], counts["i"]
    assert y["accepted"] > 0 and y["refused"] == y["unencodable"] == 0, y
    assert n["refused"] > 0 and n["accepted"] == 0, n
    report(
        "json conformance",
        f"{y['accepted']} y_ accepted, {n['refused'] + n['unencodable']} n_ refused"
        f" ({n['unencodable']} as text that is not UTF-8),"
        f" {sum(i.values())} i_ implementation-defined ({i['accepted']} accepted,"
        f" {i['refused'] + i['unencodable']} refused)",
    )


def test_100000_opening_brackets_refused(raises_exactly):
    mesh = VrellMesh("deep")
    for reader in READERS.values():
        with raises_exactly(ValueError, "Serialization error: recursion limit exceeded at line 1 column 128"):
            reader(mesh, "[" * 100_000)
    # The plan, its backends map and the backend entry are the first three levels.
    plan = '{"app_name":"a","backends":{"b":{"backend_type":"t","config":'
    column = len(plan) + 128 - 3
    message = f"Serialization error: recursion limit exceeded at line 1 column {column}"
    with raises_exactly(ValueError, message):
        VrellMesh("deep", plan + "[" * 100_000)
    assert json.loads(mesh.health_snapshot())["state"] == {"keys": 0}
