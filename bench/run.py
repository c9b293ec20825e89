#!/usr/bin/env python3
"""Benchmarks of vrell_mesh against plain-Python peers and the interpreter's floor.

    python3 bench/run.py [--quick] [--out bench/results]

Targets, measured in one process and interleaved round by round:
  vrell     the extension module;
  json, orjson, msgspec
            bench/peers.py's PyMesh (the same API on dicts) with that JSON
            library; in the corpus rows, the library's own loads / sorted dumps;
  floor     a bound dict.get called with the method's argument count (one or
            two): the interpreter's minimum cost for a call into C.
Every figure is the median over rounds; every ratio is the median of the
per-round ratios, so drift between rounds cancels out. The garbage collector
is off while timing. Writes <out>/latest.json and <out>/ratios.png, and prints
the table. See bench/README.md.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import appdocs
import peers

try:
    import vrell_mesh
    from vrell_mesh import VrellMesh
except ImportError as exc:  # pragma: no cover - set-up problem, not a result
    sys.exit(f"cannot import vrell_mesh ({exc}); `pip install .` or set PYTHONPATH to a build dir")

SMALL = '{"n":1,"s":"abc"}'
METADATA = '{"region":"eu","shard":3}'
CORPUS = ("canada", "citm_catalog", "twitter")
PEERS = ("json", "orjson", "msgspec")
CLOCKS = {"cpu": time.process_time, "wall": time.perf_counter}


@dataclass
class Settings:
    quick: bool
    rounds: int
    budget: float  # seconds per timed sample
    clock: object
    big_keys: int  # the largest state_keys size
    memory_keys: int
    log: object = sys.stderr


# ---------------------------------------------------------------- timing ----


class Loop:
    """One timed statement. `stmt` makes `calls` method calls; the names in `ns`
    are bound as locals of the timing function, so every target pays the same
    loop and name-lookup cost and only the callee differs."""

    def __init__(self, stmt: str, ns: dict, calls: int, *, fixed: bool = False, before=None):
        setup = "\n".join(f"{name} = _ns[{name!r}]" for name in ns)
        self.ns = ns
        self.stmt = stmt
        self.calls = calls
        self.fixed = fixed  # runs exactly once per sample (it changes what it measures)
        self.before = before  # untimed preparation before each sample
        self.number = 1
        self._setup = setup
        self._timer = None

    def bind(self, clock) -> None:
        self._timer = timeit.Timer(self.stmt, self._setup, timer=clock, globals={"_ns": self.ns})

    def calibrate(self, budget: float) -> None:
        if self.fixed:
            return
        self._timer.timeit(1)
        t = self._timer.timeit(1)
        self.number = max(1, min(1_000_000, round(budget / max(t, 1e-9))))

    def sample(self) -> float:
        """Seconds per call."""
        if self.before is not None:
            self.before()
        return self._timer.timeit(self.number) / (self.number * self.calls)


def measure(plan: dict[str, list[tuple[str, Loop]]], cfg: Settings, rounds: int | None = None):
    """Runs each target's loops in order, targets interleaved (rotating which
    goes first), one discarded warm-up round that also calibrates. Returns
    samples[op][target] = [seconds per call, one per round]."""
    rounds = cfg.rounds if rounds is None else rounds
    targets = list(plan)
    for loops in plan.values():
        for _, loop in loops:
            loop.bind(cfg.clock)
    samples: dict[str, dict[str, list[float]]] = {}
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds + 1):
            k = r % len(targets)
            for target in targets[k:] + targets[:k]:
                for op, loop in plan[target]:
                    if r == 0:
                        loop.calibrate(cfg.budget)
                    t = loop.sample()
                    if r > 0:
                        samples.setdefault(op, {}).setdefault(target, []).append(t)
    finally:
        gc.enable()
    return samples


# ----------------------------------------------------------------- rows ----


@dataclass
class Check:
    label: str
    ok: bool | None  # None: could not be evaluated
    value: float | None = None
    kind: str = ""  # "speed", "floor", "scale", "memory", "cpp"
    limit: float | None = None


@dataclass
class Row:
    name: str
    group: str
    unit: str  # "ns" (time per call) or "MB/s"
    samples: dict[str, list[float]]  # target -> seconds per call, per round
    size_bytes: int = 0  # for MB/s rows
    same_as_json: bool = False  # peers share one code path: only "json" measured
    note: str = ""
    checks: list[Check] = field(default_factory=list)
    extra: dict = field(default_factory=dict)

    def median(self, target: str) -> float | None:
        s = self.samples.get(target)
        return statistics.median(s) if s else None

    def figure(self, target: str) -> float | None:
        t = self.median(target)
        if t is None:
            return None
        return self.size_bytes / t / 1e6 if self.unit == "MB/s" else t * 1e9

    def peers(self) -> list[str]:
        return [p for p in PEERS if p in self.samples]

    def speedup(self, peer: str) -> float | None:
        """How many times faster vrell is than `peer` (median of per-round ratios)."""
        if peer not in self.samples or "vrell" not in self.samples:
            return None
        return statistics.median(p / v for p, v in zip(self.samples[peer], self.samples["vrell"]))

    def speedup_best(self) -> float | None:
        """Speedup over whichever peer was fastest in each round."""
        ps = self.peers()
        if not ps or "vrell" not in self.samples:
            return None
        per_round = zip(*(self.samples[p] for p in ps))
        return statistics.median(min(r) / v for r, v in zip(per_round, self.samples["vrell"]))

    def floor_ratio(self) -> float | None:
        """vrell's cost as a multiple of the floor's (median of per-round ratios)."""
        if "floor" not in self.samples:
            return None
        return statistics.median(
            v / f for v, f in zip(self.samples["vrell"], self.samples["floor"])
        )

    def check_floor(self, limit: float) -> None:
        r = self.floor_ratio()
        self.checks.append(
            Check(f"<= {limit:g}x floor", None if r is None else r <= limit, r, "floor", limit)
        )

    def check_speedup(self, at_least: float, what: str = "fastest peer") -> None:
        s = self.speedup_best()
        label = f">= {at_least:g}x {what}" if at_least != 1 else f"faster than {what}"
        self.checks.append(Check(label, None if s is None else s >= at_least, s, "speed", at_least))

    def passed(self) -> bool | None:
        if not self.checks:
            return None
        if any(c.ok is False for c in self.checks):
            return False
        return True if all(c.ok for c in self.checks) else None

    def to_json(self) -> dict:
        return {
            "name": self.name,
            "group": self.group,
            "unit": self.unit,
            "figures": {t: self.figure(t) for t in self.samples},
            "seconds_per_call": {t: self.median(t) for t in self.samples},
            "samples": self.samples,
            "size_bytes": self.size_bytes or None,
            "peers_share_code": self.same_as_json,
            "speedup": {p: self.speedup(p) for p in self.peers()},
            "speedup_vs_fastest_peer": self.speedup_best(),
            "floor_ratio": self.floor_ratio(),
            "checks": [c.__dict__ for c in self.checks],
            "pass": self.passed(),
            "note": self.note,
            **self.extra,
        }


def rows_from(samples, names: dict[str, str], group: str, **kw) -> dict[str, Row]:
    return {op: Row(names.get(op, op), group, "ns", samples[op], **kw) for op in samples}


# -------------------------------------------------------------- fixtures ----


def codecs():
    return {c.name: c for c in peers.all_codecs()}


def new_meshes(codec_map) -> dict:
    meshes = {"vrell": VrellMesh("bench")}
    for name, codec in codec_map.items():
        meshes[name] = peers.PyMesh("bench", codec)
    return meshes


def agent_ids(prefix: str, n: int) -> list[str]:
    return [f"{prefix}-{i:06d}" for i in range(n)]


def populate_agents(meshes: dict, ids: list[str]) -> None:
    for m in meshes.values():
        register = m.register_agent
        for i, agent_id in enumerate(ids):
            register("Worker", agent_id, i % 4, METADATA)


TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(?:\.\d+)?\+00:00")


def verify_peers(codec_map, data_dir: Path) -> list[str]:
    """The peers must do the module's work: the same texts for the workloads'
    inputs (timestamps masked; list order is unspecified; corpus values are
    compared parsed, since float spellings differ between libraries)."""
    script = [
        ("register_agent", ("Worker", "a-1", 2, METADATA)),
        ("register_agent", ("Worker", "a-2")),
        ("route_agent_call", ("Worker", "a-1", "handle")),
        ("route_agent_call", ("Other", "a-2", "run", '{"x": [1, 2]}')),
        ("get_agent", ("a-1",)),
        ("get_agent", ("ghost",)),
        ("update_agent_status", ("a-2", "idle")),
        ("list_agents", ()),
        ("state_set", ("k", SMALL)),
        ("state_get", ("k",)),
        ("state_exists", ("k",)),
        ("state_keys", ("",)),
        ("publish", ("events.1", SMALL)),
        ("start_migration", ("v.x", "sqlite", "redis")),
        ("advance_migration", ("v.x", 1, 2)),
        ("health_snapshot", ()),
    ]
    meshes = new_meshes(codec_map)
    problems = []
    for method, args in script:
        got = {}
        for t, m in meshes.items():
            out = getattr(m, method)(*args)
            if isinstance(out, str):
                out = TIMESTAMP.sub("T", out)
                if method == "list_agents":
                    out = sorted(json.loads(out), key=lambda e: e["agent_id"])
            got[t] = out
        problems += [
            f"{t}.{method}{args}: {v!r} != vrell {got['vrell']!r}"
            for t, v in got.items()
            if v != got["vrell"]
        ]
    for name in CORPUS:
        path = data_dir / f"{name}.json"
        if path.exists():
            text = path.read_text(encoding="utf-8")
            values = {}
            for t, m in meshes.items():
                m.state_set(name, text)
                values[t] = json.loads(m.state_get(name))
            problems += [
                f"{t}.state_get({name}) differs from vrell's once parsed"
                for t, v in values.items()
                if v != values["vrell"]
            ]
    return problems


# ------------------------------------------------------------- workloads ----


def bench_agents(cfg: Settings, codec_map) -> list[Row]:
    log = cfg.log
    rows: list[Row] = []
    targets = ["vrell", *codec_map]
    sizes = {"10": 10, "1k": 1_000, "10k": 10_000, "100k": 100_000}
    meshes = {label: new_meshes(codec_map) for label in sizes}
    for label, n in sizes.items():
        populate_agents(meshes[label], agent_ids("agent", n))
    print("  agents registered", file=log)

    # route_agent_call over 1,000 agents, visited in a shuffled order.
    ids = agent_ids("agent", 1_000)
    random.Random(1).shuffle(ids)
    floor_dict = dict.fromkeys(ids, 0)
    plan = {
        t: [
            (
                "route",
                Loop(
                    "for x in xs: f(T, x, M)",
                    {
                        "f": meshes["1k"][t].route_agent_call,
                        "xs": ids,
                        "T": "Worker",
                        "M": "handle",
                    },
                    len(ids),
                ),
            )
        ]
        for t in targets
    }
    plan["floor"] = [
        (
            "route",
            Loop("for x in xs: f(x, M)", {"f": floor_dict.get, "xs": ids, "M": "handle"}, len(ids)),
        )
    ]
    route = rows_from(measure(plan, cfg), {"route": "route_agent_call (1,000 agents)"}, "agents")
    r = route["route"]
    r.note = "floor: d.get(x, M)"
    r.check_floor(8)
    r.check_speedup(10)
    rows.append(r)
    print("  route_agent_call", file=log)

    # register / get / update / deregister a batch of fresh agents, then gone.
    cycle_ids = agent_ids("cycle", 1_000)
    floor_dict = dict.fromkeys(cycle_ids, 0)
    n = len(cycle_ids)
    plan = {}
    for t in targets:
        m = meshes["1k"][t]
        plan[t] = [
            (
                "register",
                Loop(
                    "for x in xs: f(T, x)",
                    {"f": m.register_agent, "xs": cycle_ids, "T": "Worker"},
                    n,
                    fixed=True,
                ),
            ),
            ("get", Loop("for x in xs: f(x)", {"f": m.get_agent, "xs": cycle_ids}, n)),
            (
                "update",
                Loop(
                    "for x in xs: f(x, S)",
                    {"f": m.update_agent_status, "xs": cycle_ids, "S": "idle"},
                    n,
                ),
            ),
            (
                "deregister",
                Loop(
                    "for x in xs: f(x)", {"f": m.deregister_agent, "xs": cycle_ids}, n, fixed=True
                ),
            ),
        ]
    plan["floor"] = [
        (
            "register",
            Loop(
                "for x in xs: f(T, x)",
                {"f": floor_dict.get, "xs": cycle_ids, "T": "Worker"},
                n,
                fixed=True,
            ),
        ),
        ("get", Loop("for x in xs: f(x)", {"f": floor_dict.get, "xs": cycle_ids}, n)),
        (
            "update",
            Loop("for x in xs: f(x, S)", {"f": floor_dict.get, "xs": cycle_ids, "S": "idle"}, n),
        ),
        (
            "deregister",
            Loop("for x in xs: f(x)", {"f": floor_dict.get, "xs": cycle_ids}, n, fixed=True),
        ),
    ]
    cyc = rows_from(
        measure(plan, cfg),
        {
            "register": "register_agent",
            "get": "get_agent (1,000 agents)",
            "update": "update_agent_status",
            "deregister": "deregister_agent",
        },
        "agents",
    )
    cyc["register"].note = "floor: d.get(T, x)"
    cyc["get"].check_floor(8)
    cyc["get"].note = "floor: d.get(x)"
    cyc["update"].note = "floor: d.get(x, S)"
    cyc["deregister"].note = "floor: d.get(x)"
    for op in ("register", "get", "update", "deregister"):
        cyc[op].check_speedup(1, "all peers")
        rows.append(cyc[op])
    print("  register/get/update/deregister", file=log)

    # list_agents and health_snapshot at several registry sizes.
    plan = {
        t: [
            ("list_1k", Loop("f()", {"f": meshes["1k"][t].list_agents}, 1)),
            ("list_100k", Loop("f()", {"f": meshes["100k"][t].list_agents}, 1)),
        ]
        for t in targets
    }
    lst = rows_from(
        measure(plan, cfg, rounds=max(3, cfg.rounds // 2)),
        {"list_1k": "list_agents (1,000 agents)", "list_100k": "list_agents (100,000 agents)"},
        "agents",
    )
    for op in ("list_1k", "list_100k"):
        lst[op].check_speedup(1, "all peers")
        rows.append(lst[op])
    print("  list_agents", file=log)

    plan = {
        t: [
            (f"health_{label}", Loop("f()", {"f": meshes[label][t].health_snapshot}, 1))
            for label in ("10", "10k", "100k")
        ]
        for t in targets
    }
    samples = measure(plan, cfg)
    health = rows_from(
        samples,
        {
            "health_10": "health_snapshot (10 agents)",
            "health_10k": "health_snapshot (10,000 agents)",
            "health_100k": "health_snapshot (100,000 agents)",
        },
        "health",
    )
    for op in ("health_10", "health_10k", "health_100k"):
        health[op].check_speedup(1, "all peers")
    big, small = samples["health_100k"]["vrell"], samples["health_10"]["vrell"]
    scale = statistics.median(b / s for b, s in zip(big, small))
    health["health_100k"].checks.append(
        Check("cost(100k) <= 1.25x cost(10)", scale <= 1.25, scale, "scale", 1.25)
    )
    health["health_100k"].extra["cost_100k_over_10"] = scale
    rows.extend(health[op] for op in ("health_10", "health_10k", "health_100k"))
    print("  health_snapshot", file=log)
    return rows


def bench_state_small(cfg: Settings, codec_map) -> list[Row]:
    meshes = new_meshes(codec_map)
    keys = [f"user:{i:06d}" for i in range(1_000)]
    random.Random(2).shuffle(keys)
    for m in meshes.values():
        for k in keys:
            m.state_set(k, SMALL)
    floor_dict = dict.fromkeys(keys, SMALL)
    n = len(keys)

    def loops(f_set, f_get, f_exists):
        return [
            ("set", Loop("for x in xs: f(x, V)", {"f": f_set, "xs": keys, "V": SMALL}, n)),
            ("get", Loop("for x in xs: f(x)", {"f": f_get, "xs": keys}, n)),
            ("exists", Loop("for x in xs: f(x)", {"f": f_exists, "xs": keys}, n)),
        ]

    plan = {t: loops(m.state_set, m.state_get, m.state_exists) for t, m in meshes.items()}
    plan["floor"] = loops(floor_dict.get, floor_dict.get, floor_dict.get)
    rows = rows_from(
        measure(plan, cfg),
        {
            "set": "state_set small (1,000 keys)",
            "get": "state_get small",
            "exists": "state_exists small",
        },
        "state",
    )
    rows["set"].note = "floor: d.get(x, V)"
    rows["set"].check_floor(5)
    rows["get"].note = "floor: d.get(x)"
    rows["get"].check_floor(4)
    rows["exists"].note = "floor: d.get(x)"
    rows["exists"].check_floor(2.5)
    for r in rows.values():
        r.check_speedup(1, "all peers")
    print("  small values", file=cfg.log)
    return [rows["set"], rows["get"], rows["exists"]]


def bench_corpus(cfg: Settings, data_dir: Path) -> list[Row]:
    import orjson  # the comparison needs it; peers.py degrades, this does not

    try:
        import msgspec
    except ImportError:
        msgspec = None
    rows: list[Row] = []
    json_sorted = json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    for name in CORPUS:
        path = data_dir / f"{name}.json"
        if not path.exists():
            print(f"  corpus {name}: {path} not found, skipped", file=cfg.log)
            continue
        text = path.read_text(encoding="utf-8")
        size = len(path.read_bytes())
        obj = json.loads(text)
        mesh = VrellMesh("bench")
        mesh.state_set("doc", text)  # warm: the document is in place before timing
        set_plan = {
            "vrell": [("set", Loop("f(K, s)", {"f": mesh.state_set, "K": "doc", "s": text}, 1))],
            "json": [("set", Loop("f(s)", {"f": json.loads, "s": text}, 1))],
            "orjson": [("set", Loop("f(s)", {"f": orjson.loads, "s": text}, 1))],
        }
        get_plan = {
            "vrell": [("get", Loop("f(K)", {"f": mesh.state_get, "K": "doc"}, 1))],
            "json": [("get", Loop("f(o)", {"f": json_sorted.encode, "o": obj}, 1))],
            "orjson": [
                (
                    "get",
                    Loop(
                        "f(o, option=O)",
                        {"f": orjson.dumps, "o": obj, "O": orjson.OPT_SORT_KEYS},
                        1,
                    ),
                )
            ],
        }
        if msgspec is not None:
            set_plan["msgspec"] = [
                ("set", Loop("f(s)", {"f": msgspec.json.Decoder().decode, "s": text}, 1))
            ]
            get_plan["msgspec"] = [
                (
                    "get",
                    Loop("f(o)", {"f": msgspec.json.Encoder(order="sorted").encode, "o": obj}, 1),
                )
            ]
        for plan, op, label in ((set_plan, "set", "state_set"), (get_plan, "get", "state_get")):
            samples = measure(plan, cfg)
            row = Row(f"{label} {name}", "corpus", "MB/s", samples[op], size_bytes=size)
            row.note = "peers: loads" if op == "set" else "peers: sorted dumps (bytes)"
            row.check_speedup(1, "fastest library")
            s = row.speedup_best()
            row.extra["aim_1_5x_met"] = None if s is None else s >= 1.5
            rows.append(row)
        print(f"  corpus {name}", file=cfg.log)
    return rows


def bench_state_keys(cfg: Settings, codec_map) -> list[Row]:
    rows: list[Row] = []
    vrell = VrellMesh("bench")
    peer = peers.PyMesh("bench", codec_map["json"])  # no JSON on this path: one peer
    value = json.loads(SMALL)
    order = list(range(cfg.big_keys))
    random.Random(3).shuffle(order)  # insertion order must not pre-sort the peer's keys
    filled = 0
    for n in (100_000, 1_000_000):
        if n > cfg.big_keys:
            print(f"  state_keys at {n:,} keys skipped in quick mode", file=cfg.log)
            continue
        for i in order[filled:n]:  # a random subset of the final key set
            key = f"t{i % 100:02d}/{i:07d}"
            vrell.state_set(key, SMALL)
            peer._state[key] = value  # fixture only: what state_set would store
        filled = n
        plan = {
            t: [
                ("selective", Loop("f(P)", {"f": m.state_keys, "P": "t42/"}, 1)),
                ("all", Loop("f(P)", {"f": m.state_keys, "P": ""}, 1)),
            ]
            for t, m in (("vrell", vrell), ("json", peer))
        }
        samples = measure(
            plan, cfg, rounds=cfg.rounds if n < 1_000_000 else max(3, cfg.rounds // 2)
        )
        for op, label in (("selective", "1% match"), ("all", "empty prefix")):
            row = Row(
                f"state_keys {label} ({n:,} keys)", "state", "ns", samples[op], same_as_json=True
            )
            row.extra["ns_per_key_scanned"] = {t: row.median(t) / n * 1e9 for t in row.samples}
            row.check_speedup(2, "dict scan+sort")
            rows.append(row)
        print(f"  state_keys at {n:,} keys", file=cfg.log)
    return rows


def bench_publish_migrations(cfg: Settings, codec_map) -> list[Row]:
    meshes = new_meshes(codec_map)
    topics = [f"events.{i % 10}" for i in range(1_000)]
    floor_dict = dict.fromkeys(topics, 0)
    plan = {
        t: [
            (
                "publish",
                Loop(
                    "for x in xs: f(x, P)", {"f": m.publish, "xs": topics, "P": SMALL}, len(topics)
                ),
            )
        ]
        for t, m in meshes.items()
    }
    plan["floor"] = [
        (
            "publish",
            Loop(
                "for x in xs: f(x, P)", {"f": floor_dict.get, "xs": topics, "P": SMALL}, len(topics)
            ),
        )
    ]
    pub = Row("publish (10 topics)", "channel", "ns", measure(plan, cfg)["publish"])
    pub.note = "floor: d.get(x, P)"
    pub.check_speedup(10)
    print("  publish", file=cfg.log)

    # start + 5 advances on names never used before; fresh names every sample.
    batch = 500
    stmt = "for x in xs:\n    s(x, A, B)\n    a(x)\n    a(x)\n    a(x)\n    a(x)\n    a(x)"
    plan = {}
    for t, m in meshes.items():
        ns = {
            "s": m.start_migration,
            "a": m.advance_migration,
            "xs": [],
            "A": "sqlite",
            "B": "redis",
        }
        counter = iter(range(1 << 30))

        def fresh(ns=ns, counter=counter):
            k = next(counter)
            ns["xs"] = [f"var{k}.{i}" for i in range(batch)]

        plan[t] = [("cycle", Loop(stmt, ns, batch, fixed=True, before=fresh))]
    mig = Row(
        "migration cycle (start + 5 advances)", "migrations", "ns", measure(plan, cfg)["cycle"]
    )
    mig.check_speedup(10)
    print("  migration cycle", file=cfg.log)
    return [pub, mig]


def bench_app_documents(cfg: Settings, codec_map) -> list[Row]:
    """The small, everyday documents of appdocs.py (json.dumps's default form)
    through state_set at every size against the libraries' own loads, and
    through publish, register_agent and route_agent_call against the peers."""
    import orjson

    rows: list[Row] = []
    loads = {"json": json.loads, "orjson": orjson.loads}
    try:
        import msgspec

        loads["msgspec"] = msgspec.json.Decoder().decode
    except ImportError:
        pass
    for size in appdocs.SIZES:
        docs = appdocs.documents(size)
        pairs = [(f"doc{i}", d) for i, d in enumerate(docs)]
        mesh = VrellMesh("bench")
        for k, d in pairs:
            mesh.state_set(k, d)
        plan = {"vrell": [("set", Loop("for k, x in xs: f(k, x)", {"f": mesh.state_set, "xs": pairs}, len(pairs)))]}
        for name, f in loads.items():
            plan[name] = [("set", Loop("for k, x in xs: f(x)", {"f": f, "xs": pairs}, len(pairs)))]
        median = sorted(len(d.encode()) for d in docs)[len(docs) // 2]
        row = Row(f"app docs: state_set {appdocs_label(size)}", "app documents", "ns", measure(plan, cfg)["set"])
        row.note = f"median {median} B; peers: loads"
        row.extra["median_bytes"] = median
        row.check_speedup(2.5, "fastest loads")
        rows.append(row)
    print("  app documents: state_set", file=cfg.log)

    meshes = new_meshes(codec_map)
    payloads = appdocs.documents(1024)
    metadata = appdocs.documents(256)
    args = appdocs.args_documents()
    ids = agent_ids("doc-agent", len(args))
    for m in meshes.values():
        for i in ids:
            m.register_agent("Worker", i)
    topics = [(f"events.{i % 10}", p) for i, p in enumerate(payloads)]
    fresh = [(f"new-{i}", md) for i, md in enumerate(metadata)]
    routes = list(zip(ids, args))
    plan = {}
    for t, m in meshes.items():
        plan[t] = [
            ("publish", Loop("for t, x in xs: f(t, x)", {"f": m.publish, "xs": topics}, len(topics))),
            (
                "register",
                Loop(
                    "for i, x in xs:\n    r(T, i, 0, x)\n    d(i)",
                    {"r": m.register_agent, "d": m.deregister_agent, "xs": fresh, "T": "Worker"},
                    len(fresh),
                ),
            ),
            (
                "route",
                Loop(
                    "for i, x in xs: f(T, i, M, x)",
                    {"f": m.route_agent_call, "xs": routes, "T": "Worker", "M": "checkout"},
                    len(routes),
                ),
            ),
        ]
    samples = measure(plan, cfg)
    pub = Row("app docs: publish 1 KB payload", "app documents", "ns", samples["publish"])
    reg = Row("app docs: register_agent + deregister, 256 B metadata", "app documents", "ns", samples["register"])
    route = Row("app docs: route_agent_call, 200 B args_json", "app documents", "ns", samples["route"])
    route.check_speedup(10)
    for r in (pub, reg):
        r.check_speedup(1, "all peers")
    rows.extend([pub, reg, route])
    print("  app documents: publish, register_agent, route_agent_call", file=cfg.log)
    return rows


def appdocs_label(size: int) -> str:
    return f"{size // 1024} KB" if size >= 1024 else f"{size} B"


def bench_memory(cfg: Settings) -> dict:
    spec_dir = Path(vrell_mesh.__file__).resolve().parent
    if spec_dir.name == "vrell_mesh":  # installed as a package directory
        spec_dir = spec_dir.parent
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(spec_dir), env.get("PYTHONPATH")]))
    out = {"keys": cfg.memory_keys}
    # Each probe measures its own RSS, so they may run side by side.
    procs = {
        target: subprocess.Popen(
            [sys.executable, str(HERE / "memprobe.py"), target, str(cfg.memory_keys)],
            env=env,
            text=True,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        for target in ("vrell", "dict", "py-json")
    }
    for target, proc in procs.items():
        stdout, stderr = proc.communicate()
        if proc.returncode != 0:
            print(f"  memory probe {target} failed: {stderr.strip()[-300:]}", file=cfg.log)
            continue
        out[target] = json.loads(stdout)["bytes_per_key"]
    if "vrell" in out:
        for ref, label in (("py-json", "plain-Python peer"), ("dict", "dict of key -> JSON text")):
            if ref in out:
                out[f"ratio_to_{ref}"] = out["vrell"] / out[ref]
        out["checks"] = [
            Check(
                f"<= 0.5x {label}",
                out[f"ratio_to_{ref}"] <= 0.5,
                out[f"ratio_to_{ref}"],
                "memory",
                0.5,
            ).__dict__
            for ref, label in (("py-json", "plain-Python peer"), ("dict", "dict of JSON text"))
            if f"ratio_to_{ref}" in out
        ]
    print("  memory per key", file=cfg.log)
    return out


# ------------------------------------------------------- C++ benchmarks ----


def bench_cpp(cfg: Settings, data_dir: Path, build_dir: Path) -> dict:
    cmake = shutil.which("cmake")
    if cmake is None:
        return {"skipped": "cmake not found"}
    if not any((data_dir / f"{n}.json").exists() for n in CORPUS):
        return {"skipped": f"no corpus files in {data_dir}"}
    configure = subprocess.run(
        [cmake, "-S", str(HERE / "cpp"), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release"],
        check=False,
        capture_output=True,
        text=True,
    )
    if configure.returncode != 0:
        why = "Google Benchmark (libbenchmark-dev) or RapidJSON (rapidjson-dev) not found"
        tail = configure.stderr.strip().splitlines()[-3:]
        return {"skipped": why, "cmake": tail}
    build = subprocess.run(
        [cmake, "--build", str(build_dir), "-j2"], check=False, capture_output=True, text=True
    )
    if build.returncode != 0:
        return {"skipped": "build failed", "log": build.stdout[-2000:] + build.stderr[-2000:]}
    reps, min_time = (3, "0.05") if cfg.quick else (7, "0.2")
    run = subprocess.run(
        [
            str(build_dir / "json_bench"),
            str(data_dir),
            "--benchmark_format=json",
            f"--benchmark_repetitions={reps}",
            "--benchmark_enable_random_interleaving=true",
            "--benchmark_report_aggregates_only=true",
            f"--benchmark_min_time={min_time}",
        ],
        check=False,
        capture_output=True,
        text=True,
    )
    if run.returncode != 0:
        return {"skipped": "json_bench failed", "log": run.stderr[-2000:]}
    report = json.loads(run.stdout)
    mbs: dict[str, dict[str, dict[str, float]]] = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        lib, op, corpus = b["run_name"].split("/")
        mbs.setdefault(corpus, {}).setdefault(op, {})[lib] = b["bytes_per_second"] / 1e6
    files = {}
    for corpus in (c for c in CORPUS if c in mbs):
        ops = mbs[corpus]
        entry = {"mb_per_s": ops, "ratio": {}, "checks": []}
        for op, ref in (
            ("parse", "parse"),
            ("parse_vs_full", "parse_full"),
            ("write", "write"),
            ("cycle", "cycle"),
        ):
            mine = ops.get("parse" if op == "parse_vs_full" else op, {}).get("vrell")
            theirs = ops.get(ref, {}).get("rapidjson")
            if mine and theirs:
                entry["ratio"][op] = mine / theirs
        for op in ("parse", "cycle"):
            if op in entry["ratio"]:
                entry["checks"].append(
                    Check(
                        f"{op} >= 0.5x RapidJSON",
                        entry["ratio"][op] >= 0.5,
                        entry["ratio"][op],
                        "cpp",
                        0.5,
                    ).__dict__
                )
        files[corpus] = entry
    return {
        "files": files,
        "context": report.get("context", {}),
        "repetitions": reps,
        "min_time": min_time,
    }


# ---------------------------------------------------------------- output ----


def fmt_time(ns: float | None) -> str:
    if ns is None:
        return "-"
    if ns < 1_000:
        return f"{ns:.0f} ns"
    if ns < 1_000_000:
        return f"{ns / 1e3:.1f} us"
    return f"{ns / 1e6:.1f} ms"


def fmt_fig(row: Row, target: str) -> str:
    v = row.figure(target)
    if v is None:
        return "=" if row.same_as_json and target in PEERS else "-"
    return f"{v:,.0f} MB/s" if row.unit == "MB/s" else fmt_time(v)


def fmt_ratio(x: float | None) -> str:
    return "-" if x is None else (f"{x:.1f}" if x < 100 else f"{x:.0f}")


def verdict(ok: bool | None) -> str:
    return {True: "pass", False: "FAIL", None: ""}[ok]


def render_table(rows: list[Row], memory: dict, cpp: dict) -> str:
    lines = []
    head = (
        f"{'workload':<40}{'vrell':>11}{'json':>11}{'orjson':>11}{'msgspec':>11}{'floor':>9}"
        f"{'xjson':>7}{'xorjson':>8}{'xmsgsp':>7}{'xbest':>7}{'/floor':>7}  target"
    )
    lines.append(head)
    lines.append("-" * len(head))
    group = None
    for row in rows:
        if row.group != group and group is not None:
            lines.append("")
        group = row.group
        sp = [
            fmt_ratio(row.speedup(p)) if p in row.samples else ("=" if row.same_as_json else "-")
            for p in PEERS
        ]
        targets = "; ".join(f"{c.label} {verdict(c.ok)}" for c in row.checks)
        lines.append(
            f"{row.name:<40}{fmt_fig(row, 'vrell'):>11}{fmt_fig(row, 'json'):>11}"
            f"{fmt_fig(row, 'orjson'):>11}{fmt_fig(row, 'msgspec'):>11}{fmt_fig(row, 'floor'):>9}"
            f"{sp[0]:>7}{sp[1]:>8}{sp[2]:>7}{fmt_ratio(row.speedup_best()):>7}"
            f"{fmt_ratio(row.floor_ratio()):>7}  {targets}"
        )
    lines.append("")
    lines.append("x<peer>: times faster than that peer (peer time / vrell time); xbest: than the")
    lines.append(
        "fastest peer of each round; /floor: vrell time / floor time. Corpus rows: MB/s of"
    )
    lines.append(
        "the input file, peers = the library's loads / sorted dumps. '=': same code as json."
    )
    if memory:
        lines.append("")
        lines.append(f"memory per key at {memory['keys']:,} small keys (RSS delta, fresh process):")
        parts = [f"{t} {memory[t]:.0f} B" for t in ("vrell", "dict", "py-json") if t in memory]
        lines.append(
            "  " + ", ".join(parts) + "   (dict = dict of key -> JSON text; "
            "py-json = the plain-Python peer, parsed values)"
        )
        for c in memory.get("checks", []):
            lines.append(f"  {c['label']}: {c['value']:.2f} {verdict(c['ok'])}")
    lines.append("")
    if "skipped" in cpp:
        lines.append(f"C++ JSON benchmarks skipped: {cpp['skipped']}")
    elif cpp:
        lines.append("C++ JSON (MB/s of the input file, medians; vrell/RapidJSON ratio):")
        lines.append(f"  {'file':<14}{'op':<8}{'vrell':>10}{'rapidjson':>11}{'ratio':>7}  target")
        for corpus, e in cpp["files"].items():
            m = e["mb_per_s"]
            for op in ("parse", "write", "cycle"):
                mine, theirs = m.get(op, {}).get("vrell"), m.get(op, {}).get("rapidjson")
                chk = next((c for c in e["checks"] if c["label"].startswith(op)), None)
                tgt = f"{chk['label']} {verdict(chk['ok'])}" if chk else ""
                lines.append(
                    f"  {corpus:<14}{op:<8}{mine or 0:>10,.0f}{theirs or 0:>11,.0f}"
                    f"{fmt_ratio(e['ratio'].get(op)):>7}  {tgt}"
                )
            full = m.get("parse_full", {}).get("rapidjson")
            if full:
                lines.append(
                    f"  {corpus:<14}{'parse':<8}{'':>10}{full:>11,.0f}"
                    f"{fmt_ratio(e['ratio'].get('parse_vs_full')):>7}  "
                    "(RapidJSON with full-precision floats)"
                )
        lines.append("  vrell 'write' copies the canonical text a parsed Value already is; the")
        lines.append("  comparable figures are parse and cycle (text in, compact text out).")
    return "\n".join(lines)


SPEED_TITLE = (
    "speed-up over the fastest plain-Python peer (x, log scale; "
    "memory: peer bytes / vrell bytes). |: target"
)
FLOOR_TITLE = (
    "cost as a multiple of the interpreter floor (bound dict.get, same argument count). |: target"
)


def render_chart(rows: list[Row], memory: dict, cpp: dict, path: Path, title: str) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib not installed (pip install matplotlib): chart skipped"

    def check(row: Row, kind: str) -> tuple[bool | None, float | None]:
        c = next((c for c in row.checks if c.kind == kind), None)
        return (None, None) if c is None else (c.ok, c.limit)

    # Panels of (label, value, ok, target); each bar is coloured by its own target.
    speed = [(r.name, r.speedup_best(), *check(r, "speed")) for r in rows if r.speedup_best()]
    if memory.get("ratio_to_py-json"):
        speed.append(
            (
                f"memory per key ({memory['keys']:,} keys)",
                1 / memory["ratio_to_py-json"],
                memory["ratio_to_py-json"] <= 0.5,
                2.0,
            )
        )
    floor = [(r.name, r.floor_ratio(), *check(r, "floor")) for r in rows if r.floor_ratio()]
    cpp_rows = [
        (f"{op} {corpus}", e["ratio"][op], e["ratio"][op] >= 0.5, 0.5)
        for corpus, e in cpp.get("files", {}).items()
        for op in ("parse", "cycle")
        if op in e["ratio"]
    ]
    panels = [
        (speed, True, SPEED_TITLE),
        (floor, False, FLOOR_TITLE),
        (cpp_rows, False, "C++ JSON: vrell MB/s / RapidJSON MB/s. |: target"),
    ]
    panels = [p for p in panels if p[0]]
    heights = [0.3 * len(p[0]) + 0.9 for p in panels]
    fig, axes = plt.subplots(
        len(panels),
        1,
        figsize=(10, sum(heights) + 0.9),
        gridspec_kw={"height_ratios": heights},
        squeeze=False,
    )
    colours = {True: "tab:green", False: "tab:red", None: "tab:gray"}
    for ax, (items, log, heading) in zip((a[0] for a in axes), panels):
        names, vals, oks, limits = zip(*items)
        ys = range(len(vals))
        ax.barh(ys, vals, color=[colours[o] for o in oks])
        for y, v, lim in zip(ys, vals, limits):
            ax.text(v, y, f" {v:.3g}", va="center", fontsize=7)
            if lim is not None:
                ax.plot([lim], [y], marker="|", color="black", markersize=12, mew=2)
        ax.set_yticks(list(ys), names, fontsize=7)
        ax.invert_yaxis()
        if log:
            ax.set_xscale("log")
        ax.axvline(1, color="black", lw=0.6)
        ax.set_title(heading, fontsize=9)
        ax.tick_params(axis="x", labelsize=7)
    fig.suptitle(title, fontsize=8)
    # Room for that title above the first panel's heading.
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.3 / fig.get_figheight()))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


# ------------------------------------------------------------------ main ----


def versions() -> dict:
    out = {
        "python": platform.python_version(),
        "vrell_mesh": vrell_mesh.__version__,
        "vrell_mesh_file": vrell_mesh.__file__,
    }
    for mod in ("orjson", "msgspec"):
        try:
            out[mod] = __import__(mod).__version__
        except ImportError:
            out[mod] = None
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer rounds, smaller sizes (< 1 minute)")
    ap.add_argument(
        "--out",
        type=Path,
        default=HERE / "results",
        help="where latest.json and ratios.png go (default: bench/results)",
    )
    ap.add_argument(
        "--data",
        type=Path,
        default=REPO.parent / "shared" / "data" / "bench",
        help="corpus directory (canada.json, citm_catalog.json, twitter.json)",
    )
    ap.add_argument(
        "--clock",
        choices=sorted(CLOCKS),
        default="cpu",
        help="cpu: process CPU time (robust on a shared machine); wall: perf_counter",
    )
    ap.add_argument(
        "--cpp-build",
        type=Path,
        default=REPO / "build-bench" / "json-bench",
        help="build directory for the C++ micro-benchmarks",
    )
    ap.add_argument("--no-cpp", action="store_true", help="skip the C++ micro-benchmarks")
    args = ap.parse_args(argv)

    cfg = Settings(
        quick=args.quick,
        rounds=4 if args.quick else 11,
        budget=0.004 if args.quick else 0.02,
        clock=CLOCKS[args.clock],
        big_keys=100_000 if args.quick else 1_000_000,
        memory_keys=1_000_000,
    )
    codec_map = codecs()
    missing = [p for p in PEERS if p not in codec_map]
    started = time.perf_counter()
    print(f"vrell_mesh {vrell_mesh.__version__} from {vrell_mesh.__file__}", file=sys.stderr)
    if missing:
        print(f"peers not installed, skipped: {', '.join(missing)}", file=sys.stderr)

    problems = verify_peers(codec_map, args.data)
    for p in problems:
        print(f"peer check: {p}", file=sys.stderr)
    timings = {}
    rows: list[Row] = []
    for name, fn in (
        ("agents", lambda: bench_agents(cfg, codec_map)),
        ("state", lambda: bench_state_small(cfg, codec_map)),
        ("corpus", lambda: bench_corpus(cfg, args.data)),
        ("state_keys", lambda: bench_state_keys(cfg, codec_map)),
        ("publish_migrations", lambda: bench_publish_migrations(cfg, codec_map)),
        ("app_documents", lambda: bench_app_documents(cfg, codec_map)),
    ):
        t0 = time.perf_counter()
        rows.extend(fn())
        gc.collect()
        timings[name] = time.perf_counter() - t0
    t0 = time.perf_counter()
    memory = bench_memory(cfg)
    timings["memory"] = time.perf_counter() - t0
    t0 = time.perf_counter()
    cpp = {"skipped": "--no-cpp"} if args.no_cpp else bench_cpp(cfg, args.data, args.cpp_build)
    if "skipped" in cpp:
        print(f"  C++ benchmarks skipped: {cpp['skipped']}", file=sys.stderr)
    else:
        print("  C++ benchmarks", file=sys.stderr)
    timings["cpp"] = time.perf_counter() - t0
    elapsed = time.perf_counter() - started

    table = render_table(rows, memory, cpp)
    print(table)
    stamp = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
    meta = {
        "date": stamp,
        "mode": "quick" if args.quick else "full",
        "clock": args.clock,
        "rounds": cfg.rounds,
        "budget_s": cfg.budget,
        "elapsed_s": elapsed,
        "phase_s": timings,
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "platform": platform.platform(),
        "versions": versions(),
        "peer_check": problems,
    }
    doc = {"meta": meta, "workloads": [r.to_json() for r in rows], "memory": memory, "cpp": cpp}
    args.out.mkdir(parents=True, exist_ok=True)
    tmp = args.out / "latest.json.tmp"
    tmp.write_text(json.dumps(doc, indent=1) + "\n")
    tmp.replace(args.out / "latest.json")
    title = (
        f"{meta['mode']} run {stamp}, Python {meta['versions']['python']}, "
        f"{meta['cpus']} CPUs, {args.clock} clock, medians of {cfg.rounds} rounds"
    )
    problem = render_chart(rows, memory, cpp, args.out / "ratios.png", title)
    if problem:
        print(problem, file=sys.stderr)
    print(
        f"\n{meta['mode']} run took {elapsed:.0f} s; wrote {args.out / 'latest.json'}"
        + ("" if problem else f" and {args.out / 'ratios.png'}")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
