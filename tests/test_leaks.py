"""Leaks: every method, on success and on each of its error paths, called thousands
of times must not grow the reference counts of its arguments (nor of None, the
booleans, the exception classes or the mesh), the interpreter's allocated blocks,
the Python memory that tracemalloc sees, or the C heap the components live on.
"""

import ctypes
import ctypes.util
import gc
import json
import subprocess
import sys
import tracemalloc

import pytest
from support.children import clock_shim, python_command
from support.report import report

from vrell_mesh import VrellMesh

CALLS = 10_000  # per case, after the warm-up
WARMUP = 300
# How far a widely shared object (None, a class, a small int) may drift while
# the interpreter does its own work; a leak moves it by one per call.
SHARED_SLACK = 64

PLAN = json.dumps(
    {
        "app_name": "shop",
        "backends": {"db": {"backend_type": "sqlite", "config": {"path": "x.db", "n": [1, 2.5]}}},
        "functions": ["f"],
        "agents": ["Customer"],
    }
)


class MallocHeap:
    """Bytes in use on the C heap (glibc's own count); None where another allocator
    (a sanitizer's) stands in."""

    class _Info(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    def __init__(self):
        self._fn = None
        path = ctypes.util.find_library("c")
        libc = ctypes.CDLL(path) if path else None
        if libc is not None and hasattr(libc, "mallinfo2"):
            libc.mallinfo2.restype = self._Info
            self._fn = libc.mallinfo2
            if self.in_use() == 0:
                self._fn = None

    def in_use(self):
        if self._fn is None:
            return None
        info = self._fn()
        return info.uordblks + info.hblkhd


HEAP = MallocHeap()
TALLY = {"cases": 0, "calls": 0}


@pytest.fixture(scope="module", autouse=True)
def tally():
    tracemalloc.start()
    yield
    tracemalloc.stop()
    if TALLY["cases"]:
        heap = "C heap checked" if HEAP.in_use() is not None else "C heap not measurable here"
        report(
            "leak test",
            f"{TALLY['cases']} cases (every method, success and error paths),"
            f" {TALLY['calls']} calls, growth measured over {CALLS} per case ({heap})",
        )


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def footprint():
    gc.collect()
    # The method cache keeps the attribute names last looked up, keyed by their
    # address: fresh names at fresh addresses (the binder's "__qualname__"
    # look-up, under a sanitizer's allocator) fill it up to its fixed size.
    clear = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache", None)
    if clear is not None:
        clear()
    return sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0], HEAP.in_use()


def check_no_growth(body, watched, calls=CALLS):
    """Runs body() WARMUP + calls times; the watched objects' counts must not move,
    and memory must stay within a slack far below one block per call."""
    for _ in range(WARMUP):
        body()
    singletons = [None, True, False]
    blocks_before, traced_before, heap_before = footprint()  # collects first
    counts_before = refcounts(watched)
    singles_before = refcounts(singletons)
    gc.disable()  # no collection of other tests' garbage in the middle
    try:
        for _ in range(calls):
            body()
    finally:
        gc.enable()
    blocks_after, traced_after, heap_after = footprint()
    for o, before, after in zip(watched, counts_before, refcounts(watched)):
        # Classes and the interpreter's static objects (small ints) are referred to
        # from all over; a leak there still moves them by about one per call.
        small_int = type(o) is int and -5 <= o <= 256  # one object per interpreter
        shared = o is None or small_int or isinstance(o, (bool, type)) or before > 10**6
        assert after == before or (shared and abs(after - before) < SHARED_SLACK), (
            f"references to {o!r} moved by {after - before}"
        )
    for name, before, after in zip(("None", "True", "False"), singles_before, refcounts(singletons)):
        assert abs(after - before) < SHARED_SLACK, f"references to {name} moved by {after - before}"
    assert blocks_after - blocks_before < calls // 50, f"{blocks_after - blocks_before} more blocks"
    assert traced_after - traced_before < 16 * 1024, f"{traced_after - traced_before} more bytes traced"
    if heap_before is not None and heap_after - heap_before >= 32 * 1024:
        # The C allocator's own bookkeeping can move by a few pages; a leak grows
        # again over a second run of the same calls.
        _, _, heap_again = footprint()
        gc.disable()
        try:
            for _ in range(calls):
                body()
        finally:
            gc.enable()
        grown = footprint()[2] - heap_again
        assert grown < 32 * 1024, f"C heap grew by {heap_after - heap_before}, then {grown} bytes"
    TALLY["cases"] += 1
    TALLY["calls"] += WARMUP + calls


class Odd:
    """An object that is no argument of any kind."""


class BadIndex:
    def __index__(self):
        raise ArithmeticError("no index")


