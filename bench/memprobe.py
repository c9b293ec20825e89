"""Resident memory per stored small key, measured in a fresh interpreter.

    python3 bench/memprobe.py {vrell,dict,py-json} N

Prints one JSON object. The keys and values are built one at a time inside the
insert loop, so after it only what the container keeps stays alive: for the
module, its own copies; for the dict, the key and value str objects.
"""

import gc
import json
import os
import sys


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> None:
    target, n = sys.argv[1], int(sys.argv[2])
    if target == "vrell":
        from vrell_mesh import VrellMesh

        store = VrellMesh("bench").state_set
    elif target == "dict":
        store = {}.__setitem__
    elif target == "py-json":
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import peers

        store = peers.PyMesh("bench", peers.json_codec()).state_set
    else:
        raise SystemExit(f"unknown target {target!r}")
    # Values like the small-value workload's, each a distinct text as it would
    # be when it arrives from outside the process.
    store("warm-up", '{"n":0,"s":"abc"}')
    gc.collect()
    gc.disable()
    before = rss_bytes()
    for i in range(n):
        store(f"user:{i:07d}", f'{{"n":{i},"s":"abc"}}')
    gc.collect()
    after = rss_bytes()
    print(
        json.dumps(
            {
                "target": target,
                "keys": n,
                "rss_delta": after - before,
                "bytes_per_key": (after - before) / n,
            }
        )
    )


if __name__ == "__main__":
    main()
