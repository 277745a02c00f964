"""korvalinth against the pure-Python libraries a user would pick instead.

Runs the same work on korvalinth, reaktiv, signified and reactivex (each
skipped with a note when it is not installed) and on a plain Python loop
calling the same callbacks (the floor: what any runtime costs at least).
Every library must end with the same values as the floor; the script fails
when one does not. Prints the times, the ratios and the performance targets
(PASS/MISS), and writes everything as JSON under bench/results/.

    PYTHONPATH=python python bench/compare.py [--quick] [--strict]

How it measures:
- Every case runs twice, each time in a fresh child process: once plain
  (single-threaded) and once after starting and joining a thread. glibc marks
  a process multi-threaded for good once it has started a thread, and from
  then on every shared_ptr copy in the native core is an atomic operation.
- Time: the implementations of a case are built side by side and timed in
  round-robin samples (the starting one rotates each round); a figure is the
  median of its samples, so ratios come from one run under the same load.
  The garbage collector is off inside a sample (as timeit does) and runs
  between samples. Nothing traces allocations while timing.
- Memory: resident set size added by building a chain, in a fresh child
  process per library and mode (RSS sees the C++ runtime's memory too).
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

CHAIN = 100
FAN = 1000
BATCH_SOURCES = 100
BUILD_TIMED = 10_000
BUILD_MEMORY = 100_000
CHECKPOINT_NODES = 100_000
MODES = ("single", "threaded")


def inc(x):
    return x + 1


def dbl(x):
    return x * 2


def add(x, y):
    return x + y


def total(*xs):
    return sum(xs)


class Recorder:
    """The effect of every case: keeps the last value it saw."""

    __slots__ = ("last", "calls")

    def __init__(self):
        self.last = None
        self.calls = 0

    def __call__(self, value):
        self.last = value
        self.calls += 1


def _keep_active(kind, payload):
    """Subscriber that only keeps a korvalinth effect active."""


def _never_runs(*values):
    """The function of a node over effects: effects emit no values."""


# ---- cases: each builder returns (update(i), final()) ----


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

    fanout_one_keepalive = fanout

    @staticmethod
    def fanin():
        values, rec = [0] * FAN, Recorder()

        def update(i):
            values[i % FAN] = i
            rec(total(*values))

        return update, lambda: rec.last

    @staticmethod
    def batch():
        values, rec = [0] * BATCH_SOURCES, Recorder()

        def update(i):
            for k in range(BATCH_SOURCES):
                values[k] = i + k
            rec(total(*values))

        return update, lambda: rec.last


class Korvalinth:
    name = "korvalinth"

    def __init__(self):
        from korvalinth import Graph

        self.Graph = Graph
        self.keep = []

    def _effect(self, graph, deps, rec):
        # An effect runs only while something subscribes to it.
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

    def fanout_one_keepalive(self):
        # One subscription keeps every effect active: subscribing to a node
        # over the effects activates them, and that node never runs.
        g = self.Graph(name="fanout-one")
        a = g.state(0)
        recs = [Recorder() for _ in range(FAN)]
        effects = [g.effect([a], r) for r in recs]
        self.keep.append(g.effect(effects, _never_runs).subscribe(_keep_active))
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
        states = [g.state(0) for _ in range(BATCH_SOURCES)]
        rec = Recorder()
        self._effect(g, [g.derived(states, total)], rec)
        self.keep.append(g)
        setters = [s.set for s in states]

        def update(i):
            def sets():
                for k, set_k in enumerate(setters):
                    set_k(i + k)

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

    fanout_one_keepalive = fanout

    def _sum(self, n):
        states = [self.r.Signal(0) for _ in range(n)]
        node = self.r.Computed(lambda: total(*[x() for x in states]))
        rec = Recorder()
        self._effect(node, rec)
        return states, rec

    def fanin(self):
        states, rec = self._sum(FAN)

        def update(i):
            states[i % FAN].set(i)

        return update, lambda: rec.last

    def batch(self):
        states, rec = self._sum(BATCH_SOURCES)
        batch = self.r.batch

        def update(i):
            with batch():
                for k, s in enumerate(states):
                    s.set(i + k)

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

    fanout_one_keepalive = fanout

    def _sum(self, n):
        states = [self.s.Signal(0) for _ in range(n)]
        node = self.s.Computed(lambda: total(*[x.value for x in states]))
        rec = Recorder()
        self._effect(node, rec)
        return states, rec

    def fanin(self):
        states, rec = self._sum(FAN)

        def update(i):
            states[i % FAN].value = i

        return update, lambda: rec.last

    def batch(self):
        states, rec = self._sum(BATCH_SOURCES)
        batch = self.s.batch

        def update(i):
            with batch():
                for k, s in enumerate(states):
                    s.value = i + k

        return update, lambda: rec.last


class ReactiveX:
    """Streams, not state: no batching (a batch's sum is recomputed after
    every set), and the diamond emits twice per update (once with a stale
    side); the final values still agree."""

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

    fanout_one_keepalive = fanout

    def _sum(self, n):
        states = [self.rx.subject.BehaviorSubject(0) for _ in range(n)]
        node = self.rx.combine_latest(*states).pipe(self.ops.map(lambda t: total(*t)))
        rec = Recorder()
        self.keep.append(node.subscribe(rec))
        return states, rec

    def fanin(self):
        states, rec = self._sum(FAN)

        def update(i):
            states[i % FAN].on_next(i)

        return update, lambda: rec.last

    def batch(self):
        states, rec = self._sum(BATCH_SOURCES)

        def update(i):
            for k, s in enumerate(states):
                s.on_next(i + k)

        return update, lambda: rec.last


LIBRARIES = {"korvalinth": Korvalinth, "reaktiv": Reaktiv, "signified": Signified, "reactivex": ReactiveX}
PEERS = [n for n in LIBRARIES if n != "korvalinth"]
CASES = {
    "chain": "chain of %d derived nodes" % CHAIN,
    "fanout": "1 source -> %d effects" % FAN,
    "fanout_one_keepalive": "1 source -> %d effects, one keep-alive" % FAN,
    "diamond": "diamond a->(b,c)->d",
    "fanin": "%d sources -> one sum" % FAN,
    "batch": "%d sets in one batch -> one sum" % BATCH_SOURCES,
}
# The updates that make every implementation's final value comparable: the
# fan-in's sum depends on the last FAN updates.
CHECK_UPDATES = {"fanin": FAN + 1}


# ---- building ----


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


BUILDERS = {"korvalinth": build_korvalinth, "reaktiv": build_reaktiv, "signified": build_signified,
            "reactivex": build_reactivex}


# ---- one measuring process ----


def start_a_thread():
    thread = threading.Thread(target=lambda: None)
    thread.start()
    thread.join()


def libc_single_threaded():
    """glibc's own flag (None where it has none): true until a thread starts."""
    try:
        import ctypes

        return bool(ctypes.c_ubyte.in_dll(ctypes.CDLL(None), "__libc_single_threaded").value)
    except (ImportError, OSError, ValueError):
        return None


