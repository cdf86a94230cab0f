"""Decoding several packet files at once: a thread pool and Dask against one thread.

Decoding releases the GIL, so threads over several files use several cores.
Writes --files sample files of --packets packets each (the mixed APIDs of
examples/ccsds_packets.py) into a temporary directory, then times, best of
--repeat, path -> NumPy columns for all files:
one thread, a ThreadPoolExecutor of --workers threads, and Dask frames
(kestrune_ccsds.dask) computed with the threaded scheduler. Each result is
first checked against the serial one.

    python bench/bench_parallel.py [--files 8] [--packets 200000] [--workers 2]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import kestrune_ccsds  # noqa: E402
from ccsds_packets import RECIPES, sample_stream  # noqa: E402


LAYOUTS: dict[int, Any] = dict(RECIPES)


def decode_file(path: str) -> dict[object, Any]:
    return kestrune_ccsds.decode(kestrune_ccsds.read_packets(path), LAYOUTS)


def best(jobs: list[Callable[[], Any]], repeat: int) -> list[tuple[float, float]]:
    """For each job, the best wall time of `repeat` runs and the CPU time of this process during that run.

    The jobs take turns, one run each per round, so that a burst of load
    from elsewhere on the machine hits them alike. CPU time over wall time
    tells how many cores a run kept busy."""
    results = [(float("inf"), 0.0)] * len(jobs)
    for _ in range(repeat):
        for i, job in enumerate(jobs):
            start, cpu = time.perf_counter(), time.process_time()
            job()
            run = (time.perf_counter() - start, time.process_time() - cpu)
            results[i] = min(results[i], run)
    return results


def same(left: dict[object, Any], right: dict[object, Any]) -> bool:
    return left.keys() == right.keys() and all(
        left[key].columns.keys() == right[key].columns.keys()
        and all(np.array_equal(left[key].columns[n], right[key].columns[n]) for n in left[key].columns)
        for key in left)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--packets", type=int, default=200_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--apid", type=lambda text: int(text, 0), action="append",
                        help="decode only this APID (repeatable; default: all with a recipe). Text cells become "
                             "Python str objects, made with the GIL held: 0x64 has none, 0xc8 has one")
    args = parser.parse_args()
    if args.apid:
        for apid in set(LAYOUTS) - set(args.apid):
            del LAYOUTS[apid]

    with tempfile.TemporaryDirectory() as folder:
        data = sample_stream(args.packets, seed=1)
        paths = []
        for n in range(args.files):
            path = os.path.join(folder, f"part_{n}.bin")
            Path(path).write_bytes(data)
            paths.append(path)
        packets = args.packets * args.files
        size = len(data) * args.files

        serial = [decode_file(path) for path in paths]
        names = ["one thread", f"thread pool, {args.workers} threads"]
        with ThreadPoolExecutor(args.workers) as pool:
            assert all(map(same, pool.map(decode_file, paths), serial))
            jobs: list[Callable[[], Any]] = [lambda: [decode_file(path) for path in paths],
                                             lambda: list(pool.map(decode_file, paths))]
            try:
                import dask

                import kestrune_ccsds.dask as kd
            except ImportError as error:
                print(f"left out Dask: {error}", file=sys.stderr)
            else:
                frames = kd.read_packets(paths, LAYOUTS)
                computed = dask.compute(frames, scheduler="threads", num_workers=args.workers)[0]
                assert {key: len(frame) for key, frame in computed.items()} == {
                    key: sum(len(tables[key]) for tables in serial) for key in computed}
                names.append(f"Dask frames, threaded scheduler, {args.workers} threads, to pandas")
                jobs.append(lambda: dask.compute(frames, scheduler="threads", num_workers=args.workers))
            rows = list(zip(names, best(jobs, args.repeat), strict=True))
        one = rows[0][1]

    print(f"{args.files} files x {args.packets} packets ({size / 1e6:.0f} MB), APIDs {sorted(LAYOUTS)}, "
          f"path -> columns, best of {args.repeat}, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
    for name, (seconds, cpu) in rows:
        print(f"  {name:58} {seconds * 1e3:8.1f} ms  {seconds / packets * 1e9:6.1f} ns/packet  "
              f"{one[0] / seconds:4.2f}x  cores busy {cpu / seconds:4.2f}")


if __name__ == "__main__":
    main()
