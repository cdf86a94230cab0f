"""Packing large binary fields: throughput and peak memory.

Run by hand: .venv/bin/python bench/bench_binary.py
Prints GB/s for a 1 MiB `binary` field packed byte-aligned and 3 bits off
(beside the floor of one copy of the same bytes, and a shift of the whole
field done with int arithmetic), then the peak memory that packing a 200 MB
value adds, measured in fresh processes (plain, and little-endian with
reverse_bits).
"""

import argparse
import subprocess
import sys
import timeit

import kestrune as k

MIB = 1 << 20


def item(value, bits, offset=0, **extra):
    return {"name": "b", "encoding": "binary", "bits": bits, "byte_order": "big", "reverse_bits": False,
            "value": value, "offset_bits": offset, **extra}


def gb_per_s(fn, size, number, repeat):
    return size / (min(timeit.repeat(fn, number=number, repeat=repeat)) / number) / 1e9


PEAK = """
import resource, sys, kestrune as k
size, extra = int(sys.argv[1]), dict(arg.split("=") for arg in sys.argv[2:])
value = bytes(range(256)) * (size // 256)
recipe = [{"name": "b", "encoding": "binary", "bits": 8 * size, "byte_order": extra.get("byte_order", "big"),
           "reverse_bits": extra.get("reverse_bits") == "1", "value": value}]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
packet = k.pack_parameters(recipe)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


def peak_added(size, *extra):
    out = subprocess.run([sys.executable, "-c", PEAK, str(size), *extra], capture_output=True, text=True, check=True)
    return int(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--number", type=int, default=200)
    parser.add_argument("--peak-mb", type=int, default=200)
    args = parser.parse_args()
    data = bytes(range(256)) * (MIB // 256)
    aligned = [item(data, 8 * MIB)]
    unaligned = [item(data, 8 * MIB, offset=3)]
    big = int.from_bytes(data)
    rows = [
        ("aligned 1 MiB, pack_parameters", lambda: k.pack_parameters(aligned)),
        ("aligned 1 MiB, one copy (bytes(bytearray))", lambda: bytes(bytearray(data))),
        ("3 bits off 1 MiB, pack_parameters", lambda: k.pack_parameters(unaligned)),
        ("3 bits off 1 MiB, int shift (from/to_bytes)", lambda: (int.from_bytes(data) << 5).to_bytes(MIB + 1)),
    ]
    assert k.pack_parameters(unaligned) == (big << 5).to_bytes(MIB + 1)
    for label, fn in rows:
        print(f"{label:46} {gb_per_s(fn, MIB, args.number, args.repeat):6.2f} GB/s")
    size = args.peak_mb * 1_000_000
    for label, extra in [("plain", ()), ("little-endian, reverse_bits", ("byte_order=little", "reverse_bits=1"))]:
        print(f"peak memory added, {args.peak_mb} MB value, {label:28} {peak_added(size, *extra) / 1e6:7.0f} MB")


if __name__ == "__main__":
    main()
