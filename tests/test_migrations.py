"""Staged storage migrations: start, advance, roll back, look up, list."""

import json

import pytest

from vrell_mesh import VrellMesh

STAGES = ["idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"]
STATE_KEYS = [
    "variable_name",
    "source_backend",
    "target_backend",
    "stage",
    "stage_name",
    "started_at",
    "advanced_at",
    "discrepancy_count",
    "keys_migrated",
    "app_name",
]
INITIAL_STAGE = "Already at initial stage \u2014 cannot roll back further"


def state(text):
    return json.loads(text)


def at_stage(mesh, name, stage):
    """Starts a migration of `name` and moves it to `stage`."""
    mesh.start_migration(name, "sqlite", "redis")
    if stage == 0:
        mesh.rollback_migration(name)
    for _ in range(stage - 1):
        mesh.advance_migration(name)
    got = state(mesh.get_migration(name))
    assert got["stage"] == stage
    return got


def test_start_record(mesh, check_timestamp):
    text = mesh.start_migration("counter.Counts", "sqlite", "redis")
    assert type(text) is str
    stamp = state(text)["started_at"]
    check_timestamp(stamp)
    assert text == (
        '{"variable_name":"counter.Counts","source_backend":"sqlite","target_backend":"redis",'
        f'"stage":1,"stage_name":"shadow_write","started_at":"{stamp}","advanced_at":"{stamp}",'
        '"discrepancy_count":0,"keys_migrated":0,"app_name":"myapp"}'
    )
    assert mesh.get_migration("counter.Counts") == text


def test_member_order_is_fixed(mesh):
    mesh.start_migration("v", "a", "b")
    text = mesh.advance_migration("v", 1, 2)
    assert [k for k, _ in json.loads(text, object_pairs_hook=lambda p: p)] == STATE_KEYS


@pytest.mark.parametrize(
    "name,source,target",
    [("", "", ""), ('q"uote', "a\\b", "line\nfeed"), ("\u00e9t\u00e9", "\U0001f600", "\x01"), ("a'b", "x", "y")],
)
def test_names_escaped(name, source, target, mesh):
    text = mesh.start_migration(name, source, target)
    got = state(text)
    assert (got["variable_name"], got["source_backend"], got["target_backend"]) == (name, source, target)
    d = lambda s: json.dumps(s, ensure_ascii=False)  # noqa: E731
    assert text.startswith(f'{{"variable_name":{d(name)},"source_backend":{d(source)},"target_backend":{d(target)},')


def test_full_run_to_done(mesh, raises_exactly, check_timestamp, pause):
    start = state(mesh.start_migration("counter.Counts", "sqlite", "redis"))
    previous = start
    for stage in range(2, 7):
        pause()
        got = state(mesh.advance_migration("counter.Counts"))
        assert (got["stage"], got["stage_name"]) == (stage, STAGES[stage])
        assert got["started_at"] == start["started_at"]
        assert check_timestamp(got["advanced_at"]) > check_timestamp(previous["advanced_at"])
        assert (got["discrepancy_count"], got["keys_migrated"]) == (0, 0)
        assert mesh.get_migration("counter.Counts") == json.dumps(got, separators=(",", ":"))
        previous = got
    done = mesh.get_migration("counter.Counts")
    with raises_exactly(ValueError, "Migration error: Migration for 'counter.Counts' is already complete"):
        mesh.advance_migration("counter.Counts", 1, 1)
    assert mesh.get_migration("counter.Counts") == done


def test_counters_accumulate(mesh):
    mesh.start_migration("v", "sqlite", "redis")
    mesh.advance_migration("v", 3, 10)
    got = state(mesh.advance_migration("v", 2, 5))
    assert (got["discrepancy_count"], got["keys_migrated"]) == (5, 15)
    got = state(mesh.advance_migration("v", keys_migrated=7))
    assert (got["discrepancy_count"], got["keys_migrated"]) == (5, 22)
    got = state(mesh.advance_migration("v", discrepancy_count=1))
    assert (got["discrepancy_count"], got["keys_migrated"]) == (6, 22)


def test_counters_wrap_at_2_64(mesh):
    mesh.start_migration("v", "sqlite", "redis")
    mesh.advance_migration("v", 2**64 - 1, 2**64 - 2)
    text = mesh.advance_migration("v", 2, 3)
    got = state(text)
    assert (got["discrepancy_count"], got["keys_migrated"]) == (1, 1)
    assert '"discrepancy_count":1,"keys_migrated":1,' in text


def test_large_counters_written_as_integers(mesh):
    mesh.start_migration("v", "sqlite", "redis")
    text = mesh.advance_migration("v", 2**64 - 1, 2**63)
    assert '"discrepancy_count":18446744073709551615,"keys_migrated":9223372036854775808,' in text


def test_rollback_to_idle_and_forward_again(mesh, raises_exactly, check_timestamp, pause):
    start = state(mesh.start_migration("v", "sqlite", "redis"))
    mesh_counts = state(mesh.advance_migration("v", 4, 9))
    mesh.rollback_migration("v")
    pause()
    got = state(mesh.rollback_migration("v"))
    assert (got["stage"], got["stage_name"]) == (0, "idle")
    assert got["started_at"] == start["started_at"]
    assert (got["discrepancy_count"], got["keys_migrated"]) == (4, 9)
    assert check_timestamp(got["advanced_at"]) > check_timestamp(mesh_counts["advanced_at"])
    idle = mesh.get_migration("v")
    with raises_exactly(ValueError, "Migration error: " + INITIAL_STAGE):
        mesh.rollback_migration("v")
    assert mesh.get_migration("v") == idle
    got = state(mesh.advance_migration("v"))
    assert (got["stage"], got["stage_name"]) == (1, "shadow_write")


