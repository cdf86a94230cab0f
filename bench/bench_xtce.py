"""Loading and decoding with XTCE definitions, side by side with space_packet_parser.

Generates the large definition of the tests (10,000 parameters in 40
containers, see tests/ccsds/xtce_large.py) in two forms: fixed layouts, and
layouts with a block of samples whose size comes from the packet length (so
every field after it moves from packet to packet). Then measures, best of
several rounds:

- load time of each definition file (best and median of at least 9 rounds),
  and of a process's first load, which gets all its memory fresh;
- what a decode call costs besides its packets: 200 calls of one packet;
- decode time per packet of an archive of packets of all 40 containers, with
  engineering and with raw values, and (fixed layouts) with the recipes that
  Definition.recipe gives, decoded by APID; space_packet_parser decodes the
  same packets with the same file, one parse_bytes call per packet.

Run by hand: .venv/bin/python bench/bench_xtce.py [--packets N] [--rounds N] [--load-only]
"""

from __future__ import annotations

import argparse
import warnings
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "ccsds"))

from xtce_large import FIRST_APID, generate  # noqa: E402
from xtce_packets import pack  # noqa: E402

import kestrune_ccsds  # noqa: E402
from kestrune_ccsds import decode, load_xtce, read_packets  # noqa: E402


def timings(function, rounds: int) -> list[float]:
    """Seconds of each round. The result is kept until the clock has stopped,
    so that a round does not also time freeing what it made."""
    out = []
    for _ in range(rounds):
        start = time.perf_counter()
        result = function()
        out.append(time.perf_counter() - start)
        del result
    return out


_FIRST_LOAD = """
import sys, time
import kestrune_ccsds, lxml.etree
start = time.perf_counter()
definition = kestrune_ccsds.load_xtce(sys.argv[1])
print(time.perf_counter() - start)
"""


def first_loads(path, rounds: int) -> list[float]:
    """Seconds of a process's first load (imports done before the clock starts).

    A first load gets its memory fresh from the system, page by page; the
    rounds in one process reuse what the previous round freed, which makes
    them faster than what a user's single load takes."""
    return [float(subprocess.run([sys.executable, "-c", _FIRST_LOAD, str(path)], check=True,
                                 capture_output=True, text=True).stdout)
            for _ in range(rounds)]


def best(function, rounds: int) -> float:
    return min(timings(function, rounds))


def archive(definition, packets: int, seed: int = 1) -> bytes:
    """packets packets cycling through the containers, with random raw values."""
    rng = random.Random(seed)
    out = []
    names = sorted(n for n, c in definition.containers.items() if not c.abstract)
    for i in range(packets):
        name = names[i % len(names)]
        layout = definition.layout(name)
        values = {"Version": 0, "Type": 0, "SecHdrFlag": 0, "SeqFlags": 3, "SeqCount": i & 0x3FFF,
                  "APID": FIRST_APID + names.index(name), "PktLen": 0}
        for s in layout.slots:
            if s.column in values:
                continue
            enc = s.parameter.encoding
            if enc.kind == "binary":
                values[s.column] = rng.randbytes(rng.randrange(0, 64))
            elif enc.kind == "float":
                values[s.column] = rng.uniform(-1e3, 1e3)
            elif enc.name == "unsigned":
                values[s.column] = rng.randrange(0, 1 << s.bits)
            else:
                values[s.column] = rng.randrange(-(1 << (s.bits - 1)), 1 << (s.bits - 1))
        packet = pack(layout, values)
        values["PktLen"] = len(packet) - 7
        out.append(pack(layout, values))
    return b"".join(out)


def spp_definition(path):
    from space_packet_parser.xtce.definitions import XtcePacketDefinition

    return XtcePacketDefinition.from_xtce(path)


def spp_decode(definition, data: bytes, count: int):
    stream = read_packets(data)
    packets = [stream.packet(i) for i in range(min(count, len(stream)))]

    def run():
        with warnings.catch_warnings():
            # It warns of the pad bits after the last field of most packets.
            warnings.simplefilter("ignore")
            for p in packets:
                definition.parse_bytes(p)
    return run, len(packets)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=20000, help="packets in each archive")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (best is kept)")
    parser.add_argument("--spp-packets", type=int, default=400,
                        help="packets space_packet_parser decodes per round")
    parser.add_argument("--load-only", action="store_true",
                        help="time load_xtce only (no decoding, no space_packet_parser)")
    args = parser.parse_args()
    have_spp = False
    if not args.load_only:
        try:
            import space_packet_parser  # noqa: F401
            have_spp = True
        except ImportError:
            print("space_packet_parser is not installed: its rows are skipped")

    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs; "
          f"kestrune_ccsds from {Path(kestrune_ccsds.__file__).parent}")
    with tempfile.TemporaryDirectory() as tmp:
        for dynamic in (False, True):
            path = Path(tmp) / f"large_{'dynamic' if dynamic else 'fixed'}.xml"
            path.write_bytes(generate(dynamic=dynamic))
            label = "dynamic" if dynamic else "fixed"
            definition = load_xtce(path)
            loads = timings(lambda: load_xtce(path), max(args.rounds, 9))
            fields = sum(len(definition.layout(n).slots) for n, c in definition.containers.items()
                         if not c.abstract) / 40
            print(f"\n{label} layouts: {len(definition.parameters)} parameters, "
                  f"{len(definition.containers)} containers, {fields:.0f} fields a packet, "
                  f"{path.stat().st_size / 1e6:.1f} MB")
            print(f"  load_xtce                 {min(loads) * 1e3:9.1f} ms best, "
                  f"{statistics.median(loads) * 1e3:.1f} ms median of {len(loads)}")
            firsts = first_loads(path, 5)
            print(f"  load_xtce, first in a process {min(firsts) * 1e3:5.1f} ms best, "
                  f"{statistics.median(firsts) * 1e3:.1f} ms median of {len(firsts)}")
            if args.load_only:
                continue
            data = archive(definition, args.packets)
            stream = read_packets(data)
            for values in ("engineering", "raw"):
                seconds = best(lambda: decode(stream, definition, values=values), args.rounds)
                print(f"  decode ({values:11s})      {seconds / len(stream) * 1e6:9.2f} µs/packet"
                      f"  ({len(stream)} packets)")
            # A call per packet, as a live stream is decoded: what a call
            # costs besides the packets (classifying, one table per container).
            live = [read_packets(stream.packet(i)) for i in range(200)]
            for values in ("engineering", "raw"):
                seconds = best(lambda: [decode(s, definition, values=values) for s in live],
                               args.rounds)
                print(f"  decode, a call per packet ({values[:3]}) {seconds / len(live) * 1e6:7.1f} µs/call")
            if not dynamic:
                # The same packets through the packet layer, with the recipes
                # the definition gives: the columnar speed a definition keeps.
                recipes = {FIRST_APID + i: definition.recipe(f"Packet{i:02d}") for i in range(40)}
                seconds = best(lambda: decode(stream, recipes), args.rounds)
                print(f"  decode (recipes by APID)  {seconds / len(stream) * 1e6:9.2f} µs/packet")
            if have_spp:
                spp_ms = best(lambda: spp_definition(path), max(1, args.rounds // 2)) * 1e3
                print(f"  space_packet_parser load  {spp_ms:9.1f} ms best")
                run, count = spp_decode(spp_definition(path), data, args.spp_packets)
                seconds = best(run, max(1, args.rounds // 2))
                print(f"  space_packet_parser       {seconds / count * 1e6:9.2f} µs/packet"
                      f"  ({count} packets)")


if __name__ == "__main__":
    main()
