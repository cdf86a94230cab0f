"""Packet streams into columns: kestrune_ccsds against the baselines, in one run.

Generates a file of space packets of three APIDs (primary header bit fields,
a CUC time code, unaligned 1- to 12-bit fields, 16/32-bit integers, binary32
floats, a short text field; 22 to 35 fields per packet) and times:

- scan: read_packets on the path (memory-mapped), in GB/s;
- path -> NumPy columns: read_packets + decode of one APID (27 fields), in
  µs/packet, beside ccsdspy's FixedLength.load on a file of that APID's
  packets alone (it reads one APID) and beside one unpack_parameters call
  per packet;
- iter_packets: one dict per packet, µs/packet, consumed as they come (a
  live stream) and all kept in a list (then memory, not decoding, dominates);
- peak RSS of a whole-file decode in a fresh process, against the bytes of
  its output columns and the mapped file.

Usage: python bench/bench_ccsds.py [--packets N] [--repeat R]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

import kestrune
import numpy as np

import kestrune_ccsds as kc

APIDS = (100, 200, 300)


def item(name: str, encoding: str, bits: int) -> dict[str, Any]:
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}


HEADER = [
    item("version", "unsigned", 3),
    item("packet_type", "unsigned", 1),
    item("secondary_header", "unsigned", 1),
    item("apid", "unsigned", 11),
    item("sequence_flags", "unsigned", 2),
    item("sequence_count", "unsigned", 14),
    item("data_length", "unsigned", 16),
]
TIME = [item("coarse_time", "unsigned", 32), item("fine_time", "unsigned", 16)]


def layout(apid: int) -> list[dict[str, Any]]:
    """The recipe of one APID: 27 fields for 100, 35 for 200, 22 for 300."""
    if apid == 100:
        body = (
            [item(f"flag{i}", "unsigned", 1) for i in range(4)]
            + [item("mode", "unsigned", 3), item("temp_raw", "twos_complement", 12), item("volt_raw", "unsigned", 12),
               item("status", "unsigned", 5), item("counter", "unsigned", 11), item("spare", "unsigned", 4)]
            + [item("current", "twos_complement", 16), item("pressure", "unsigned", 16),
               item("uptime", "unsigned", 32), item("offset", "twos_complement", 32)]
            + [item("voltage", "ieee754_f32", 32), item("temperature", "ieee754_f32", 32)]
            + [item("quality", "unsigned", 2), item("label", "us_ascii", 64)]
        )
    elif apid == 200:
        body = (
            [item(f"bit{i}", "unsigned", 1) for i in range(8)]
            + [item(f"nibble{i}", "unsigned", 4) for i in range(4)]
            + [item(f"adc{i}", "unsigned", 12) for i in range(6)]
            + [item(f"word{i}", "twos_complement", 16) for i in range(3)]
            + [item(f"value{i}", "ieee754_f32", 32) for i in range(3)]
            + [item("source", "utf8", 48)]
        )
    else:
        body = (
            [item("state", "unsigned", 2), item("submode", "unsigned", 6), item("range", "unsigned", 9),
             item("gain", "unsigned", 7)]
            + [item("count32", "unsigned", 32), item("delta", "twos_complement", 32), item("level", "unsigned", 16),
               item("x", "ieee754_f32", 32)]
            + [item("tag", "latin1", 32), item("pad", "unsigned", 8)]
            + [item("y", "ieee754_f32", 32)]
        )
    return HEADER + TIME + body


RECIPES = {apid: layout(apid) for apid in APIDS}


def values(recipe: list[dict[str, Any]], rng: random.Random) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for f in recipe[9:]:
        bits, enc = f["bits"], f["encoding"]
        if enc == "unsigned":
            out[f["name"]] = rng.getrandbits(bits)
        elif enc == "twos_complement":
            out[f["name"]] = rng.randrange(-(1 << (bits - 1)), 1 << (bits - 1))
        elif enc == "ieee754_f32":
            out[f["name"]] = float(np.float32(rng.uniform(-1e3, 1e3)))
        else:
            out[f["name"]] = "".join(rng.choice("ABCDEFGHIJKLMNOP") for _ in range(bits // 8))
    return out


def packet(apid: int, count: int, t: int, rng: random.Random) -> bytes:
    recipe = RECIPES[apid]
    body_bits = sum(f["bits"] for f in recipe[7:])
    data_bytes = (body_bits + 7) // 8
    header = {"version": 0, "packet_type": 0, "secondary_header": 1, "apid": apid, "sequence_flags": 3,
              "sequence_count": count % 16384, "data_length": data_bytes - 1, "coarse_time": t, "fine_time": count}
    v = {**header, **values(recipe, rng)}
    pack = []
    for f in recipe:
        f = dict(f, value=v[f["name"]])
        if f["encoding"] == "ieee754_f32":
            f["encoding"] = "ieee754"
        elif f["encoding"] == "latin1":
            f["encoding"] = "iso-8859-1"
        pack.append(f)
    return kestrune.pack_parameters(pack)


def generate(n: int, directory: Path) -> tuple[Path, Path]:
    """The mixed file and a file of APID 100's packets alone."""
    rng = random.Random(7)
    templates = {apid: [packet(apid, i, 1_700_000_000 + i, rng) for i in range(512)] for apid in APIDS}
    counts = dict.fromkeys(APIDS, 0)
    mixed, single = [], []
    for i in range(n):
        apid = APIDS[i % 3]
        # Vary the sequence counts; reuse a pool of bodies (packing is slow).
        p = bytearray(templates[apid][counts[apid] % 512])
        c = counts[apid] % 16384
        p[2] = 0xC0 | (c >> 8)
        p[3] = c & 0xFF
        counts[apid] += 1
        mixed.append(bytes(p))
        if apid == 100:
            single.append(bytes(p))
    both = directory / "mixed.bin", directory / "apid100.bin"
    both[0].write_bytes(b"".join(mixed))
    both[1].write_bytes(b"".join(single))
    return both


