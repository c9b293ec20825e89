"""Two builds of the module side by side: the ratio of their times, per workload.

    python3 bench/ab.py BASE_BUILD_DIR NEW_BUILD_DIR [--rounds N]

Both extension modules are loaded into one process under their own module
objects, and every round times each workload once on each build, alternating
which goes first; a ratio is the median of the per-round ratios new / base
(below 1: the new build is faster). For checking that a change leaves a figure
where it was, or moves it, without trusting absolute times on a drifting machine.
"""

from __future__ import annotations

import argparse
import gc
import importlib.machinery
import importlib.util
import json
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
DATA = HERE.parent.parent / "shared" / "data" / "bench"


def load(build_dir: Path):
    paths = sorted(build_dir.glob("vrell_mesh*.so")) + sorted(build_dir.glob("vrell_mesh*.pyd"))
    if not paths:
        sys.exit(f"no vrell_mesh extension in {build_dir}")
    loader = importlib.machinery.ExtensionFileLoader("vrell_mesh", str(paths[0]))
    found = importlib.util.spec_from_file_location("vrell_mesh", paths[0], loader=loader)
    module = loader.create_module(found)
    loader.exec_module(module)
    return module


def workloads(mod):
    """name -> (setup() -> state, run(state) -> None, units per run)"""
    small = '{"n":1,"s":"abc"}'
    keys = [f"key-{i}" for i in range(1000)]
    ids = [f"agent-{i}" for i in range(1000)]

    def agents():
        m = mod.VrellMesh("bench")
        for i in ids:
            m.register_agent("Worker", i)
        return m

    def state_set_small(m):
        f = m.state_set
        for k in keys:
            f(k, small)

    def state_get_small(m):
        f = m.state_get
        for k in keys:
            f(k)

    def get_agent(m):
        f = m.get_agent
        for i in ids:
            f(i)

    def route(m):
        f = m.route_agent_call
        for i in ids:
            f("Worker", i, "run")

    def publish(m):
        f = m.publish
        for k in keys:
            f("topic", small)

    counter = [0]

    def migration_cycle(m):
        for _ in range(100):
            counter[0] += 1
            name = f"v{counter[0]}"
            m.start_migration(name, "a", "b")
            for _ in range(5):
                m.advance_migration(name)

    def filled():
        m = mod.VrellMesh("bench")
        for k in keys:
            m.state_set(k, small)
        return m

    out = {
        "state_set small": (filled, state_set_small, 1000),
        "state_get small": (filled, state_get_small, 1000),
        "get_agent": (agents, get_agent, 1000),
        "route_agent_call": (agents, route, 1000),
        "publish": (lambda: mod.VrellMesh("bench"), publish, 1000),
        "migration cycle": (lambda: mod.VrellMesh("bench"), migration_cycle, 100),
    }
    import appdocs

    for size in appdocs.SIZES:
        pairs = [(f"doc{i}", d) for i, d in enumerate(appdocs.documents(size))]

        def store(m, pairs=pairs):
            f = m.state_set
            for k, x in pairs:
                f(k, x)

        out[f"state_set app {size} B"] = (lambda: mod.VrellMesh("bench"), store, len(pairs))

        def stored(pairs=pairs):
            # The module's own text of each document, stored again: values
            # read from one place and written to another.
            m = mod.VrellMesh("bench")
            store(m, pairs)
            return m, [(k, m.state_get(k)) for k, _ in pairs]

        def store_again(state):
            m, again = state
            f = m.state_set
            for k, x in again:
                f(k, x)

        out[f"state_set app {size} B canonical"] = (stored, store_again, len(pairs))
    routes = list(zip(ids, appdocs.args_documents(len(ids))))

    def route_args(m):
        f = m.route_agent_call
        for i, x in routes:
            f("Worker", i, "run", x)

    out["route_agent_call 200 B args"] = (agents, route_args, len(routes))
    for name in ("canada", "citm_catalog", "twitter"):
        path = DATA / f"{name}.json"
        if not path.exists():
            continue
        text = path.read_text(encoding="utf-8")
        # Not already canonical: the reader does the whole work.
        spaced = json.dumps(json.loads(text), indent=1)

        def parse(m, text=spaced):
            m.state_set("doc", text)

        out[f"state_set {name}"] = (lambda: mod.VrellMesh("bench"), parse, 1)

        def stored_doc(text=spaced):
            m = mod.VrellMesh("bench")
            m.state_set("doc", text)
            return m, m.state_get("doc")

        def store_doc_again(state):
            m, canonical = state
            m.state_set("doc", canonical)

        out[f"state_set {name} canonical"] = (stored_doc, store_doc_again, 1)
    return out


def time_once(run, state, units: int) -> float:
    t0 = time.process_time()
    n = 0
    while True:
        run(state)
        n += 1
        elapsed = time.process_time() - t0
        if elapsed > 0.02:
            return elapsed / (n * units)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("base", type=Path)
    ap.add_argument("new", type=Path)
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args(argv)
    base, new = load(args.base), load(args.new)
    wa, wb = workloads(base), workloads(new)
    print(f"{'workload':32} {'base':>10} {'new':>10} {'new/base':>9}  (median of {args.rounds} rounds)")
    gc.disable()
    for name in wa:
        (setup_a, run_a, units), (setup_b, run_b, _) = wa[name], wb[name]
        sa, sb = setup_a(), setup_b()
        run_a(sa), run_b(sb)  # warm
        ta, tb, ratios = [], [], []
        for r in range(args.rounds):
            if r % 2 == 0:
                a = time_once(run_a, sa, units)
                b = time_once(run_b, sb, units)
            else:
                b = time_once(run_b, sb, units)
                a = time_once(run_a, sa, units)
            ta.append(a)
            tb.append(b)
            ratios.append(b / a)
        ma, mb = statistics.median(ta) * 1e9, statistics.median(tb) * 1e9
        print(f"{name:32} {ma:9.0f}n {mb:9.0f}n {statistics.median(ratios):9.3f}")
    gc.enable()
    return 0


if __name__ == "__main__":
    sys.exit(main())
