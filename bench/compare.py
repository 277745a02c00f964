"""korvalinth against the pure-Python libraries a user would pick instead.

Runs the same work on korvalinth, reaktiv, signified and reactivex (each
skipped with a note when it is not installed) and on a plain Python loop
calling the same callbacks (the floor: what any runtime costs at least).
Every library must end with the same values as the floor; the script stops
when one does not. Prints a table and writes it as JSON under bench/results/.

    PYTHONPATH=python python bench/compare.py [--quick]

Memory is measured in a fresh interpreter per library (tracemalloc sees
Python allocations only, RSS sees everything, the C++ runtime included).
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

CHAIN = 100
FAN = 1000
BATCH_SETS = 10_000
BUILD_NODES = 100_000
CHECKPOINT_NODES = 100_000


def inc(x):
    return x + 1


def dbl(x):
    return x * 2


def add(x, y):
    return x + y


def total(*xs):
    return sum(xs)


class Recorder:
    """The effect of every scenario: keeps the last value it saw."""

    __slots__ = ("last", "calls")

    def __init__(self):
        self.last = None
        self.calls = 0

    def __call__(self, value):
        self.last = value
        self.calls += 1


def _keep_active(kind, payload):
    """Subscriber that only keeps a korvalinth effect active."""


# ---- scenarios: each builder returns (update(i), final()) ----


class Floor:
    name = "floor"

    @staticmethod
    def chain():
        fs, rec = [inc] * CHAIN, Recorder()

        def update(i):
            v = i
            for f in fs:
                v = f(v)
            rec(v)

        return update, lambda: rec.last

    @staticmethod
    def diamond():
        rec = Recorder()

        def update(i):
            rec(add(inc(i), dbl(i)))

        return update, lambda: rec.last

    @staticmethod
    def fanout():
        recs = [Recorder() for _ in range(FAN)]

        def update(i):
            for r in recs:
                r(i)

        return update, lambda: [r.last for r in recs]

    @staticmethod
    def fanin():
        values, rec = [0] * FAN, Recorder()

        def update(i):
            values[i % FAN] = i
            rec(total(*values))

        return update, lambda: rec.last

    @staticmethod
    def batch():
        rec = Recorder()
        box = [0]

        def update(i):
            for k in range(BATCH_SETS):
                box[0] = i * BATCH_SETS + k
            rec(inc(box[0]))

        return update, lambda: rec.last


class Korvalinth:
    name = "korvalinth"

    def __init__(self):
        from korvalinth import Graph

        self.Graph = Graph
        self.keep = []

    def _effect(self, graph, deps, rec):
        node = graph.effect(deps, rec)
        self.keep.append(node.subscribe(_keep_active))
        return node

    def chain(self):
        g = self.Graph(name="chain")
        head = node = g.state(0)
        for _ in range(CHAIN):
            node = g.derived([node], inc)
        rec = Recorder()
        self._effect(g, [node], rec)
        self.keep.append(g)
        return head.set, lambda: rec.last

    def diamond(self):
        g = self.Graph(name="diamond")
        a = g.state(0)
        d = g.derived([g.derived([a], inc), g.derived([a], dbl)], add)
        rec = Recorder()
        self._effect(g, [d], rec)
        self.keep.append(g)
        return a.set, lambda: rec.last

    def fanout(self):
        g = self.Graph(name="fanout")
        a = g.state(0)
        recs = [Recorder() for _ in range(FAN)]
        for r in recs:
            self._effect(g, [a], r)
        self.keep.append(g)
        return a.set, lambda: [r.last for r in recs]

    def fanin(self):
        g = self.Graph(name="fanin")
        states = [g.state(0) for _ in range(FAN)]
        rec = Recorder()
        self._effect(g, [g.derived(states, total)], rec)
        self.keep.append(g)
        setters = [s.set for s in states]

        def update(i):
            setters[i % FAN](i)

        return update, lambda: rec.last

    def batch(self):
        g = self.Graph(name="batch")
        a = g.state(0)
        rec = Recorder()
        self._effect(g, [g.derived([a], inc)], rec)
        self.keep.append(g)
        set_a = a.set

        def update(i):
            def sets():
                for k in range(BATCH_SETS):
                    set_a(i * BATCH_SETS + k)

            g.batch(sets)

        return update, lambda: rec.last


class Reaktiv:
    name = "reaktiv"

    def __init__(self):
        import reaktiv

        self.r = reaktiv
        self.keep = []

    def _effect(self, read, rec):
        self.keep.append(self.r.Effect(lambda: rec(read())))

    def chain(self):
        r = self.r
        head = node = r.Signal(0)
        for _ in range(CHAIN):
            node = r.Computed(lambda p=node: inc(p()))
        rec = Recorder()
        self._effect(node, rec)
        return head.set, lambda: rec.last

    def diamond(self):
        r = self.r
        a = r.Signal(0)
        b = r.Computed(lambda: inc(a()))
        c = r.Computed(lambda: dbl(a()))
        d = r.Computed(lambda: add(b(), c()))
        rec = Recorder()
        self._effect(d, rec)
        return a.set, lambda: rec.last

    def fanout(self):
        a = self.r.Signal(0)
        recs = [Recorder() for _ in range(FAN)]
        for rec in recs:
            self._effect(a, rec)
        return a.set, lambda: [r.last for r in recs]

    def fanin(self):
        r = self.r
        states = [r.Signal(0) for _ in range(FAN)]
        s = r.Computed(lambda: total(*[x() for x in states]))
        rec = Recorder()
        self._effect(s, rec)

        def update(i):
            states[i % FAN].set(i)

        return update, lambda: rec.last

    def batch(self):
        r = self.r
        a = r.Signal(0)
        rec = Recorder()
        self._effect(r.Computed(lambda: inc(a())), rec)

        def update(i):
            with r.batch():
                for k in range(BATCH_SETS):
                    a.set(i * BATCH_SETS + k)

        return update, lambda: rec.last


class Signified:
    name = "signified"

    def __init__(self):
        import signified

        self.s = signified
        self.keep = []

    def _effect(self, node, rec):
        self.keep.append(self.s.Effect(lambda: rec(node.value)))

    def chain(self):
        s = self.s
        head = node = s.Signal(0)
        for _ in range(CHAIN):
            node = s.Computed(lambda p=node: inc(p.value))
        rec = Recorder()
        self._effect(node, rec)

        def update(i):
            head.value = i

        return update, lambda: rec.last

    def diamond(self):
        s = self.s
        a = s.Signal(0)
        b = s.Computed(lambda: inc(a.value))
        c = s.Computed(lambda: dbl(a.value))
        d = s.Computed(lambda: add(b.value, c.value))
        rec = Recorder()
        self._effect(d, rec)

        def update(i):
            a.value = i

        return update, lambda: rec.last

    def fanout(self):
        a = self.s.Signal(0)
        recs = [Recorder() for _ in range(FAN)]
        for rec in recs:
            self._effect(a, rec)

        def update(i):
            a.value = i

        return update, lambda: [r.last for r in recs]

    def fanin(self):
        s = self.s
        states = [s.Signal(0) for _ in range(FAN)]
        node = s.Computed(lambda: total(*[x.value for x in states]))
        rec = Recorder()
        self._effect(node, rec)

        def update(i):
            states[i % FAN].value = i

        return update, lambda: rec.last

    def batch(self):
        s = self.s
        a = s.Signal(0)
        rec = Recorder()
        self._effect(s.Computed(lambda: inc(a.value)), rec)

        def update(i):
            with s.batch():
                for k in range(BATCH_SETS):
                    a.value = i * BATCH_SETS + k

        return update, lambda: rec.last


class ReactiveX:
    """Streams, not state: no batching, and the diamond emits twice per
    update (once with a stale side); the final values still agree."""

    name = "reactivex"

    def __init__(self):
        import reactivex
        from reactivex import operators

        self.rx, self.ops = reactivex, operators
        self.keep = []

    def chain(self):
        head = self.rx.subject.BehaviorSubject(0)
        node = head
        for _ in range(CHAIN):
            node = node.pipe(self.ops.map(inc))
        rec = Recorder()
        self.keep.append(node.subscribe(rec))
        return head.on_next, lambda: rec.last

    def diamond(self):
        a = self.rx.subject.BehaviorSubject(0)
        b, c = a.pipe(self.ops.map(inc)), a.pipe(self.ops.map(dbl))
        d = self.rx.combine_latest(b, c).pipe(self.ops.map(lambda t: add(*t)))
        rec = Recorder()
        self.keep.append(d.subscribe(rec))
        return a.on_next, lambda: rec.last

    def fanout(self):
        a = self.rx.subject.BehaviorSubject(0)
        recs = [Recorder() for _ in range(FAN)]
        for rec in recs:
            self.keep.append(a.subscribe(rec))
        return a.on_next, lambda: [r.last for r in recs]

    def fanin(self):
        states = [self.rx.subject.BehaviorSubject(0) for _ in range(FAN)]
        node = self.rx.combine_latest(*states).pipe(self.ops.map(lambda t: total(*t)))
        rec = Recorder()
        self.keep.append(node.subscribe(rec))

        def update(i):
            states[i % FAN].on_next(i)

        return update, lambda: rec.last

    def batch(self):
        a = self.rx.subject.BehaviorSubject(0)
        rec = Recorder()
        self.keep.append(a.pipe(self.ops.map(inc)).subscribe(rec))

        def update(i):
            for k in range(BATCH_SETS):
                a.on_next(i * BATCH_SETS + k)

        return update, lambda: rec.last


LIBRARIES = {"korvalinth": Korvalinth, "reaktiv": Reaktiv, "signified": Signified, "reactivex": ReactiveX}
SCENARIOS = {
    "chain": ("a chain of %d computed nodes, one update" % CHAIN, 1),
    "diamond": ("a diamond, one update", 1),
    "fanout": ("1 state to %d effects, one update" % FAN, 1),
    "fanin": ("%d states into 1 node, one update" % FAN, 1),
    "batch": ("%d sets inside one batch" % BATCH_SETS, BATCH_SETS),
}


def available():
    libs = {}
    for name, cls in LIBRARIES.items():
        try:
            libs[name] = cls()
        except ImportError as e:
            print(f"skipping {name}: {e}", file=sys.stderr)
    return libs


def time_updates(update, updates, repeats, start):
    """Best time of one update over `repeats` runs of `updates` updates."""
    best = float("inf")
    i = start
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(updates):
            i += 1
            update(i)
        best = min(best, (time.perf_counter() - t0) / updates)
    return best, i


def run_propagation(libs, quick):
    rows = {}
    for scenario, (label, _) in SCENARIOS.items():
        updates = 20 if scenario == "batch" else (300 if quick else 2000)
        if scenario in ("fanout", "fanin") and not quick:
            updates = 500
        repeats = 3 if quick else 5
        row = {}
        expected = None
        for name, impl in [("floor", Floor)] + list(libs.items()):
            update, final = getattr(impl, scenario)()
            update(1)  # warm up (first runs, lazy subscriptions)
            seconds, last = time_updates(update, updates, repeats, 1)
            value = final()
            if expected is None:
                expected = value
            elif value != expected:
                raise SystemExit(f"{name} computed {value!r} for {scenario}, the floor {expected!r}")
            row[name] = seconds
        rows[scenario] = row
        print(f"  {label}: done", file=sys.stderr)
    return rows


# ---- building, memory, checkpoint ----

MEMORY_CHILD = r"""
import gc, json, os, sys, time, tracemalloc
sys.path.insert(0, {here!r})
import compare
lib, n = sys.argv[1], int(sys.argv[2])
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
build = getattr(compare, "build_" + lib)
build(10)  # imports and first-use caches outside the measurement
gc.collect()
before = rss()
tracemalloc.start()
t0 = time.perf_counter()
kept = build(n)
seconds = time.perf_counter() - t0
traced = tracemalloc.get_traced_memory()[0]
tracemalloc.stop()
gc.collect()
after = rss()
print(json.dumps({{"seconds": seconds, "traced": traced, "rss": after - before}}))
"""


def build_korvalinth(n):
    from korvalinth import Graph

    g = Graph(name="build")
    node = g.state(0)
    nodes = [node]
    for _ in range(n - 1):
        node = g.derived([node], inc)
        nodes.append(node)
    return g, nodes


def build_reaktiv(n):
    import reaktiv as r

    node = r.Signal(0)
    nodes = [node]
    for _ in range(n - 1):
        node = r.Computed(lambda p=node: inc(p()))
        nodes.append(node)
    return nodes


def build_signified(n):
    import signified as s

    node = s.Signal(0)
    nodes = [node]
    for _ in range(n - 1):
        node = s.Computed(lambda p=node: inc(p.value))
        nodes.append(node)
    return nodes


def build_reactivex(n):
    import reactivex
    from reactivex import operators as ops

    node = reactivex.subject.BehaviorSubject(0)
    nodes = [node]
    for _ in range(n - 1):
        node = node.pipe(ops.map(inc))
        nodes.append(node)
    return nodes


def run_build(libs, n):
    rows = {}
    for name in libs:
        code = MEMORY_CHILD.format(here=HERE)
        out = subprocess.run([sys.executable, "-c", code, name, str(n)], capture_output=True, text=True,
                             env=dict(os.environ), check=True)
        r = json.loads(out.stdout.strip().splitlines()[-1])
        rows[name] = {
            "seconds_per_node": r["seconds"] / n,
            "tracemalloc_bytes_per_node": r["traced"] / n,
            "rss_bytes_per_node": r["rss"] / n,
        }
    return rows


def run_checkpoint(n):
    from korvalinth import Graph, restore_graph, restore_registry

    g = Graph(name="checkpoint")
    for i in range(n):
        g.state({"i": i, "tag": "n%d" % i}, name="n%d" % i)
    registry = restore_registry([])

    def best(fn, repeats=3):
        out = float("inf")
        for _ in range(repeats):
            gc.collect()
            t0 = time.perf_counter()
            fn()
            out = min(out, time.perf_counter() - t0)
        return out

    cp = g.checkpoint()
    text = json.dumps(cp)
    restored = restore_graph(cp, registry)
    def by_id(checkpoint):
        return sorted(checkpoint["nodes"], key=lambda node: node["id"])

    # restore_graph registers the nodes in its own order.
    if by_id(restored.checkpoint()) != by_id(cp) or json.loads(text) != cp:
        raise SystemExit("checkpoint round trip changed the graph")
    return {
        "checkpoint": best(g.checkpoint),
        "json.dumps": best(lambda: json.dumps(cp)),
        "restore_graph": best(lambda: restore_graph(cp, registry)),
        "json.loads": best(lambda: json.loads(text)),
    }


# ---- report ----


def fmt_time(seconds):
    if seconds < 1e-6:
        return "%.0f ns" % (seconds * 1e9)
    if seconds < 1e-3:
        return "%.2f us" % (seconds * 1e6)
    return "%.2f ms" % (seconds * 1e3)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer updates and 10x smaller graphs")
    parser.add_argument("--out", default=os.path.join(RESULTS, "compare.json"))
    args = parser.parse_args()

    libs = available()
    print("propagation", file=sys.stderr)
    propagation = run_propagation(libs, args.quick)
    build_n = BUILD_NODES // (10 if args.quick else 1)
    print("building %d nodes" % build_n, file=sys.stderr)
    build = run_build(libs, build_n)
    cp_n = CHECKPOINT_NODES // (10 if args.quick else 1)
    print("checkpoint of %d nodes" % cp_n, file=sys.stderr)
    checkpoint = run_checkpoint(cp_n)

    names = [n for n in libs if n != "korvalinth"]
    print()
    print("Per update (batch: per batch); ratio = peer time / korvalinth time")
    header = ["scenario", "floor", "korvalinth", "x floor"] + [f"{n} (ratio)" for n in names]
    print(" | ".join(header))
    for scenario, row in propagation.items():
        k = row.get("korvalinth")
        cells = [scenario, fmt_time(row["floor"])]
        if k is not None:
            cells += [fmt_time(k), "%.2f" % (k / row["floor"])]
        cells += ["%s (%.1fx)" % (fmt_time(row[n]), row[n] / k) if k else fmt_time(row[n]) for n in names]
        print(" | ".join(cells))
    print()
    print("Building %d nodes (a state and a chain of computed nodes)" % build_n)
    print("library | per node | tracemalloc bytes/node | RSS bytes/node")
    for name, r in build.items():
        print("%s | %s | %.0f | %.0f" % (name, fmt_time(r["seconds_per_node"]), r["tracemalloc_bytes_per_node"],
                                          r["rss_bytes_per_node"]))
    print()
    print("Checkpoint of %d state nodes" % cp_n)
    print("checkpoint %s vs json.dumps %s (%.1fx); restore_graph %s vs json.loads %s (%.1fx)" % (
        fmt_time(checkpoint["checkpoint"]), fmt_time(checkpoint["json.dumps"]),
        checkpoint["checkpoint"] / checkpoint["json.dumps"], fmt_time(checkpoint["restore_graph"]),
        fmt_time(checkpoint["json.loads"]), checkpoint["restore_graph"] / checkpoint["json.loads"]))

    result = {
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "load_average": os.getloadavg(),
        "versions": {n: getattr(importlib.import_module(n), "__version__", None) for n in libs},
        "quick": args.quick,
        "propagation_seconds": propagation,
        "build": {"nodes": build_n, **build},
        "checkpoint_seconds": {"nodes": cp_n, **checkpoint},
    }
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=2, sort_keys=True)
    print("\nwritten to", os.path.relpath(args.out))


if __name__ == "__main__":
    main()
