"""Plain-Python peers of the VrellMesh API, for the benchmark.

PyMesh implements the methods the benchmark calls with the same observable
behaviour as the module (the texts it returns, the errors it raises) on plain
dicts, with a pluggable JSON library. It is written the way a careful Python
developer would write it, so the comparison is with good Python, not a straw
man: encoders are built once, status and migration counts are kept up to
date instead of being recounted, and the date-time part of a timestamp is
formatted once per second.
"""

from __future__ import annotations

import json
import time

STATUSES = ("starting", "running", "idle", "stopping", "stopped", "error")
_STATUS_SET = frozenset(STATUSES)
_DEAD = frozenset(("stopped", "error"))
STAGES = ("idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done")
_ABSENT = object()


class Codec:
    """A JSON library as the peer uses it: parse, sorted compact text, compact text."""

    def __init__(self, name, loads, dumps_sorted, dumps):
        self.name = name
        self.loads = loads
        self.dumps_sorted = dumps_sorted  # value -> str, members sorted at every level
        self.dumps = dumps  # value -> str, members in insertion order


def json_codec() -> Codec:
    sorted_enc = json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    plain_enc = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False)
    return Codec("json", json.loads, sorted_enc.encode, plain_enc.encode)


def orjson_codec() -> Codec | None:
    try:
        import orjson
    except ImportError:
        return None
    dumps_raw = orjson.dumps
    opt = orjson.OPT_SORT_KEYS

    def dumps_sorted(v):
        return dumps_raw(v, option=opt).decode()

    def dumps(v):
        return dumps_raw(v).decode()

    return Codec("orjson", orjson.loads, dumps_sorted, dumps)


def msgspec_codec() -> Codec | None:
    try:
        import msgspec
    except ImportError:
        return None
    decode = msgspec.json.Decoder().decode
    sorted_encode = msgspec.json.Encoder(order="sorted").encode
    plain_encode = msgspec.json.Encoder().encode

    def dumps_sorted(v):
        return sorted_encode(v).decode()

    def dumps(v):
        return plain_encode(v).decode()

    return Codec("msgspec", decode, dumps_sorted, dumps)


def all_codecs() -> list[Codec]:
    return [c for c in (json_codec(), orjson_codec(), msgspec_codec()) if c is not None]


class _Clock:
    """RFC 3339 UTC timestamps with the module's fraction widths (0, 3, 6 or 9 digits)."""

    def __init__(self):
        self._sec = -1
        self._base = ""

    def now(self) -> str:
        ns = time.time_ns()
        sec, frac = divmod(ns, 1_000_000_000)
        if sec != self._sec:
            self._sec = sec
            self._base = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(sec))
        if frac == 0:
            return self._base + "+00:00"
        if frac % 1_000_000 == 0:
            return f"{self._base}.{frac // 1_000_000:03d}+00:00"
        if frac % 1000 == 0:
            return f"{self._base}.{frac // 1000:06d}+00:00"
        return f"{self._base}.{frac:09d}+00:00"


class _Topic:
    """A topic's broadcast queue, as far as publishing needs it."""

    __slots__ = ("next_position", "receivers", "ring")

    def __init__(self):
        self.receivers = 0
        self.next_position = 0
        self.ring = [None] * 1024

    def send(self, message) -> int:
        if not self.receivers:  # nobody could read it: dropped at once
            return 0
        self.ring[self.next_position & 1023] = message
        self.next_position += 1
        return self.receivers