def populated():
    m = VrellMesh("leaks", PLAN)
    m.register_agent("Customer", "c-1", 0, '{"region":"eu","tags":["a","b"]}')
    m.register_agent("Customer", "c-2", 1)
    m.register_agent("Order", "stopped-1")
    m.update_agent_status("stopped-1", "stopped")
    m.state_set("cart/c-1", '{"tea":2,"mug":[1,2.5,"\u00e9"]}')
    m.state_set("cart/c-2", "[]")
    m.start_migration("shop.Carts", "sqlite", "redis")
    m.start_migration("shop.Done", "sqlite", "redis")
    for _ in range(5):
        m.advance_migration("shop.Done", 1, 2)
    m.start_migration("shop.Idle", "sqlite", "redis")
    m.rollback_migration("shop.Idle")
    m.publish("cart.updated", "{}")
    return m


# (id, method, positional args, keyword args, exception expected or None).
# Success cases are chosen so that repeating them changes nothing further.
LONG = "an-identifier-long-enough-to-live-on-the-heap-" * 3
BAD_TEXT = "a\ud800b"
CALL_CASES = [
    # agents
    ("register-duplicate", "register_agent", ("Customer", "c-1", 0, "{}"), {}, RuntimeError),
    ("register-bad-json", "register_agent", ("Customer", "new", 0, '{"a":'), {}, ValueError),
    ("register-deep-json", "register_agent", ("Customer", "new", 0, "[" * 500), {}, ValueError),
    ("register-instance-range", "register_agent", ("Customer", "new", 2**32), {}, OverflowError),
    ("register-instance-negative", "register_agent", ("Customer", "new", -1), {}, OverflowError),
    ("register-instance-type", "register_agent", ("Customer", "new", "0"), {}, TypeError),
    ("register-instance-index-raises", "register_agent", ("C", "new", BadIndex()), {}, ArithmeticError),
    ("register-unencodable", "register_agent", ("Customer", BAD_TEXT), {}, UnicodeEncodeError),
    ("register-missing", "register_agent", ("Customer",), {}, TypeError),
    ("register-surplus", "register_agent", ("C", "new", 0, None, 5), {}, TypeError),
    ("register-unknown-keyword", "register_agent", ("C", "new"), {"bogus": 1}, TypeError),
    ("register-repeated-argument", "register_agent", ("C", "new"), {"agent_id": "x"}, TypeError),
    ("register-wrong-type", "register_agent", (Odd(), "new"), {}, TypeError),
    ("update-status", "update_agent_status", ("c-2", "idle"), {}, None),
    ("update-status-keywords", "update_agent_status", (), {"status": "idle", "agent_id": "c-2"}, None),
    ("update-unknown-status", "update_agent_status", ("c-2", "RUNNING"), {}, ValueError),
    ("update-odd-status", "update_agent_status", ("c-2", "q\"\\\n\x01\u00e9"), {}, ValueError),
    ("update-unknown-id", "update_agent_status", (LONG, "idle"), {}, KeyError),
    ("update-wrong-type", "update_agent_status", ("c-2", None), {}, TypeError),
    ("deregister-absent", "deregister_agent", (LONG,), {}, None),
    ("deregister-wrong-type", "deregister_agent", (7,), {}, TypeError),
    ("get-agent", "get_agent", ("c-1",), {}, None),
    ("get-agent-absent", "get_agent", (LONG,), {}, None),
    ("get-agent-unencodable", "get_agent", (BAD_TEXT,), {}, UnicodeEncodeError),
    ("list-agents", "list_agents", (), {}, None),
    ("list-agents-filtered", "list_agents", ("Customer", "starting"), {}, None),
    ("list-agents-none-filters", "list_agents", (None, None), {}, None),
    ("list-agents-surplus", "list_agents", (None, None, None), {}, TypeError),
    ("route", "route_agent_call", ("Customer", "c-1", "add", '{"sku":"tea","n":[1,2]}'), {}, None),
    ("route-escaped", "route_agent_call", ('Cu"st', "c-1", "\u00e9\n"), {}, None),
    ("route-unknown", "route_agent_call", ("Customer", LONG, "add"), {}, KeyError),
    ("route-stopped", "route_agent_call", ("Order", "stopped-1", "add"), {}, KeyError),
    ("route-bad-json", "route_agent_call", ("Customer", "c-1", "add", "{"), {}, ValueError),
    ("route-missing", "route_agent_call", ("Customer", "c-1"), {}, TypeError),
    # state
    ("state-set-overwrite", "state_set", ("cart/c-2", '{"b":[1,2.50,1e2,-0],"a":null}'), {}, None),
    ("state-set-bad-json", "state_set", ("k", "[1,]"), {}, ValueError),
    ("state-set-deep-json", "state_set", ("k", "[" * 128), {}, ValueError),
    ("state-set-wrong-type", "state_set", ("k", b"[]"), {}, TypeError),
    ("state-set-unencodable", "state_set", ("k", '"\udc80"'), {}, UnicodeEncodeError),
    ("state-get", "state_get", ("cart/c-1",), {}, None),
    ("state-get-absent", "state_get", (LONG,), {}, None),
    ("state-get-missing", "state_get", (), {}, TypeError),
    ("state-delete-absent", "state_delete", (LONG,), {}, None),
    ("state-exists", "state_exists", ("cart/c-1",), {}, None),
    ("state-exists-absent", "state_exists", (LONG,), {}, None),
    ("state-keys", "state_keys", (), {}, None),
    ("state-keys-prefix", "state_keys", ("cart/",), {}, None),
    ("state-keys-none", "state_keys", (None,), {}, TypeError),
    # migrations
    ("start-in-progress", "start_migration", ("shop.Carts", "a", "b"), {}, ValueError),
    ("start-missing", "start_migration", ("shop.New", "a"), {}, TypeError),
    ("advance-complete", "advance_migration", ("shop.Done",), {}, ValueError),
    ("advance-unknown", "advance_migration", (LONG, 1, 1), {}, ValueError),
    ("advance-negative", "advance_migration", ("shop.Carts", -1), {}, OverflowError),
    ("advance-huge", "advance_migration", ("shop.Carts", 0, 2**64), {}, OverflowError),
    ("advance-none-count", "advance_migration", ("shop.Carts", None), {}, TypeError),
    ("rollback-initial", "rollback_migration", ("shop.Idle",), {}, ValueError),
    ("rollback-complete", "rollback_migration", ("shop.Done",), {}, ValueError),
    ("rollback-unknown", "rollback_migration", (LONG,), {}, ValueError),
    ("get-migration", "get_migration", ("shop.Carts",), {}, None),
    ("get-migration-absent", "get_migration", (LONG,), {}, None),
    ("list-migrations", "list_migrations", (), {}, None),
    ("list-migrations-surplus", "list_migrations", (1,), {}, TypeError),
    # channel, health, plan
    ("publish", "publish", ("cart.updated", '{"customer":"c-1","items":[1,2]}'), {}, None),
    ("publish-bad-json", "publish", ("cart.updated", "{,}"), {}, ValueError),
    ("publish-wrong-type", "publish", ("cart.updated", 1.5), {}, TypeError),
    ("health-snapshot", "health_snapshot", (), {}, None),
    ("health-snapshot-keyword", "health_snapshot", (), {"x": 1}, TypeError),
    ("plan-json", "plan_json", (), {}, None),
]


