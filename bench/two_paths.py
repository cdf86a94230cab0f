"""Runs a benchmark's measurements in fresh processes, with the recipe cache
in use and with it switched off (KESTRUNE_RECIPE_CACHE=0, read at the first
packet call). Each process also times the hand-written baselines; the best
timing of each case over a few rounds is kept."""

import argparse
import json
import os
import subprocess
import sys
import timeit

PATHS = {"cached": "1", "uncached": "0"}
# Cases whose cached ÷ uncached ratio is printed below the table (with "fresh").
ON_OFF = ("72 recipes in turn", "7200 recipes alive")


def best_us(fn, number, repeat):
    """Best µs per call over the repeats."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e6


def worker_output(timings):
    """What a worker prints: its timings as JSON."""
    print(json.dumps(timings))


def in_both_paths(script, argv, rounds):
    """Runs `script --worker argv` `rounds` times per path, the paths taking
    turns (so that the machine's load hits both alike); returns
    {path: best timing of every case}."""
    results = {path: {} for path in PATHS}
    for _ in range(rounds):
        for path, setting in PATHS.items():
            env = {**os.environ, "KESTRUNE_RECIPE_CACHE": setting}
            run = subprocess.run([sys.executable, script, "--worker", *argv], env=env, capture_output=True,
                                 text=True, check=True)
            for case, t in json.loads(run.stdout).items():
                results[path][case] = min(t, results[path].get(case, t))
    return results


def print_table(results, rows):
    """rows: (label, our case, baseline case or None). Prints the timings of
    both paths and their ratios to the baseline timed in that path's processes."""
    print(f"{'':38} {'cached':>9} {'baseline':>9} {'ratio':>7}   {'uncached':>9} {'baseline':>9} {'ratio':>7}")
    for label, ours, base in rows:
        cells = []
        for path in PATHS:
            t = results[path][ours]
            if base:
                b = results[path][base]
                cells.append(f"{t:7.2f}us {b:7.2f}us {t / b:6.2f}x")
            else:
                cells.append(f"{t:7.2f}us {'':9} {'':7}")
        print(f"{label:38} {cells[0]}   {cells[1]}")


def measure(cases, number, repeat):
    """Times every case in this process; returns {case: µs per packet}.
    The slow bitstring cases and the fresh-recipe case run fewer times."""
    timings = {}
    for name, fn in cases.items():
        n = max(1, number // 20) if name.endswith("bitstring") else max(1, number // 10) if name == "fresh" else number
        # A case that handles several packets per call says how many.
        packets = getattr(fn, "packets", 1)
        timings[name] = best_us(fn, max(1, n // packets), repeat) / packets
    return timings


def run(script, all_cases, title, rows):
    """The command line of a benchmark: as a worker, times `all_cases()` and
    prints JSON; otherwise runs the workers of both paths, prints `rows` (the
    bitstring rows only when it is installed) and the fresh-recipe ratio."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=3, help="worker processes per path, taking turns")
    parser.add_argument("--worker", action="store_true", help="time this process's path only, print JSON")
    args = parser.parse_args()
    if args.worker:
        worker_output(measure(all_cases(), args.number, args.repeat))
        return
    results = in_both_paths(script, ["--number", str(args.number), "--repeat", str(args.repeat)], args.rounds)
    have_bitstring = "aligned bitstring" in results["cached"]
    print(title)
    print_table(results, [row for row in rows if not row[2] or row[2] in results["cached"]])
    for case in ("fresh", *ON_OFF):
        if case in results["cached"]:
            ratio = results["cached"][case] / results["uncached"][case]
            print(f"{case}, cached / uncached: {ratio:.2f}x")
    if not have_bitstring:
        print("(bitstring is not installed)")
