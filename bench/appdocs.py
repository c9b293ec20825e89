"""The everyday documents an application passes: a seeded generator, and the
benchmark workload that sends them through the module and its peers.

Documents are what `json.dumps(obj)` makes of an application's records: the
default separators ", " and ": ", keys in insertion order (not sorted), prices
with two decimals, ids and timestamps as text, a little non-ASCII text, two or
three levels of nesting; from 64 bytes to 16 KB.
"""

from __future__ import annotations

import json
import random

SIZES = (64, 256, 1024, 4096, 16384)
WORDS = ("tea", "mug", "kettle", "cup", "spoon", "plate", "box", "bag", "lid", "tray")
NAMES = ("Ana", "Bruno", "Chloé", "Dmitri", "Eun-ji", "François", "Grete", "Hiroshi", "Zoë")
CITIES = ("Lyon", "Zürich", "São Paulo", "Kraków", "Oslo", "東京", "Montréal", "Austin")


def _stamp(rng: random.Random) -> str:
    return "2026-%02d-%02dT%02d:%02d:%02d.%03dZ" % (
        rng.randint(1, 12),
        rng.randint(1, 28),
        rng.randint(0, 23),
        rng.randint(0, 59),
        rng.randint(0, 59),
        rng.randint(0, 999),
    )


def _line(rng: random.Random) -> dict:
    return {
        "sku": "%s-%04d" % (rng.choice(WORDS), rng.randint(0, 9999)),
        "qty": rng.randint(1, 9),
        "price": round(rng.uniform(0.5, 250.0), 2),
        "gift": rng.random() < 0.1,
    }


def _order(rng: random.Random, lines: int) -> dict:
    return {
        "id": "ord_%012x" % rng.getrandbits(48),
        "customer": {
            "id": "cus_%08x" % rng.getrandbits(32),
            "name": rng.choice(NAMES),
            "city": rng.choice(CITIES),
        },
        "created_at": _stamp(rng),
        "status": rng.choice(("new", "paid", "shipped")),
        "lines": [_line(rng) for _ in range(lines)],
        "total": round(rng.uniform(1.0, 2000.0), 2),
        "note": None if rng.random() < 0.7 else "leave at the door",
    }


def document(rng: random.Random, size: int) -> str:
    """A document of about `size` bytes (at least 64), as json.dumps writes it."""
    if size <= 100:
        small = {
            "id": "evt_%08x" % rng.getrandbits(32),
            "type": rng.choice(("click", "view", "buy")),
            "price": round(rng.uniform(0.5, 99.0), 2),
            "n": rng.randint(1, 9),
        }
        return json.dumps(small)
    order = _order(rng, 1)
    while len(json.dumps(order).encode()) < size and len(order["lines"]) < 16:
        order["lines"].append(_line(rng))
    if len(json.dumps(order).encode()) >= size:
        return json.dumps(order)
    # Larger documents are batches of orders.
    batch = {"batch": "b_%06x" % rng.getrandbits(24), "orders": [order]}
    while len(json.dumps(batch).encode()) < size:
        batch["orders"].append(_order(rng, rng.randint(1, 12)))
    return json.dumps(batch)


def documents(size: int, count: int = 64, seed: int = 16) -> list[str]:
    rng = random.Random(seed * 100_003 + size)
    return [document(rng, size) for _ in range(count)]


def args_documents(count: int = 64, seed: int = 17) -> list[str]:
    """Keyword arguments of an agent call, about 200 bytes as json.dumps writes them."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        args = {
            "order_id": "ord_%012x" % rng.getrandbits(48),
            "lines": [_line(rng) for _ in range(2)],
            "coupon": rng.choice((None, "SPRING10", "WELCOME")),
            "requested_at": _stamp(rng),
        }
        out.append(json.dumps(args))
    return out