@pytest.mark.parametrize(
    "method,args,kwargs,expected", [c[1:] for c in CALL_CASES], ids=[c[0] for c in CALL_CASES]
)
def test_call_does_not_leak(method, args, kwargs, expected):
    # Private copies of the texts, so that their counts are the call's alone.
    args = tuple("".join(list(a)) if type(a) is str else a for a in args)
    kwargs = {k: "".join(list(v)) if type(v) is str else v for k, v in kwargs.items()}
    mesh = populated()
    fn = getattr(mesh, method)
    before = mesh.health_snapshot()

    if expected is None:

        def body():
            fn(*args, **kwargs)

    else:
        with pytest.raises(expected):
            fn(*args, **kwargs)

        def body():
            try:
                fn(*args, **kwargs)
            except expected:
                pass

    check_no_growth(body, [mesh, *args, *kwargs.values(), expected or fn])
    snapshot = json.loads(mesh.health_snapshot())
    if expected is not None or method in ("get_agent", "state_get", "list_agents"):
        assert mesh.health_snapshot() == before  # a failed call changes nothing
    assert snapshot["status"] == "ok"


def register_then_deregister(m):
    m.register_agent("Customer", LONG, 7, '{"region":"eu"}')
    m.deregister_agent(LONG)


def set_then_delete(m):
    m.state_set(LONG, '{"k":[1,2,3]}')
    m.state_delete(LONG)


def advance_then_roll_back(m):
    m.advance_migration("shop.Carts", 3, 10)
    m.rollback_migration("shop.Carts")


def restart_and_finish(m):
    m.start_migration("shop.Done", "sqlite", "redis")
    for _ in range(5):
        m.advance_migration("shop.Done")


def build_and_drop(_m):
    VrellMesh("shop", PLAN).register_agent("T", "a")


def build_with_bad_plan(_m):
    try:
        VrellMesh("shop", '{"app_name":"a","backends":{"db":{}}}')
    except ValueError:
        pass


def build_without_name(_m):
    try:
        VrellMesh(plan_json=PLAN)
    except TypeError:
        pass


