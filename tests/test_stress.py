"""Concurrency: several Python threads call every method on one mesh at once.

Each thread owns a namespace of agent ids, state keys, topics and migrated
variables, and keeps an exact model of it, so every answer about its own
names can be checked exactly while the other threads change theirs; a few
names are fought over by all threads, where exactly one may win. At the end
the mesh's counts must equal the sum of the models. The interpreter switches
threads every microsecond so that calls interleave as finely as they can.
"""

import json
import random
import sys
import threading

import pytest
from support.report import report

from vrell_mesh import VrellMesh

THREADS = 8
OPS_PER_THREAD = 5000
STATUSES = ["starting", "running", "idle", "stopping", "stopped", "error"]
STAGES = ["idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"]
SHARED_IDS = [f"shared-{k}" for k in range(20)]
SHARED_TOPICS = ["news", "alerts", "\u00e9v\u00e9nements"]


@pytest.fixture
def fine_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


class Worker:
    def __init__(self, mesh, n, start, results):
        self.mesh = mesh
        self.n = n
        self.rng = random.Random(n)
        self.start = start
        self.results = results
        self.agents = {}  # id -> status
        self.state = {}  # key -> value (Python)
        self.topics = set()
        self.migrations = {}  # variable -> stage
        self.won_ids = []  # shared ids this thread registered
        self.won_shared_migration = False
        self.ops = 0
        self.serial = 0

    # --- own names ---------------------------------------------------------------

    def new_name(self, kind):
        self.serial += 1
        return f"t{self.n}-{kind}{self.serial}"

    def register(self):
        agent_id = self.new_name("a")
        entry = json.loads(self.mesh.register_agent("Worker", agent_id, self.n, json.dumps({"n": self.n})))
        assert entry["agent_id"] == agent_id and entry["status"] == "starting", entry
        assert entry["instance"] == self.n and entry["metadata"] == {"n": self.n}
        self.agents[agent_id] = "starting"

    def some_agent(self):
        return self.rng.choice(sorted(self.agents)) if self.agents else None

    def deregister(self):
        agent_id = self.some_agent()
        if agent_id is None:
            return self.register()
        self.mesh.deregister_agent(agent_id)
        del self.agents[agent_id]
        assert self.mesh.get_agent(agent_id) is None

    def update(self):
        agent_id = self.some_agent()
        if agent_id is None:
            return self.register()
        status = self.rng.choice(STATUSES)
        self.mesh.update_agent_status(agent_id, status)
        self.agents[agent_id] = status

    def route(self):
        agent_id = self.some_agent()
        if agent_id is None:
            with pytest.raises(KeyError):
                self.mesh.route_agent_call("Worker", self.new_name("ghost"), "m")
            return
        if self.agents[agent_id] in ("stopped", "error"):
            with pytest.raises(KeyError) as info:
                self.mesh.route_agent_call("Other", agent_id, "m", "[1]")
            assert info.value.args == (f"Agent 'Other/{agent_id}' not found in registry",)
        else:
            route = json.loads(self.mesh.route_agent_call("Other", agent_id, "go", '{"x":1}'))
            assert route == {
                "agent_id": agent_id,
                "agent_type": "Other",
                "method": "go",
                "node": route["node"],
                "status": "routed",
            }
            self.agents[agent_id] = "running"

    def get(self):
        agent_id = self.some_agent()
        if agent_id is None:
            return
        entry = json.loads(self.mesh.get_agent(agent_id))
        assert entry["status"] == self.agents[agent_id], (entry, self.agents[agent_id])
        assert entry["agent_type"] == "Worker"

    def state_set(self):
        key = f"t{self.n}/k{self.rng.randrange(40)}"
        value = {"n": self.n, "op": self.ops, "list": [1, 2.5, None, "\u00e9"]}
        self.mesh.state_set(key, json.dumps(value))
        self.state[key] = value

    def state_delete(self):
        key = f"t{self.n}/k{self.rng.randrange(40)}"
        self.mesh.state_delete(key)
        self.state.pop(key, None)

    def state_read(self):
        key = f"t{self.n}/k{self.rng.randrange(40)}"
        text = self.mesh.state_get(key)
        assert (None if text is None else json.loads(text)) == self.state.get(key), key
        assert self.mesh.state_exists(key) is (key in self.state)
        assert self.mesh.state_keys(f"t{self.n}/") == sorted(self.state)

    def publish(self):
        topic = f"t{self.n}-topic{self.rng.randrange(5)}"
        assert self.mesh.publish(topic, json.dumps([self.n, self.ops])) == 0
        self.topics.add(topic)

    def migrate(self):
        candidates = sorted(v for v, s in self.migrations.items() if s < 6)
        if not candidates or self.rng.random() < 0.1:
            var = self.new_name("v")
            state = json.loads(self.mesh.start_migration(var, "sqlite", "redis"))
            assert state["stage"] == 1 and state["app_name"] == "stress"
            self.migrations[var] = 1
            return
        var = self.rng.choice(candidates)
        stage = self.migrations[var]
        if stage > 0 and self.rng.random() < 0.3:
            state = json.loads(self.mesh.rollback_migration(var))
            stage -= 1
        else:
            state = json.loads(self.mesh.advance_migration(var, 1, 2))
            stage += 1
        assert (state["stage"], state["stage_name"]) == (stage, STAGES[stage]), state
        self.migrations[var] = stage
        assert json.loads(self.mesh.get_migration(var)) == state

    # --- names every thread fights over ----------------------------------------------

    def register_shared(self):
        agent_id = self.rng.choice(SHARED_IDS)
        try:
            self.mesh.register_agent("Shared", agent_id, self.n)
        except RuntimeError as e:
            assert e.args == (f"Agent '{agent_id}' is already registered",)
        else:
            self.won_ids.append(agent_id)

    def touch_shared(self):
        self.mesh.state_set("shared", json.dumps({"by": self.n}))
        assert self.mesh.publish(self.rng.choice(SHARED_TOPICS), "null") == 0
        try:
            json.loads(self.mesh.route_agent_call("Shared", self.rng.choice(SHARED_IDS), "m"))
        except KeyError:
            pass

    # --- whole-mesh readers ----------------------------------------------------------

    def snapshot(self):
        snap = json.loads(self.mesh.health_snapshot())
        agents = snap["agents"]
        assert agents["running"] + agents["idle"] + agents["error"] <= agents["total"], snap
        assert snap["status"] == "ok" and snap["app"] == "stress"
        assert repr(self.mesh).startswith('VrellMesh(app="stress", agents=')

    def listings(self):
        mine = [e for e in json.loads(self.mesh.list_agents("Worker")) if e["instance"] == self.n]
        assert {e["agent_id"]: e["status"] for e in mine} == self.agents
        migrations = {
            s["variable_name"]: s["stage"]
            for s in json.loads(self.mesh.list_migrations())
            if s["variable_name"].startswith(f"t{self.n}-")
        }
        assert migrations == self.migrations
        json.loads(self.mesh.plan_json())

    OPERATIONS = [
        (register, 8),
        (deregister, 3),
        (update, 6),
        (route, 8),
        (get, 4),
        (state_set, 8),
        (state_delete, 3),
        (state_read, 5),
        (publish, 4),
        (migrate, 6),
        (register_shared, 2),
        (touch_shared, 3),
        (snapshot, 2),
        (listings, 1),
    ]

    def run(self):
        try:
            self.start.wait()
            try:
                self.mesh.start_migration("shared.Var", "sqlite", "redis")
                self.won_shared_migration = True
            except ValueError as e:
                assert e.args[0].startswith("Migration error: Migration for 'shared.Var' already in progress")
            ops, weights = zip(*self.OPERATIONS)
            for op in self.rng.choices(ops, weights, k=OPS_PER_THREAD):
                op(self)
                self.ops += 1
        except BaseException as e:  # handed to the main thread
            self.results.append((self.n, e))