def best(fn: Callable[[], object], repeat: int) -> float:
    """Best seconds per call; the result is freed outside the timing."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
        del result
    return min(times)


def ccsdspy_loader(path: Path) -> Callable[[], object] | None:
    try:
        import ccsdspy
    except ImportError:
        return None
    kinds = {"unsigned": "uint", "twos_complement": "int", "ieee754_f32": "float", "us_ascii": "str"}
    fields = [ccsdspy.PacketField(name=f["name"], data_type=kinds[f["encoding"]], bit_length=f["bits"])
              for f in RECIPES[100][7:]]
    packet_type = ccsdspy.FixedLength(fields)

    def load() -> object:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return packet_type.load(str(path), include_primary_header=True)

    return load


def rss_worker(path: str) -> None:
    """Peak RSS of a whole-file decode (run in a fresh process)."""
    import gc
    import sys as _sys

    def high_water() -> int:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

    # Reset the peak to the current RSS (Linux), so that the imports' own
    # peak does not hide the decode's.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = high_water()
    stream = kc.read_packets(path)
    tables = kc.decode(stream, RECIPES)
    peak = high_water()
    out = 0
    for t in tables.values():
        for c in t.columns.values():
            out += c.nbytes
            if c.dtype == object:
                out += sum(_sys.getsizeof(v) for v in c)
        out += t.packet_index.nbytes
    out += sum(a.nbytes for a in (stream.offsets, stream.lengths, stream.apids, stream.sequence_counts,
                                  stream.sequence_flags, stream.packet_types))
    gc.collect()
    print(json.dumps({"before": before, "peak": peak, "file": os.path.getsize(path), "output": out}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--packets", type=int, default=300_000, help="packets in the mixed file (default 300000)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per case; the best is kept (default 5)")
    parser.add_argument("--rss-worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.rss_worker:
        rss_worker(args.rss_worker)
        return
    with tempfile.TemporaryDirectory() as tmp:
        mixed, single = generate(args.packets, Path(tmp))
        size = mixed.stat().st_size
        n100 = len(kc.read_packets(single))
        fields = len(RECIPES[100])
        print(f"{args.packets} packets of APIDs {APIDS} ({', '.join(str(len(RECIPES[a])) for a in APIDS)} fields), "
              f"{size / 1e6:.1f} MB; APID 100: {n100} packets of {fields} fields; best of {args.repeat}")
        scan = best(lambda: kc.read_packets(mixed), args.repeat)
        print(f"scan (read_packets on the path)          {size / scan / 1e9:8.2f} GB/s   ({scan * 1e3:.2f} ms)")
        whole = best(lambda: kc.decode(kc.read_packets(mixed), RECIPES), args.repeat)
        print(f"path -> columns, all 3 APIDs             {whole / args.packets * 1e6:8.3f} µs/packet")
        ours = best(lambda: kc.decode(kc.read_packets(single), {100: RECIPES[100]}), args.repeat)
        print(f"path -> columns, APID 100 alone          {ours / n100 * 1e6:8.3f} µs/packet")
        stream = kc.read_packets(mixed)
        ours_mixed = best(lambda: kc.decode(kc.read_packets(mixed), {100: RECIPES[100]}), args.repeat)
        print(f"path -> columns, APID 100 of the mixed   {ours_mixed / n100 * 1e6:8.3f} µs/packet")
        numeric = {100: [f for f in RECIPES[100] if f["encoding"] != "us_ascii"]}
        ours_numeric = best(lambda: kc.decode(kc.read_packets(single), numeric), args.repeat)
        print(f"  the same without the text field        {ours_numeric / n100 * 1e6:8.3f} µs/packet")
        load = ccsdspy_loader(single)
        if load is not None:
            theirs = best(load, max(1, args.repeat // 2))
            print(f"ccsdspy FixedLength.load, APID 100 file  {theirs / n100 * 1e6:8.3f} µs/packet"
                  f"   (ours {theirs / ours:.1f}x faster)")
        else:
            print("ccsdspy not installed: left out")
        def consume() -> None:
            for _ in kc.iter_packets(stream, {100: RECIPES[100]}):
                pass

        rows = best(consume, args.repeat)
        print(f"iter_packets dicts, APID 100, streamed  {rows / n100 * 1e6:8.3f} µs/packet")
        rows = best(lambda: list(kc.iter_packets(stream, {100: RECIPES[100]})), args.repeat)
        print(f"  the same, all kept in a list           {rows / n100 * 1e6:8.3f} µs/packet")
        single_stream = kc.read_packets(single)
        pkts = [single_stream.packet(i) for i in range(len(single_stream))]
        recipe = RECIPES[100]
        unpack = best(lambda: [kestrune.unpack_parameters(p, 0, recipe) for p in pkts], max(1, args.repeat // 2))
        print(f"unpack_parameters per packet (baseline)  {unpack / n100 * 1e6:8.3f} µs/packet")
        # A live stream: a call per packet as it arrives, with the same
        # recipe each time (its compiled plan is found by its content), and
        # with a recipe the plan cache does not keep (a dict subclass).
        live = [kc.read_packets(p) for p in pkts[:2000]]
        kept = {100: recipe}
        unkept = {100: [type("Item", (dict,), {})(it) for it in recipe]}
        for label, recipes in (("decode, a call per packet", kept), ("  the same, recipe compiled each call", unkept)):
            per_call = best(lambda: [kc.decode(s, recipes) for s in live], max(1, args.repeat // 2))
            print(f"{label:40s} {per_call / len(live) * 1e6:8.3f} µs/packet")
        run = subprocess.run([sys.executable, __file__, "--rss-worker", str(mixed)], capture_output=True, text=True,
                             check=True)
        m = json.loads(run.stdout)
        extra = m["peak"] - m["before"] - m["file"]
        print(f"peak RSS of a whole-file decode: {(m['peak'] - m['before']) / 1e6:.1f} MB = mapped file "
              f"{m['file'] / 1e6:.1f} MB + {extra / 1e6:.1f} MB; output (columns, their str objects, stream arrays) "
              f"{m['output'] / 1e6:.1f} MB: {extra / m['output'] - 1:+.1%} beyond the output")


if __name__ == "__main__":
    main()
