"""A compact summary of the last `make bench`: every performance target with
its figure in the single-threaded and the threaded run, PASS or MISS.

Reads bench/results/core.json, core-threaded.json (Google Benchmark) and
compare.json (bench/compare.py).

    python bench/summary.py
"""

from __future__ import annotations

import json
import os
import sys

from compare import fmt_time

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
CORE_RUNS = {"single": "core.json", "threaded": "core-threaded.json"}
# The core's wave benchmarks and their limits per node per wave.
CORE_CASES = ["BM_Chain/200", "BM_Diamond", "BM_FanIn/1000"]
CORE_LIMITS = [("ns_per_node", "ns <= 100", 100.0), ("allocs_per_node", "allocs = 0", 0.0)]


def load(name):
    path = os.path.join(RESULTS, name)
    if not os.path.exists(path):
        print(f"(no {os.path.relpath(path)})")
        return None
    with open(path) as f:
        return json.load(f)


def core_rows():
    runs = {mode: load(name) for mode, name in CORE_RUNS.items()}
    rows = []
    for mode, run in runs.items():
        if run is None:
            continue
        by_name = {b["name"]: b for b in run["benchmarks"]}
        for case in CORE_CASES:
            bench = by_name.get(case)
            if bench is None:
                continue
            expected_flag = 0 if mode == "threaded" else 1
            if bench.get("single_threaded", expected_flag) != expected_flag:
                print(f"warning: {case} in the {mode} run did not run in that mode")
            for counter, text, limit in CORE_LIMITS:
                value = bench[counter]
                rows.append([case, mode, text, "%.3g" % value, "PASS" if value <= limit else "MISS"])
    return rows


def python_rows():
    run = load("compare.json")
    if run is None:
        return []
    rows = []
    for t in run["targets"]:
        value = "%.0f B" % t["value"] if t["unit"] == "B" else fmt_time(t["value"])
        target = t["target"]
        if t.get("relative"):  # show the limit the ratio works out to
            target += " (%s)" % fmt_time(t["limit"])
        rows.append([t["case"], t["mode"], target, value, t["verdict"]])
    return rows


def print_rows(title, rows):
    if not rows:
        return
    rows = [["case", "mode", "target", "korvalinth", ""]] + rows
    widths = [max(len(r[c]) for r in rows) for c in range(len(rows[0]))]
    print(title)
    for r in rows:
        print("  " + "  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())


def main():
    core, python = core_rows(), python_rows()
    print_rows("Core (C++), per node per wave", core)
    print_rows("Python (bench/compare.py), per update / per node", python)
    verdicts = [r[-1] for r in core + python]
    print("%d of %d targets met" % (verdicts.count("PASS"), len(verdicts)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