def available():
    libs = {}
    for name, cls in LIBRARIES.items():
        try:
            libs[name] = cls()
        except ImportError as e:
            print(f"skipping {name}: {e}", file=sys.stderr)
    return libs


def timed(fn, *args):
    """Seconds fn(*args) takes with the collector off, and its result."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn(*args)
        return time.perf_counter() - t0, result
    finally:
        gc.enable()


def run_updates(update, start, count):
    for i in range(start, start + count):
        update(i)


def updates_per_sample(update, sample_seconds, start):
    """How many updates fill one sample (after warming the implementation up)."""
    single = min(timed(run_updates, update, start + k, 1)[0] for k in range(3))
    return max(1, min(100_000, round(sample_seconds / max(single, 1e-9))))


def round_robin(names, rounds):
    """Each round visits every name once; the first one rotates."""
    for r in range(rounds):
        k = r % len(names)
        yield r, names[k:] + names[:k]


def measure_case(case, impls, rounds, sample_seconds):
    """Median seconds per update of every implementation, interleaved."""
    subjects = {name: getattr(impl, case)() for name, impl in impls.items()}
    counts = {name: updates_per_sample(update, sample_seconds, 1) for name, (update, _) in subjects.items()}
    samples = {name: [] for name in subjects}
    start = 10
    for _, order in round_robin(list(subjects), rounds):
        for name in order:
            seconds, _ = timed(run_updates, subjects[name][0], start, counts[name])
            samples[name].append(seconds / counts[name])
        start += max(counts.values())
    # The same closing updates everywhere, then every final value must be the floor's.
    base = 10**9
    finals = {}
    for name, (update, final) in subjects.items():
        run_updates(update, base, CHECK_UPDATES.get(case, 3))
        finals[name] = final()
    for name, value in finals.items():
        if value != finals["floor"]:
            raise SystemExit(f"{name} computed {value!r} for {case}, the floor {finals['floor']!r}")
    return {name: statistics.median(s) for name, s in samples.items()}, samples


def measure_build(names, n, rounds):
    samples = {name: [] for name in names}
    for name in names:
        BUILDERS[name](10)  # imports and first-use caches outside the samples
    for _, order in round_robin(list(names), rounds):
        for name in order:
            seconds, kept = timed(BUILDERS[name], n)
            del kept
            samples[name].append(seconds / n)
    return {name: statistics.median(s) for name, s in samples.items()}, samples


def run_checkpoint(n):
    from korvalinth import Graph, restore_graph, restore_registry

    g = Graph(name="checkpoint")
    for i in range(n):
        g.state({"i": i, "tag": "n%d" % i}, name="n%d" % i)
    registry = restore_registry([])

    def best(fn, repeats=3):
        return min(timed(fn)[0] for _ in range(repeats))

    cp = g.checkpoint()
    text = json.dumps(cp)
    restored = restore_graph(cp, registry)

    def by_id(checkpoint):
        return sorted(checkpoint["nodes"], key=lambda node: node["id"])

    # restore_graph registers the nodes in its own order.
    if by_id(restored.checkpoint()) != by_id(cp) or json.loads(text) != cp:
        raise SystemExit("checkpoint round trip changed the graph")
    return {
        "nodes": n,
        "checkpoint": best(g.checkpoint),
        "json.dumps": best(lambda: json.dumps(cp)),
        "restore_graph": best(lambda: restore_graph(cp, registry)),
        "json.loads": best(lambda: json.loads(text)),
    }


def worker(mode, quick):
    """Everything timed, in this process, in the given mode; JSON to stdout."""
    if mode == "threaded":
        start_a_thread()
    libs = available()
    impls = {"floor": Floor, **libs}
    rounds, sample = (3, 0.003) if quick else (15, 0.02)
    propagation, samples = {}, {}
    for case, label in CASES.items():
        propagation[case], samples[case] = measure_case(case, impls, rounds, sample)
        print(f"  [{mode}] {label}: done", file=sys.stderr)
    build_n = BUILD_TIMED // (10 if quick else 1)
    build, build_samples = measure_build(list(libs), build_n, 3 if quick else 7)
    print(f"  [{mode}] building {build_n} nodes: done", file=sys.stderr)
    checkpoint = run_checkpoint(CHECKPOINT_NODES // (10 if quick else 1))
    print(f"  [{mode}] checkpoint: done", file=sys.stderr)
    print(json.dumps({
        "libc_single_threaded": libc_single_threaded(),
        "propagation_seconds": propagation,
        "propagation_samples": samples,
        "build_nodes": build_n,
        "build_seconds_per_node": build,
        "build_samples": build_samples,
        "checkpoint_seconds": checkpoint,
    }))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(mode, lib, n):
    """RSS a chain of n nodes adds, in this fresh process; JSON to stdout."""
    if mode == "threaded":
        start_a_thread()
    build = BUILDERS[lib]
    build(10)  # imports and first-use caches outside the measurement
    gc.collect()
    before = rss_bytes()
    kept = build(n)
    gc.collect()
    after = rss_bytes()
    del kept
    print(json.dumps({"rss_bytes_per_node": (after - before) / n, "libc_single_threaded": libc_single_threaded()}))


# ---- the measuring run: children, targets, report ----


def installed_version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return None


def child(*args):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), *args], stdout=subprocess.PIPE, text=True,
                         env=dict(os.environ))
    if out.returncode != 0:
        raise SystemExit(f"measuring child {' '.join(args)} failed (exit {out.returncode})")
    return json.loads(out.stdout.strip().splitlines()[-1])


def propagation_checks(case, row):
    """The performance targets of one case: (target, limit in seconds) pairs."""
    floor = row["floor"]
    peers = {n: row[n] for n in PEERS if n in row}
    checks = []
    if peers:
        best = min(peers, key=peers.get)
        if peers[best] / 2 >= floor:
            checks.append(("<= 0.5x %s" % best, peers[best] / 2))
        else:  # half the peer would be faster than the callbacks alone
            checks.append(("<= 1.25x floor", 1.25 * floor))
    if case == "chain":
        checks.append(("<= 3x floor", 3 * floor))
    return checks


def verdict(value, limit):
    return "PASS" if value <= limit else "MISS"


def evaluate(modes, memory):
    targets = []
    for mode, m in modes.items():
        for case, row in m["propagation_seconds"].items():
            k = row.get("korvalinth")
            if k is None:
                continue
            for text, limit in propagation_checks(case, row):
                targets.append({"case": CASES[case], "mode": mode, "target": text, "unit": "s", "relative": True,
                                "value": k, "limit": limit, "verdict": verdict(k, limit)})
        k = m["build_seconds_per_node"].get("korvalinth")
        if k is not None:
            targets.append({"case": "build, per node", "mode": mode, "target": "<= 0.6 us", "unit": "s",
                            "value": k, "limit": 0.6e-6, "verdict": verdict(k, 0.6e-6)})
        k = memory[mode].get("korvalinth")
        if k is not None:
            targets.append({"case": "memory per built node (RSS)", "mode": mode, "target": "<= 600 B", "unit": "B",
                            "value": k, "limit": 600, "verdict": verdict(k, 600)})
    return targets


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds < 1e-6:
        return "%.0f ns" % (seconds * 1e9)
    if seconds < 1e-3:
        return "%.2f us" % (seconds * 1e6)
    return "%.2f ms" % (seconds * 1e3)


def fmt_ratio(a, b):
    return "%.2f" % (a / b) if a is not None and b else "-"


def print_table(rows):
    widths = [max(len(str(r[c])) for r in rows) for c in range(len(rows[0]))]
    for r in rows:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(r, widths)).rstrip())


def fastest_peer(row):
    peers = {n: row[n] for n in PEERS if row.get(n) is not None}
    if not peers:
        return None, None
    best = min(peers, key=peers.get)
    return best, peers[best]


def report(modes, memory, targets):
    names = ["korvalinth"] + PEERS
    verdicts = {(t["case"], t["mode"]): [] for t in targets}
    for t in targets:
        verdicts[(t["case"], t["mode"])].append("%s %s" % (t["target"], t["verdict"]))

    print("\nPropagation: median time per update (batch: per batch); k = korvalinth")
    rows = [["case", "mode", "floor", *names, "k/peer", "k/floor", "targets"]]
    for case, label in CASES.items():
        for mode, m in modes.items():
            row = m["propagation_seconds"][case]
            _, best = fastest_peer(row)
            k = row.get("korvalinth")
            rows.append([label, mode, fmt_time(row["floor"]), *[fmt_time(row.get(n)) for n in names],
                         fmt_ratio(k, best), fmt_ratio(k, row["floor"]), "; ".join(verdicts.get((label, mode), []))])
    print_table(rows)

    print("\nBuilding a chain: time per node (%d nodes), RSS per node (%d nodes, fresh process)"
          % (next(iter(modes.values()))["build_nodes"], memory["nodes"]))
    rows = [["figure", "mode", *names, "k/peer", "targets"]]
    for mode, m in modes.items():
        row = m["build_seconds_per_node"]
        _, best = fastest_peer(row)
        rows.append(["time", mode, *[fmt_time(row.get(n)) for n in names], fmt_ratio(row.get("korvalinth"), best),
                     "; ".join(verdicts.get(("build, per node", mode), []))])
    for mode in modes:
        row = memory[mode]
        _, best = fastest_peer(row)
        rows.append(["RSS", mode, *["%.0f B" % row[n] if n in row else "-" for n in names],
                     fmt_ratio(row.get("korvalinth"), best),
                     "; ".join(verdicts.get(("memory per built node (RSS)", mode), []))])
    print_table(rows)

    print("\nCheckpoint of state nodes")
    for mode, m in modes.items():
        c = m["checkpoint_seconds"]
        print("  %s, %d nodes: checkpoint %s vs json.dumps %s (%.1fx); restore_graph %s vs json.loads %s (%.1fx)" % (
            mode, c["nodes"], fmt_time(c["checkpoint"]), fmt_time(c["json.dumps"]), c["checkpoint"] / c["json.dumps"],
            fmt_time(c["restore_graph"]), fmt_time(c["json.loads"]), c["restore_graph"] / c["json.loads"]))

    flags = {mode: m["libc_single_threaded"] for mode, m in modes.items()}
    if flags.get("single") is False or flags.get("threaded") is True:
        print("\nwarning: glibc's single-threaded flag was not as the mode says:", flags)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a smoke run: few samples, 10x smaller graphs")
    parser.add_argument("--strict", action="store_true", help="exit non-zero when a target is missed")
    parser.add_argument("--out", default=os.path.join(RESULTS, "compare.json"))
    parser.add_argument("--worker", choices=MODES, help=argparse.SUPPRESS)
    parser.add_argument("--memory", nargs=3, metavar=("MODE", "LIBRARY", "NODES"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker, args.quick)
    if args.memory:
        return memory_child(args.memory[0], args.memory[1], int(args.memory[2]))

    quick = ["--quick"] if args.quick else []
    modes = {}
    for mode in MODES:
        print(f"timing, {mode}", file=sys.stderr)
        modes[mode] = child("--worker", mode, *quick)
    libs = [n for n in LIBRARIES if n in modes["single"]["build_seconds_per_node"]]
    n = BUILD_MEMORY // (10 if args.quick else 1)
    memory = {"nodes": n}
    for mode in MODES:
        print(f"memory, {mode}", file=sys.stderr)
        memory[mode] = {lib: child("--memory", mode, lib, str(n))["rss_bytes_per_node"] for lib in libs}
    targets = evaluate(modes, memory)
    report(modes, memory, targets)

    result = {
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "load_average": os.getloadavg(),
        "versions": {lib: installed_version(lib) for lib in libs},
        "quick": args.quick,
        "modes": modes,
        "memory_rss_bytes_per_node": memory,
        "targets": targets,
    }
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=2, sort_keys=True)
    print("\nwritten to", os.path.relpath(args.out))
    missed = [t for t in targets if t["verdict"] == "MISS"]
    print("%d of %d targets met" % (len(targets) - len(missed), len(targets)))
    if args.strict and missed:
        sys.exit(1)


if __name__ == "__main__":
    main()
