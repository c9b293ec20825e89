"""Clock faults and poisoned components, seen from Python.

The extension reads the real-time clock through the C library; these tests run
a child interpreter with a small preloaded library that lets them set that
clock to any instant, 1969 included.
"""

import subprocess
import textwrap

import pytest
from support.children import clock_shim, python_command


PRELUDE = """
import ctypes, json
import vrell_mesh
from vrell_mesh import VrellMesh
_clock = ctypes.CDLL(None)
_clock.vrell_fake_clock_set.argtypes = [ctypes.c_longlong, ctypes.c_long]
def set_clock(sec, nsec=0):
    _clock.vrell_fake_clock_set(sec, nsec)
def real_clock():
    _clock.vrell_fake_clock_clear()
def raises(exc_type, fn, *args):
    try:
        fn(*args)
    except exc_type as e:
        return e
    raise AssertionError(f"{fn.__name__}{args} did not raise {exc_type.__name__}")
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    return clock_shim(tmp_path_factory.mktemp("shim"))


def run_with_clock(shim, body):
    env = shim  # the child environment that preloads it
    code = PRELUDE + textwrap.dedent(body) + "\nprint('OK')\n"
    proc = subprocess.run([*python_command(), "-c", code], env=env, capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stdout.strip().endswith("OK"), proc.stderr + proc.stdout


@pytest.mark.parametrize(
    "sec, nsec, expected",
    [
        (1700000000, 0, "2023-11-14T22:13:20+00:00"),
        (1700000000, 500_000_000, "2023-11-14T22:13:20.500+00:00"),
        (1700000000, 123_456_000, "2023-11-14T22:13:20.123456+00:00"),
        (1700000000, 7, "2023-11-14T22:13:20.000000007+00:00"),
        (951782400, 0, "2000-02-29T00:00:00+00:00"),
        (0, 0, "1970-01-01T00:00:00+00:00"),
    ],
)
def test_timestamps_from_the_clock(shim, sec, nsec, expected):
    run_with_clock(
        shim,
        f"""
        set_clock({sec}, {nsec})
        m = VrellMesh("app")
        e = json.loads(m.register_agent("T", "a"))
        assert e["registered_at"] == e["last_active"] == {expected!r}, e
        s = json.loads(m.start_migration("v", "sqlite", "redis"))
        assert s["started_at"] == s["advanced_at"] == {expected!r}, s
        set_clock({sec} + 1, 0)
        m.update_agent_status("a", "idle")
        assert json.loads(m.get_agent("a"))["last_active"] != {expected!r}
        """,
    )


@pytest.mark.parametrize("fault", ["register", "update", "route"])
def test_clock_before_1970_poisons_the_registry(shim, fault):
    run_with_clock(
        shim,
        f"""
        m = VrellMesh("app")
        m.register_agent("T", "a")
        m.state_set("k", "1")
        set_clock(-1, 0)
        calls = {{
            "register": lambda: m.register_agent("T", "b"),
            "update": lambda: m.update_agent_status("a", "idle"),
            "route": lambda: m.route_agent_call("T", "a", "go"),
        }}
        e = raises(BaseException, calls[{fault!r}])
        assert type(e).__name__ == "PanicException", repr(e)
        assert not isinstance(e, Exception)
        assert e.args == ("system time before Unix epoch",), e.args
        real_clock()
        poisoned = "State error: registry lock poisoned"
        for fn, args in [
            (m.register_agent, ("T", "c")),
            (m.update_agent_status, ("a", "idle")),
            (m.deregister_agent, ("a",)),
            (m.get_agent, ("a",)),
            (m.list_agents, ()),
            (m.route_agent_call, ("T", "a", "go")),
        ]:
            err = raises(RuntimeError, fn, *args)
            assert str(err) == poisoned, (fn.__name__, str(err))
        # The unknown-status check comes before the registry is consulted.
        raises(ValueError, m.update_agent_status, "a", "bogus")
        snap = json.loads(m.health_snapshot())
        assert snap["agents"] == {{"error": 0, "idle": 0, "running": 0, "total": 0}}, snap
        assert snap["state"] == {{"keys": 1}}, snap
        assert repr(m) == 'VrellMesh(app="app", agents=0, state_keys=1, migrations=0)', repr(m)
        assert m.state_get("k") == "1"
        """,
    )


def test_clock_before_1970_poisons_the_migration_table(shim):
    run_with_clock(
        shim,
        """
        m = VrellMesh("app")
        m.start_migration("v", "sqlite", "redis")
        set_clock(-5, 0)
        e = raises(BaseException, m.advance_migration, "v")
        assert type(e).__name__ == "PanicException"
        real_clock()
        for fn, args in [
            (m.start_migration, ("w", "a", "b")),
            (m.advance_migration, ("v",)),
            (m.rollback_migration, ("v",)),
            (m.get_migration, ("v",)),
            (m.list_migrations, ()),
        ]:
            err = raises(ValueError, fn, *args)
            assert str(err) == "Migration error: lock poisoned", (fn.__name__, str(err))
        assert json.loads(m.health_snapshot())["migrations"] == {"active": 0}
        m.register_agent("T", "a")
        """,
    )


def test_clock_fault_while_publishing_leaves_the_channel_usable(shim):
    run_with_clock(
        shim,
        """
        m = VrellMesh("app")
        set_clock(-1, 0)
        e = raises(BaseException, m.publish, "t", "{}")
        assert type(e).__name__ == "PanicException"
        real_clock()
        assert m.publish("t", "{}") == 0
        assert json.loads(m.health_snapshot())["channels"] == {"topics": 1}
        """,
    )