def test_threads_calling_every_method_keep_counts_exact(fine_switching):
    mesh = VrellMesh("stress", json.dumps({"app_name": "stress", "agents": ["Worker"]}))
    start = threading.Barrier(THREADS)
    failures = []
    workers = [Worker(mesh, n, start, failures) for n in range(THREADS)]
    threads = [threading.Thread(target=w.run) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    if failures:
        n, e = failures[0]
        raise AssertionError(f"thread {n} failed: {e!r}") from e

    won = [agent_id for w in workers for agent_id in w.won_ids]
    assert len(won) == len(set(won)), "a shared id was registered twice"
    assert sum(w.won_shared_migration for w in workers) == 1

    total_agents = sum(len(w.agents) for w in workers) + len(won)
    statuses = [s for w in workers for s in w.agents.values()]
    shared_entries = [json.loads(mesh.get_agent(a)) for a in won]
    statuses += [e["status"] for e in shared_entries]
    keys = sorted({k for w in workers for k in w.state} | {"shared"})
    active = sum(1 for w in workers for s in w.migrations.values() if s < 6) + 1
    topics = {t for w in workers for t in w.topics} | set(SHARED_TOPICS)

    snap = json.loads(mesh.health_snapshot())
    assert snap == {
        "agents": {
            "error": statuses.count("error"),
            "idle": statuses.count("idle"),
            "running": statuses.count("running"),
            "total": total_agents,
        },
        "app": "stress",
        "channels": {"topics": len(topics)},
        "migrations": {"active": active},
        "state": {"keys": len(keys)},
        "status": "ok",
    }
    assert len(json.loads(mesh.list_agents())) == total_agents
    assert mesh.state_keys() == keys
    for w in workers:
        for key, value in w.state.items():
            assert json.loads(mesh.state_get(key)) == value
    assert json.loads(mesh.state_get("shared"))["by"] in range(THREADS)
    assert repr(mesh) == (
        f'VrellMesh(app="stress", agents={total_agents}, state_keys={len(keys)}, migrations={active})'
    )

    operations = sum(w.ops for w in workers) + THREADS
    assert operations == THREADS * OPS_PER_THREAD + THREADS
    report(
        "stress",
        f"{THREADS} threads, {operations} operations on one mesh"
        f" ({total_agents} agents, {len(keys)} keys, {active} active migrations,"
        f" {len(topics)} topics at the end, all exact)",
    )


def test_meshes_built_and_dropped_while_others_run(fine_switching):
    """Objects come and go on several threads while one long-lived mesh is in use."""
    keeper = VrellMesh("keeper")
    errors = []

    def churn(n):
        try:
            for i in range(300):
                m = VrellMesh(f"m{n}", json.dumps({"app_name": f"m{n}", "agents": ["A"]}))
                m.register_agent("A", "a")
                m.state_set("k", "[1]")
                m.start_migration("v", "s", "t")
                m.publish("t", "{}")
                assert json.loads(m.health_snapshot())["agents"]["total"] == 1
                keeper.state_set(f"{n}/{i % 10}", str(i))
                del m
        except BaseException as e:  # handed to the main thread
            errors.append(e)

    threads = [threading.Thread(target=churn, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors, errors
    assert len(keeper.state_keys()) == 40
    assert json.loads(keeper.state_get("3/9")) == 299
