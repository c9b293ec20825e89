"""The health snapshot across agents, state, migrations and channel."""

import json

import pytest

from vrell_mesh import VrellMesh


def snapshot_text(app, total=0, running=0, idle=0, error=0, keys=0, active=0, topics=0):
    return (
        f'{{"agents":{{"error":{error},"idle":{idle},"running":{running},"total":{total}}},'
        f'"app":{json.dumps(app, ensure_ascii=False)},"channels":{{"topics":{topics}}},'
        f'"migrations":{{"active":{active}}},"state":{{"keys":{keys}}},"status":"ok"}}'
    )


def test_fresh_snapshot():
    mesh = VrellMesh("myapp")
    text = mesh.health_snapshot()
    assert type(text) is str
    assert text == (
        '{"agents":{"error":0,"idle":0,"running":0,"total":0},"app":"myapp","channels":{"topics":0},'
        '"migrations":{"active":0},"state":{"keys":0},"status":"ok"}'
    )


@pytest.mark.parametrize(
    "plan,app",
    [("", "myapp"), ("{}", ""), (" ", ""), ('{"app_name":"other"}', "other"), ('{"app_name":""}', "")],
)
def test_app_is_the_plan_name(plan, app):
    assert VrellMesh("myapp", plan).health_snapshot() == snapshot_text(app)


@pytest.mark.parametrize("app", ['q"uote\\', "line\nfeed\x01", "caf\u00e9 \U0001f600", "\x7f/"])
def test_app_name_escaped(app):
    assert VrellMesh(app).health_snapshot() == snapshot_text(app)


def test_status_counts(mesh):
    statuses = ["starting", "running", "running", "idle", "stopping", "stopped", "error", "error", "error"]
    for i, status in enumerate(statuses):
        mesh.register_agent("T", f"a{i}")
        if status != "starting":
            mesh.update_agent_status(f"a{i}", status)
    assert mesh.health_snapshot() == snapshot_text("myapp", total=9, running=2, idle=1, error=3)


def test_stopped_agent_counts_only_in_total(mesh):
    mesh.register_agent("T", "a")
    mesh.update_agent_status("a", "stopped")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=1)


def test_counts_follow_changes(mesh):
    mesh.register_agent("T", "a")
    mesh.register_agent("T", "b")
    mesh.update_agent_status("a", "idle")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=2, idle=1)
    mesh.route_agent_call("T", "a", "m")
    mesh.route_agent_call("T", "b", "m")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=2, running=2)
    mesh.update_agent_status("b", "error")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=2, running=1, error=1)
    mesh.deregister_agent("b")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=1, running=1)
    mesh.deregister_agent("a")
    assert mesh.health_snapshot() == snapshot_text("myapp")


def test_failed_calls_change_no_count(mesh):
    mesh.register_agent("T", "a")
    mesh.update_agent_status("a", "idle")
    with pytest.raises(RuntimeError):
        mesh.register_agent("T", "a")
    with pytest.raises(ValueError):
        mesh.update_agent_status("a", "IDLE")
    with pytest.raises(ValueError):
        mesh.route_agent_call("T", "a", "m", "[")
    with pytest.raises(KeyError):
        mesh.route_agent_call("T", "ghost", "m")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=1, idle=1)


def test_every_subsystem_counted(mesh):
    mesh.register_agent("Customer", "c-1")
    mesh.route_agent_call("Customer", "c-1", "get")
    mesh.state_set("a", "1")
    mesh.state_set("b", "null")
    mesh.state_set("a", "2")
    mesh.start_migration("x", "sqlite", "redis")
    mesh.publish("events", "{}")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=1, running=1, keys=2, active=1, topics=1)
    mesh.state_delete("a")
    assert json.loads(mesh.health_snapshot())["state"]["keys"] == 1


def test_completed_migration_not_active_but_listed(mesh):
    mesh.start_migration("x", "sqlite", "redis")
    mesh.start_migration("y", "sqlite", "redis")
    mesh.rollback_migration("y")
    for _ in range(5):
        mesh.advance_migration("x")
    assert mesh.health_snapshot() == snapshot_text("myapp", active=1)
    assert sorted(s["variable_name"] for s in json.loads(mesh.list_migrations())) == ["x", "y"]


def test_topic_counted_without_receivers(mesh):
    assert mesh.publish("t", "1") == 0
    assert mesh.health_snapshot() == snapshot_text("myapp", topics=1)


def test_snapshot_is_read_only(mesh):
    mesh.register_agent("T", "a")
    first = mesh.health_snapshot()
    assert mesh.health_snapshot() == first
    assert json.loads(mesh.get_agent("a"))["status"] == "starting"


def test_snapshot_with_many_agents(mesh):
    for i in range(3000):
        mesh.register_agent("T", f"a{i}")
        if i % 3 == 0:
            mesh.update_agent_status(f"a{i}", "running")
        elif i % 3 == 1:
            mesh.update_agent_status(f"a{i}", "idle")
    assert mesh.health_snapshot() == snapshot_text("myapp", total=3000, running=1000, idle=1000)