class PyMesh:
    def __init__(self, app_name: str, codec: Codec):
        self.app_name = app_name
        self._loads = codec.loads
        self._dumps_sorted = codec.dumps_sorted
        self._dumps = codec.dumps
        self._now = _Clock().now
        self._agents: dict[str, dict] = {}
        self._by_status = dict.fromkeys(STATUSES, 0)
        self._state: dict[str, object] = {}
        self._topics: dict[str, _Topic] = {}
        self._migrations: dict[str, dict] = {}
        self._active_migrations = 0

    # -- agents ---------------------------------------------------------------

    def _normalise(self, value):
        # Members of stored objects come out sorted while the entry keeps its
        # fixed field order: sort once here, then dump without sorting.
        if isinstance(value, (dict, list)):
            return self._loads(self._dumps_sorted(value))
        return value

    def register_agent(self, agent_type, agent_id, instance=0, metadata_json=None):
        metadata = {} if metadata_json is None else self._normalise(self._loads(metadata_json))
        if agent_id in self._agents:
            raise RuntimeError(f"Agent '{agent_id}' is already registered")
        now = self._now()
        entry = {
            "agent_id": agent_id,
            "agent_type": agent_type,
            "status": "starting",
            "instance": instance,
            "registered_at": now,
            "last_active": now,
            "metadata": metadata,
        }
        self._agents[agent_id] = entry
        self._by_status["starting"] += 1
        return self._dumps(entry)

    def update_agent_status(self, agent_id, status):
        if status not in _STATUS_SET:
            raise ValueError(
                f"Unknown status {json.dumps(status)}. "
                "Valid values: starting, running, idle, stopping, stopped, error"
            )
        entry = self._agents.get(agent_id)
        if entry is None:
            raise KeyError(f"Agent '/{agent_id}' not found in registry")
        self._set_status(entry, status)

    def _set_status(self, entry, status):
        counts = self._by_status
        counts[entry["status"]] -= 1
        counts[status] += 1
        entry["status"] = status
        entry["last_active"] = self._now()

    def deregister_agent(self, agent_id):
        entry = self._agents.pop(agent_id, None)
        if entry is not None:
            self._by_status[entry["status"]] -= 1

    def get_agent(self, agent_id):
        entry = self._agents.get(agent_id)
        return None if entry is None else self._dumps(entry)

    def list_agents(self, agent_type=None, status=None):
        entries = self._agents.values()
        if agent_type is not None:
            entries = [e for e in entries if e["agent_type"] == agent_type]
        if status is not None:
            entries = [e for e in entries if e["status"] == status]
        return self._dumps(list(entries))

    def route_agent_call(self, agent_type, agent_id, method, args_json="{}"):
        self._loads(args_json)
        entry = self._agents.get(agent_id)
        if entry is None or entry["status"] in _DEAD:
            raise KeyError(f"Agent '{agent_type}/{agent_id}' not found in registry")
        self._set_status(entry, "running")
        return self._dumps_sorted(
            {
                "status": "routed",
                "agent_type": agent_type,
                "agent_id": agent_id,
                "method": method,
                "node": "localhost",
            }
        )

    # -- state ----------------------------------------------------------------

    def state_set(self, key, value_json):
        self._state[key] = self._loads(value_json)

    def state_get(self, key):
        value = self._state.get(key, _ABSENT)
        return None if value is _ABSENT else self._dumps_sorted(value)

    def state_exists(self, key):
        return key in self._state

    def state_delete(self, key):
        self._state.pop(key, None)

    def state_keys(self, prefix=""):
        if not prefix:
            return sorted(self._state)
        return sorted([k for k in self._state if k.startswith(prefix)])

    # -- channel --------------------------------------------------------------

    def publish(self, topic, payload_json):
        payload = self._loads(payload_json)
        queue = self._topics.get(topic)
        if queue is None:
            queue = self._topics[topic] = _Topic()
        return queue.send((topic, payload, self._now()))

    # -- migrations -----------------------------------------------------------

    def start_migration(self, variable_name, source_backend, target_backend):
        old = self._migrations.get(variable_name)
        if old is not None and old["stage"] < 6:
            raise ValueError(
                f"Migration error: Migration for '{variable_name}' already in progress "
                f"at stage {old['stage']} ({old['stage_name']})"
            )
        now = self._now()
        record = {
            "variable_name": variable_name,
            "source_backend": source_backend,
            "target_backend": target_backend,
            "stage": 1,
            "stage_name": "shadow_write",
            "started_at": now,
            "advanced_at": now,
            "discrepancy_count": 0,
            "keys_migrated": 0,
            "app_name": self.app_name,
        }
        self._migrations[variable_name] = record
        self._active_migrations += 1  # new, or replacing a completed (inactive) one
        return self._dumps(record)

    def advance_migration(self, variable_name, discrepancy_count=0, keys_migrated=0):
        record = self._migrations.get(variable_name)
        if record is None:
            raise ValueError(f"Migration error: No migration in progress for '{variable_name}'")
        stage = record["stage"]
        if stage > 5:
            raise ValueError(
                f"Migration error: Migration for '{variable_name}' is already complete"
            )
        stage += 1
        record["stage"] = stage
        record["stage_name"] = STAGES[stage]
        record["advanced_at"] = self._now()
        record["discrepancy_count"] = (record["discrepancy_count"] + discrepancy_count) % (1 << 64)
        record["keys_migrated"] = (record["keys_migrated"] + keys_migrated) % (1 << 64)
        if stage == 6:
            self._active_migrations -= 1
        return self._dumps(record)

    def rollback_migration(self, variable_name):
        record = self._migrations.get(variable_name)
        if record is None:
            raise ValueError(f"Migration error: No migration in progress for '{variable_name}'")
        stage = record["stage"]
        if stage == 0:
            raise ValueError(
                "Migration error: Already at initial stage \u2014 cannot roll back further"
            )
        if stage == 6:
            raise ValueError("Migration error: Cannot roll back a completed migration")
        stage -= 1
        record["stage"] = stage
        record["stage_name"] = STAGES[stage]
        record["advanced_at"] = self._now()
        return self._dumps(record)

    def get_migration(self, variable_name):
        record = self._migrations.get(variable_name)
        return None if record is None else self._dumps(record)

    # -- health ---------------------------------------------------------------

    def health_snapshot(self):
        counts = self._by_status
        return self._dumps_sorted(
            {
                "app": self.app_name,
                "status": "ok",
                "agents": {
                    "total": len(self._agents),
                    "running": counts["running"],
                    "idle": counts["idle"],
                    "error": counts["error"],
                },
                "state": {"keys": len(self._state)},
                "migrations": {"active": self._active_migrations},
                "channels": {"topics": len(self._topics)},
            }
        )
