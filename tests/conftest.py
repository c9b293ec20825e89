"""Shared fixtures for the vrell_mesh test suite."""

import contextlib
import datetime
import json
import re
import time

import pytest

import vrell_mesh

TIMESTAMP_RE = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{3}|\d{6}|\d{9}))?\+00:00"
)


@pytest.fixture
def mesh():
    return vrell_mesh.VrellMesh("myapp")


@contextlib.contextmanager
def _raises_exactly(exc_type, text):
    """The call raises exactly `exc_type` (no subclass) with the single argument `text`."""
    with pytest.raises(exc_type) as info:
        yield info
    assert type(info.value) is exc_type
    assert info.value.args == (text,)


@pytest.fixture
def raises_exactly():
    return _raises_exactly


def _check_timestamp(text):
    """Asserts the UTC RFC 3339 shape and the fraction-width rule; returns the
    instant as (seconds since the epoch, nanoseconds)."""
    m = TIMESTAMP_RE.fullmatch(text)
    assert m, f"not a timestamp: {text!r}"
    year, month, day, hour, minute, second = (int(g) for g in m.groups()[:6])
    fraction = m.group(7)
    nanos = 0
    if fraction is not None:
        nanos = int(fraction.ljust(9, "0"))
        # The width is the narrowest that holds the reading exactly.
        if len(fraction) == 3:
            assert nanos != 0
        elif len(fraction) == 6:
            assert nanos % 1_000_000 != 0, text
        else:
            assert nanos % 1000 != 0, text
    when = datetime.datetime(year, month, day, hour, minute, second, tzinfo=datetime.timezone.utc)
    seconds = int(when.timestamp())
    assert abs(seconds - time.time()) < 300, f"timestamp far from now: {text}"
    return seconds, nanos


@pytest.fixture
def check_timestamp():
    return _check_timestamp


def _health(mesh):
    return json.loads(mesh.health_snapshot())


@pytest.fixture
def health():
    return _health


@pytest.fixture
def pause():
    """Lets the clock move on so that a later reading differs from an earlier one."""

    def _pause():
        time.sleep(0.002)

    return _pause
