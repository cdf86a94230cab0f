"""Resident memory over a long run of mixed calls: it must stay flat.

Run by hand on a release build: .venv/bin/python bench/memory_rss.py [calls]
Makes 10**6 calls (by default) that mix packing and unpacking of reused,
changed and fresh recipes with codec calls and failing calls, prints the
resident set size every tenth of the run, and exits 1 if it grew by more than
the tolerance after the first tenth (which warms allocator pools and caches).
"""

import gc
import os
import sys

import kestrune as k

TOLERANCE_KIB = 512


def rss_kib() -> int:
    with open(f"/proc/{os.getpid()}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc")


def make_recipe(n: int) -> list:
    return [
        {"name": "apid", "encoding": "unsigned", "bits": 11, "offset_bits": 5, "byte_order": "big",
         "reverse_bits": False, "value": n & 0x7FF},
        {"name": "temp", "encoding": "twos_complement", "bits": 16, "byte_order": "little", "reverse_bits": False,
         "value": -(n % 3000)},
        {"name": "volts", "encoding": "ieee754", "bits": 32, "byte_order": "big", "reverse_bits": False,
         "value": n / 7},
        {"name": "count", "encoding": "packed_bcd", "bits": 16, "byte_order": "big", "reverse_bits": True,
         "value": n % 10000},
        {"name": "tag", "encoding": "utf8", "bits": 64, "byte_order": "big", "reverse_bits": False,
         "value": f"t{n % 1000}"},
    ]


def unpack_recipe(recipe: list) -> list:
    out = [dict(d) for d in recipe]
    out[2]["encoding"] = "ieee754_f32"
    return out


def main() -> int:
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    reused = make_recipe(1)
    reused_unpack = unpack_recipe(reused)
    changed = make_recipe(2)
    packet = k.pack_parameters(reused)
    bad = [{"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
            "value": 256}]
    # Each step is one call to the module (a fresh recipe's construction is the caller's own).
    steps = [
        lambda n: k.pack_parameters(reused),
        lambda n: k.unpack_parameters(packet, 0, reused_unpack),
        lambda n: k.pack_parameters(make_recipe(n)),
        lambda n: k.unpack_parameters(packet, 0, unpack_recipe(make_recipe(n))),
        lambda n: changed[n % 5].__setitem__("name", f"f{n % 7}") or k.pack_parameters(changed),
        lambda n: k.encode_twos_complement(-(n % 100), 16),
        lambda n: k.decode_packed_bcd(0x1234, 16),
        lambda n: k.decode_utf16(b"\xfe\xff\x00A\x00B"),
        lambda n: k.encode_utf8("température"),
        lambda n: k.decode_ieee754_f64(0x3FF0000000000000 + n),
    ]
    failing = [
        lambda n: k.pack_parameters(bad),
        lambda n: k.unpack_parameters(b"\x00", 0, reused_unpack),
        lambda n: k.encode_unpacked_bcd(-n, 24),
        lambda n: k.decode_utf8(b"\xff"),
        lambda n: k.decode_ti_f32(n),
    ]
    chunk = total // 10
    print(f"{total} calls, RSS every {chunk}:")
    samples = []
    n = 0
    for _ in range(10):
        for _ in range(chunk // 20):
            for step in steps:
                step(n)
                n += 1
            for step in failing:
                try:
                    step(n)
                except (ValueError, NotImplementedError):
                    pass
                n += 1
            for step in steps[:5]:
                step(n)
                n += 1
        gc.collect()
        samples.append(rss_kib())
        print(f"  after {n:>8} calls: {samples[-1]:>7} KiB")
    growth = samples[-1] - samples[0]
    print(f"growth after the first tenth: {growth:+} KiB (tolerance {TOLERANCE_KIB} KiB)")
    return 0 if growth <= TOLERANCE_KIB else 1


if __name__ == "__main__":
    sys.exit(main())