def repr_and_name(m):
    repr(m)
    assert m.app_name == "shop"


SEQUENCES = [
    register_then_deregister,
    set_then_delete,
    advance_then_roll_back,
    restart_and_finish,
    build_and_drop,
    build_with_bad_plan,
    build_without_name,
    repr_and_name,
]


@pytest.mark.parametrize("sequence", SEQUENCES, ids=[s.__name__ for s in SEQUENCES])
def test_successful_changes_do_not_leak(sequence):
    mesh = populated()
    before = json.loads(mesh.health_snapshot())
    check_no_growth(lambda: sequence(mesh), [mesh], calls=CALLS // 2)
    assert json.loads(mesh.health_snapshot()) == before


def test_many_topics_cost_only_their_entries():
    mesh = populated()
    topics = [f"topic-{i}" for i in range(2000)]
    heap_before = HEAP.in_use()
    for t in topics:
        mesh.publish(t, "[1]")
    grown = HEAP.in_use() - heap_before if heap_before is not None else 0
    counts = refcounts(topics)
    check_no_growth(lambda: [mesh.publish(t, "[1]") for t in topics[:8]], [mesh], calls=CALLS // 8)
    assert refcounts(topics) == counts
    assert json.loads(mesh.health_snapshot())["channels"]["topics"] == 2001
    # A topic keeps its name and a queue with an unallocated ring: well under 4 KiB.
    assert grown < 2000 * 4096


# --- poisoned components and internal faults, in a child with a settable clock --------


CHILD = """
import ctypes, gc, sys
from vrell_mesh import VrellMesh
clock = ctypes.CDLL(None)
clock.vrell_fake_clock_set.argtypes = [ctypes.c_longlong, ctypes.c_long]
CALLS = {calls}


def panics(fn, *args):
    try:
        fn(*args)
    except BaseException as e:
        assert type(e).__name__ == "PanicException" and not isinstance(e, Exception), repr(e)
        return
    raise AssertionError(fn.__name__ + " did not panic")


def check(fn, args, exc):
    body = (lambda: panics(fn, *args)) if exc is None else (lambda: raises(fn, args, exc))
    for _ in range(300):
        body()
    gc.collect()
    watched = (m, fn, *args, exc)
    counts = [sys.getrefcount(o) for o in watched]
    nones, blocks = sys.getrefcount(None), sys.getallocatedblocks()
    for _ in range(CALLS):
        body()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts, fn.__name__
    assert abs(sys.getrefcount(None) - nones) < 64, (fn.__name__, "None")
    assert sys.getallocatedblocks() - blocks < CALLS // 50, (fn.__name__, "blocks")
    return 300 + CALLS


def raises(fn, args, exc):
    try:
        fn(*args)
    except exc:
        return
    raise AssertionError(fn.__name__ + " did not raise")


m = VrellMesh("app")
m.register_agent("T", "a")
m.start_migration("v", "s", "t")
m.state_set("k", "[1]")
clock.vrell_fake_clock_set(-1, 0)
calls = check(m.publish, ("t", "[1,2]"), None)  # the channel is not poisoned by it
panics(m.register_agent, "T", "b")
panics(m.advance_migration, "v")
clock.vrell_fake_clock_clear()

cases = [
    (m.register_agent, ("T", "c"), RuntimeError),
    (m.update_agent_status, ("a", "idle"), RuntimeError),
    (m.get_agent, ("a",), RuntimeError),
    (m.list_agents, (), RuntimeError),
    (m.route_agent_call, ("T", "a", "go"), RuntimeError),
    (m.deregister_agent, ("a",), RuntimeError),
    (m.start_migration, ("w", "s", "t"), ValueError),
    (m.advance_migration, ("v", 1, 2), ValueError),
    (m.rollback_migration, ("v",), ValueError),
    (m.get_migration, ("v",), ValueError),
    (m.list_migrations, (), ValueError),
]
for fn, args, exc in cases:
    calls += check(fn, args, exc)
assert repr(m) == 'VrellMesh(app="app", agents=0, state_keys=1, migrations=0)', repr(m)
print("OK", 1 + len(cases), calls)
"""


def test_poisoned_and_panicking_calls_do_not_leak(tmp_path):
    env = clock_shim(tmp_path)
    proc = subprocess.run(
        [*python_command(), "-c", CHILD.replace("{calls}", str(CALLS))],
        env=env,
        capture_output=True,
        text=True,
    )
    assert proc.returncode == 0 and proc.stdout.startswith("OK"), proc.stderr + proc.stdout
    _, cases, calls = proc.stdout.split()
    TALLY["cases"] += int(cases)
    TALLY["calls"] += int(calls)