def test_initial_stage_message_bytes():
    assert len(INITIAL_STAGE.encode("utf-8")) == 53


@pytest.mark.parametrize("stage", [1, 2, 3, 4, 5])
def test_rollback_one_stage(stage, mesh):
    before = at_stage(mesh, "v", stage)
    got = state(mesh.rollback_migration("v"))
    assert (got["stage"], got["stage_name"]) == (stage - 1, STAGES[stage - 1])
    assert got["started_at"] == before["started_at"]


def test_rollback_completed_refused(mesh, raises_exactly):
    at_stage(mesh, "v", 6)
    done = mesh.get_migration("v")
    with raises_exactly(ValueError, "Migration error: Cannot roll back a completed migration"):
        mesh.rollback_migration("v")
    assert mesh.get_migration("v") == done


@pytest.mark.parametrize("stage", [0, 1, 2, 3, 4, 5])
def test_start_while_in_progress_refused(stage, mesh, raises_exactly):
    at_stage(mesh, "counter.Counts", stage)
    before = mesh.get_migration("counter.Counts")
    message = (
        "Migration error: Migration for 'counter.Counts' already in progress at stage "
        f"{stage} ({STAGES[stage]})"
    )
    with raises_exactly(ValueError, message):
        mesh.start_migration("counter.Counts", "postgres", "s3")
    assert mesh.get_migration("counter.Counts") == before


def test_restart_after_done(mesh, check_timestamp, pause):
    at_stage(mesh, "v", 1)
    for _ in range(5):
        mesh.advance_migration("v", 3, 4)
    done = state(mesh.get_migration("v"))
    pause()
    text = mesh.start_migration("v", "redis", "postgres")
    got = state(text)
    assert (got["stage"], got["stage_name"]) == (1, "shadow_write")
    assert (got["source_backend"], got["target_backend"]) == ("redis", "postgres")
    assert (got["discrepancy_count"], got["keys_migrated"]) == (0, 0)
    assert got["started_at"] == got["advanced_at"]
    assert check_timestamp(got["started_at"]) > check_timestamp(done["advanced_at"])
    assert mesh.get_migration("v") == text
    assert len(json.loads(mesh.list_migrations())) == 1


@pytest.mark.parametrize(
    "call",
    [lambda m: m.advance_migration("ghost"), lambda m: m.advance_migration("ghost", 1, 1),
     lambda m: m.rollback_migration("ghost")],
)
def test_unknown_variable(call, mesh, raises_exactly):
    assert mesh.get_migration("ghost") is None
    with raises_exactly(ValueError, "Migration error: No migration in progress for 'ghost'"):
        call(mesh)
    assert mesh.get_migration("ghost") is None
    assert mesh.list_migrations() == "[]"


def test_names_are_exact(mesh, raises_exactly):
    mesh.start_migration("v", "a", "b")
    assert mesh.get_migration("V") is None
    assert mesh.get_migration("v ") is None
    mesh.start_migration("V", "a", "b")
    with raises_exactly(ValueError, "Migration error: No migration in progress for 'v2'"):
        mesh.rollback_migration("v2")


def test_list_migrations(mesh, health):
    assert mesh.list_migrations() == "[]"
    at_stage(mesh, "a.A", 3)
    at_stage(mesh, "b.B", 0)
    at_stage(mesh, "c.C", 6)
    text = mesh.list_migrations()
    listed = json.loads(text)
    assert sorted(s["variable_name"] for s in listed) == ["a.A", "b.B", "c.C"]
    assert text == "[" + ",".join(mesh.get_migration(s["variable_name"]) for s in listed) + "]"
    # Stage 0 is still active; the completed one is not.
    assert health(mesh)["migrations"]["active"] == 2
    assert repr(mesh).endswith("migrations=2)")


def test_active_count_follows_stages(mesh, health):
    def active():
        return health(mesh)["migrations"]["active"]

    mesh.start_migration("v", "a", "b")
    assert active() == 1
    mesh.rollback_migration("v")
    assert active() == 1
    for _ in range(6):
        mesh.advance_migration("v")
    assert active() == 0
    mesh.start_migration("v", "a", "b")
    assert active() == 1


@pytest.mark.parametrize(
    "plan,expected",
    [("", "myapp"), ("{}", "myapp"), ("   ", "myapp"), ('{"app_name":"other"}', "other"), ('{"app_name":""}', "myapp")],
)
def test_app_name_recorded(plan, expected):
    mesh = VrellMesh("myapp", plan)
    assert state(mesh.start_migration("v", "a", "b"))["app_name"] == expected
    assert state(mesh.advance_migration("v"))["app_name"] == expected


def test_bad_counts_leave_migration_unchanged(mesh):
    mesh.start_migration("v", "a", "b")
    before = mesh.get_migration("v")
    with pytest.raises(OverflowError):
        mesh.advance_migration("v", -1)
    with pytest.raises(OverflowError):
        mesh.advance_migration("v", 0, 2**64)
    with pytest.raises(TypeError):
        mesh.advance_migration("v", None)
    with pytest.raises(TypeError):
        mesh.advance_migration("v", keys_migrated=None)
    assert mesh.get_migration("v") == before


def test_migrations_are_per_mesh():
    one = VrellMesh("one")
    two = VrellMesh("two")
    one.start_migration("v", "a", "b")
    assert two.get_migration("v") is None
    assert two.start_migration("v", "c", "d")
    assert state(one.get_migration("v"))["source_backend"] == "a"
