"""kestrune beside hand-written struct code and the libraries a user would
otherwise pick, on the same realistic packet: a 58-byte CCSDS housekeeping
packet of 31 fields (primary header bit fields, a time code, 1-, 4- and
12-bit fields, 16- and 32-bit integers, binary32 floats), the one of
examples/ccsds_packets.py.

Every tool's unpack result and packed bytes are first checked against the
same reference; then each is timed (best of --repeat runs) in this process.
Prints a Markdown table (µs per packet, ratio to kestrune), writes the chart
bench/compare.png, and with --update-readme puts the table into README.md
between its benchmark markers.

    pip install -e .[bench]      # or scripts/install-extra.sh bench
    python bench/bench_compare.py [--repeat 7] [--file-packets 10000] [--update-readme]

Tools that are not installed are left out. Set KESTRUNE_RECIPE_CACHE as you
wish before running: the value in force is printed with the machine.
"""

from __future__ import annotations

import argparse
import atexit
import importlib.metadata
import io
import os
import platform
import random
import re
import struct
import sys
import tempfile
import textwrap
import timeit
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import kestrune  # noqa: E402
from ccsds_packets import (  # noqa: E402
    HOUSEKEEPING_APID, RECIPES, housekeeping_values, make_packet, packing_recipe, split_packets,
)

RECIPE = RECIPES[HOUSEKEEPING_APID]
NAMES = [item["name"] for item in RECIPE]
# (name, kind, bits) with kind "u", "s" or "f"
FIELDS = [(item["name"], {"unsigned": "u", "twos_complement": "s", "ieee754_f32": "f"}[item["encoding"]], item["bits"])
          for item in RECIPE]
HEADER_VALUES = {"version": 0, "type": 0, "sec_hdr_flag": 1, "apid": HOUSEKEEPING_APID, "seq_flags": 3,
                 "seq_count": 0, "packet_length": 51, "coarse_time": 1_700_000_000, "fine_time": 0}
VALUES = {**HEADER_VALUES, **housekeeping_values(random.Random(1), 0, 1_700_000_000)}
PACKET = make_packet(HOUSEKEEPING_APID, 0, 1_700_000_000, housekeeping_values(random.Random(1), 0, 1_700_000_000))


class Tool:
    """A way to unpack and/or pack the packet; None where the tool cannot."""

    def __init__(self, name: str, version: str, unpack: Callable[[], Any] | None = None,
                 pack: Callable[[], bytes] | None = None, per_call: int = 1, note: str = "",
                 pack_per_call: int | None = None) -> None:
        self.name, self.version, self.unpack, self.pack = name, version, unpack, pack
        # Packets handled by one call of unpack and of pack.
        self.per_call, self.note = per_call, note
        self.pack_per_call = per_call if pack_per_call is None else pack_per_call


def version(package: str) -> str:
    return importlib.metadata.version(package)


# ---------------------------------------------------------------------------
# kestrune

def kestrune_tools(file_packets: int) -> list[Tool]:
    ready = [{**item, "value": VALUES[item["name"]]} for item in packing_recipe(RECIPE)]
    reused = packing_recipe(RECIPE)

    def pack_with_stores() -> bytes:
        for item in reused:
            item["value"] = VALUES[item["name"]]
        return kestrune.pack_parameters(reused)

    stream = PACKET * file_packets

    def unpack_file() -> list[dict[str, Any]]:
        return [kestrune.unpack_parameters(p, 0, RECIPE) for p in split_packets(stream)]

    v = version("kestrune")
    return [
        Tool("kestrune", v, lambda: kestrune.unpack_parameters(PACKET, 0, RECIPE), pack_with_stores,
             note="pack: the caller stores 31 values into a reused recipe per packet"),
        Tool("kestrune, ready recipe", v, None, lambda: kestrune.pack_parameters(ready),
             note="pack: the same recipe with its values, reused"),
        Tool("kestrune, whole file", v, unpack_file, None, per_call=file_packets,
             note="split by packet length, one dict per packet"),
    ]


# ---------------------------------------------------------------------------
# kestrune_ccsds: the packet layer over the same codecs

def kestrune_ccsds_tools(file_packets: int) -> list[Tool]:
    import kestrune_ccsds

    # A path is memory-mapped: the file is read as a user's archive would be.
    path = Path(tempfile.gettempdir()) / f"bench_compare_ccsds_{os.getpid()}.bin"
    atexit.register(path.unlink, missing_ok=True)
    path.write_bytes(PACKET * file_packets)
    recipes = {HOUSEKEEPING_APID: RECIPE}

    def columns() -> dict[str, Any]:
        return kestrune_ccsds.decode(kestrune_ccsds.read_packets(path), recipes)[HOUSEKEEPING_APID].columns

    stream = kestrune_ccsds.read_packets(path)

    def rows() -> list[dict[str, Any]]:
        return list(kestrune_ccsds.iter_packets(stream, recipes))

    v = version("kestrune")
    tool = Tool("kestrune_ccsds, path → columns", v, columns, None, per_call=file_packets,
                note="read_packets + decode: one NumPy array per field")
    tool.flatten = lambda arrays: {k: v[0].item() for k, v in arrays.items()}  # type: ignore[attr-defined]
    return [tool, Tool("kestrune_ccsds, iter_packets", v, rows, None, per_call=file_packets,
                       note="one dict per packet from the compiled plan")]


# ---------------------------------------------------------------------------
# Hand-written struct code

LAYOUT = struct.Struct(">HHHIHBffh6shhhfffIBHHH")


def _s12(v: int) -> int:
    return v - 4096 if v & 0x800 else v


def struct_unpack(packet: bytes) -> dict[str, Any]:
    (w0, w1, w2, coarse, fine, flags, bv, bc, bt, panels, wx, wy, wz, gx, gy, gz, up, cpu, err, cmd,
     sw) = LAYOUT.unpack(packet)
    p = int.from_bytes(panels, "big")
    return {"version": w0 >> 13, "type": (w0 >> 12) & 1, "sec_hdr_flag": (w0 >> 11) & 1, "apid": w0 & 0x7FF,
            "seq_flags": w1 >> 14, "seq_count": w1 & 0x3FFF, "packet_length": w2,
            "coarse_time": coarse, "fine_time": fine,
            "mode": flags >> 4, "safe_flag": (flags >> 3) & 1, "heater_1": (flags >> 2) & 1,
            "heater_2": (flags >> 1) & 1, "spare": flags & 1,
            "bus_voltage": bv, "bus_current": bc, "battery_temp": bt,
            "panel_temp_1": _s12(p >> 36), "panel_temp_2": _s12((p >> 24) & 0xFFF),
            "panel_temp_3": _s12((p >> 12) & 0xFFF), "panel_temp_4": _s12(p & 0xFFF),
            "wheel_speed_x": wx, "wheel_speed_y": wy, "wheel_speed_z": wz,
            "gyro_x": gx, "gyro_y": gy, "gyro_z": gz,
            "uptime": up, "cpu_load": cpu, "error_count": err, "last_command": cmd, "software_version": sw}


def struct_pack(v: dict[str, Any]) -> bytes:
    panels = 0
    for i in range(1, 5):
        panels = (panels << 12) | (v[f"panel_temp_{i}"] & 0xFFF)
    return LAYOUT.pack(
        (v["version"] << 13) | (v["type"] << 12) | (v["sec_hdr_flag"] << 11) | v["apid"],
        (v["seq_flags"] << 14) | v["seq_count"], v["packet_length"], v["coarse_time"], v["fine_time"],
        (v["mode"] << 4) | (v["safe_flag"] << 3) | (v["heater_1"] << 2) | (v["heater_2"] << 1) | v["spare"],
        v["bus_voltage"], v["bus_current"], v["battery_temp"], panels.to_bytes(6, "big"),
        v["wheel_speed_x"], v["wheel_speed_y"], v["wheel_speed_z"], v["gyro_x"], v["gyro_y"], v["gyro_z"],
        v["uptime"], v["cpu_load"], v["error_count"], v["last_command"], v["software_version"])


def struct_tool() -> Tool:
    return Tool("hand-written struct", platform.python_version(), lambda: struct_unpack(PACKET),
                lambda: struct_pack(VALUES), note="one precompiled Struct, shifts and masks for the bit fields")


# ---------------------------------------------------------------------------
# Libraries from PyPI

def bitstruct_tool() -> Tool:
    import bitstruct.c

    fmt = "".join(f"{kind}{bits}" for _, kind, bits in FIELDS)
    compiled = bitstruct.c.compile(fmt, NAMES)
    return Tool("bitstruct (C)", version("bitstruct"), lambda: compiled.unpack(PACKET),
                lambda: compiled.pack(VALUES), note="compiled format, dict in and out")


def construct_tool() -> Tool:
    from construct import BitsInteger, BitStruct, Float32b, Int8ub, Int16sb, Int16ub, Int32ub, Struct

    layout = Struct(
        "header" / BitStruct("version" / BitsInteger(3), "type" / BitsInteger(1), "sec_hdr_flag" / BitsInteger(1),
                             "apid" / BitsInteger(11), "seq_flags" / BitsInteger(2), "seq_count" / BitsInteger(14),
                             "packet_length" / BitsInteger(16)),
        "coarse_time" / Int32ub, "fine_time" / Int16ub,
        "flags" / BitStruct("mode" / BitsInteger(4), "safe_flag" / BitsInteger(1), "heater_1" / BitsInteger(1),
                            "heater_2" / BitsInteger(1), "spare" / BitsInteger(1)),
        "bus_voltage" / Float32b, "bus_current" / Float32b, "battery_temp" / Int16sb,
        "panels" / BitStruct(*[f"panel_temp_{i}" / BitsInteger(12, signed=True) for i in range(1, 5)]),
        "wheel_speed_x" / Int16sb, "wheel_speed_y" / Int16sb, "wheel_speed_z" / Int16sb,
        "gyro_x" / Float32b, "gyro_y" / Float32b, "gyro_z" / Float32b,
        "uptime" / Int32ub, "cpu_load" / Int8ub, "error_count" / Int16ub, "last_command" / Int16ub,
        "software_version" / Int16ub,
    ).compile()
    groups = {"header": NAMES[:7], "flags": NAMES[9:14], "panels": [f"panel_temp_{i}" for i in range(1, 5)]}
    grouped = set().union(*groups.values())
    nested = {**{k: v for k, v in VALUES.items() if k not in grouped},
              **{g: {n: VALUES[n] for n in names} for g, names in groups.items()}}

    def flatten(container: Any) -> dict[str, Any]:
        flat = {}
        for key, value in container.items():
            if key in groups:
                flat.update((n, value[n]) for n in groups[key])
            elif not key.startswith("_"):
                flat[key] = value
        return flat

    tool = Tool("construct (compiled)", version("construct"), lambda: layout.parse(PACKET),
                lambda: layout.build(nested), note="nested Containers: bit groups in BitStructs")
    tool.flatten = flatten  # type: ignore[attr-defined]
    return tool


def bitstring_tool() -> Tool:
    import bitstring

    kinds = {"u": "uint", "s": "int", "f": "float"}
    fmt = ", ".join(f"{kinds[kind]}{bits}" for _, kind, bits in FIELDS)
    ordered = [VALUES[n] for n in NAMES]
    return Tool("bitstring", version("bitstring"),
                lambda: dict(zip(NAMES, bitstring.Bits(PACKET).unpack(fmt), strict=True)),
                lambda: bitstring.pack(fmt, *ordered).tobytes(), note="format string, values as a list")


CCSDSPY_PACK_PACKETS = 2000


def ccsdspy_tool(file_packets: int) -> Tool:
    import ccsdspy
    import numpy as np

    kinds = {"u": "uint", "s": "int", "f": "float"}
    packet_type = ccsdspy.FixedLength([ccsdspy.PacketField(name=n, data_type=kinds[k], bit_length=b)
                                       for n, k, b in FIELDS[7:]])
    stream = PACKET * file_packets
    # Its packer numbers the packets from 0 without wrapping the 14-bit
    # sequence count, and it is slow: a smaller file does.
    pack_packets = min(file_packets, CCSDSPY_PACK_PACKETS)
    columns = {n: np.full(pack_packets, VALUES[n],
                          dtype=np.float32 if k == "f" else np.int64) for n, k, _ in FIELDS[7:]}

    def load() -> dict[str, Any]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the repeated sequence count is reported as a gap
            return packet_type.load(io.BytesIO(stream), include_primary_header=True)

    # to_file writes only to a named file.
    target = Path(tempfile.gettempdir()) / f"bench_compare_{os.getpid()}.bin"
    atexit.register(target.unlink, missing_ok=True)

    def to_file() -> bytes:
        packet_type.to_file(str(target), pkt_type=0, apid=HOUSEKEEPING_APID, sec_header_flag=1, seq_flag=3,
                            data=columns)
        return target.read_bytes()

    tool = Tool("ccsdspy, whole file", version("ccsdspy"), load, to_file, per_call=file_packets,
                pack_per_call=pack_packets, note="columnar: one NumPy array per field; pack writes a file")
    header = {"CCSDS_VERSION_NUMBER": "version", "CCSDS_PACKET_TYPE": "type", "CCSDS_SECONDARY_FLAG": "sec_hdr_flag",
              "CCSDS_APID": "apid", "CCSDS_SEQUENCE_FLAG": "seq_flags", "CCSDS_SEQUENCE_COUNT": "seq_count",
              "CCSDS_PACKET_LENGTH": "packet_length"}
    tool.flatten = lambda arrays: {header.get(k, k): v[0].item() for k, v in arrays.items()}  # type: ignore[attr-defined]
    return tool


def space_packet_parser_tool() -> Tool:
    from space_packet_parser.xtce import containers, definitions, encodings, parameter_types, parameters

    def parameter(name: str, kind: str, bits: int) -> Any:
        if kind == "f":
            ptype = parameter_types.FloatParameterType(f"{name}_t", encodings.FloatDataEncoding(bits))
        else:
            encoding = encodings.IntegerDataEncoding(bits, "unsigned" if kind == "u" else "twosComplement")
            ptype = parameter_types.IntegerParameterType(f"{name}_t", encoding)
        return parameters.Parameter(name, ptype)

    container = containers.SequenceContainer("CCSDSPacket", [parameter(*f) for f in FIELDS])
    definition = definitions.XtcePacketDefinition([container])
    return Tool("space_packet_parser", version("space_packet_parser"), lambda: definition.parse_bytes(PACKET),
                None, note="definition built in Python; no packing")


# ---------------------------------------------------------------------------

def verify(tool: Tool) -> None:
    flatten = getattr(tool, "flatten", dict)
    if tool.unpack is not None:
        result = tool.unpack()
        if isinstance(result, list):  # a decoded file: check its first and last packet
            assert len(result) == tool.per_call and result[0] == result[-1]
            result = result[0]
        got = {k: (v if isinstance(v, float) else int(v)) for k, v in flatten(result).items()}
        assert got == VALUES, f"{tool.name} unpacks {got}"
    if tool.pack is not None:
        packed = tool.pack()
        assert packed[:len(PACKET)] == PACKET, f"{tool.name} packs {packed[:len(PACKET)].hex()}"
        assert len(packed) == len(PACKET) * tool.pack_per_call


def best_us(jobs: list[tuple[Callable[[], Any], int]], repeat: int) -> list[float]:
    """Best µs per packet of each (function, packets per call) job.

    The jobs take turns, one timed batch each per round, so that a burst of
    load from elsewhere on the machine slows every tool alike rather than one.
    """
    timers = [timeit.Timer(function) for function, _ in jobs]
    numbers = [timer.autorange()[0] for timer in timers]
    best = [float("inf")] * len(jobs)
    for _ in range(repeat):
        for i, (timer, number) in enumerate(zip(timers, numbers, strict=True)):
            best[i] = min(best[i], timer.timeit(number) / number)
    return [seconds / per_call * 1e6 for seconds, (_, per_call) in zip(best, jobs, strict=True)]


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    cache = os.environ.get("KESTRUNE_RECIPE_CACHE", "unset")
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return (f"{model}, {os.cpu_count()} cores (load average {load:.1f} at the end), "
            f"{platform.system()} {platform.release()}; CPython {platform.python_version()}; "
            f"KESTRUNE_RECIPE_CACHE={cache}")


def table(rows: list[tuple[Tool, float | None, float | None]]) -> str:
    base_unpack = next(u for t, u, _ in rows if t.name == "kestrune")
    base_pack = next(p for t, _, p in rows if t.name == "kestrune")

    def cell(value: float | None, base: float) -> tuple[str, str]:
        if value is None:
            return "—", "—"
        return f"{value:.2f}", f"{value / base:.2f}×"

    lines = ["| tool | version | unpack µs/packet | vs kestrune | pack µs/packet | vs kestrune | notes |",
             "|---|---|---:|---:|---:|---:|---|"]
    for tool, unpack, pack in rows:
        lines.append("| {} | {} | {} | {} | {} | {} | {} |".format(
            tool.name, tool.version, *cell(unpack, base_unpack), *cell(pack, base_pack), tool.note))
    return "\n".join(lines)


def chart(rows: list[tuple[Tool, float | None, float | None]], path: Path, subtitle: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [tool.name for tool, _, _ in rows]
    fig, ax = plt.subplots(figsize=(9, 0.45 * len(rows) + 2.2))
    y = range(len(rows))
    height = 0.38
    for offset, index, label, color in [(-height / 2, 1, "unpack", "#1f77b4"), (height / 2, 2, "pack", "#ff7f0e")]:
        values = [row[index] or 0 for row in rows]
        bars = ax.barh([i + offset for i in y], values, height, label=label, color=color)
        for bar, value in zip(bars, (row[index] for row in rows), strict=True):
            if value is not None:
                ax.text(bar.get_width(), bar.get_y() + bar.get_height() / 2, f" {value:.2f}", va="center", fontsize=8)
    ax.set_yticks(list(y), names)
    ax.invert_yaxis()
    ax.set_xscale("log")
    largest = max(v for row in rows for v in row[1:] if v is not None)
    ax.set_xlim(right=largest * 4)  # room for the labels of the longest bars
    ax.set_xlabel("µs per packet (log scale, lower is better)")
    ax.set_title("58-byte CCSDS housekeeping packet, 31 fields\n" + textwrap.fill(subtitle, 110), fontsize=8)
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def update_readme(text: str) -> None:
    readme = ROOT / "README.md"
    start, end = "<!-- bench_compare:start -->", "<!-- bench_compare:end -->"
    content = readme.read_text()
    pattern = re.compile(re.escape(start) + ".*?" + re.escape(end), re.S)
    if not pattern.search(content):
        raise SystemExit(f"README.md has no {start} ... {end} markers")
    readme.write_text(pattern.sub(lambda _: f"{start}\n{text}\n{end}", content))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--file-packets", type=int, default=10_000)
    parser.add_argument("--chart", type=Path, default=ROOT / "bench" / "compare.png")
    parser.add_argument("--update-readme", action="store_true")
    args = parser.parse_args()

    tools = [*kestrune_tools(args.file_packets)]
    try:
        tools.extend(kestrune_ccsds_tools(args.file_packets))
    except ImportError as error:
        print(f"left out: {error}", file=sys.stderr)
    tools.append(struct_tool())
    for factory in (bitstruct_tool, construct_tool, bitstring_tool,
                    lambda: ccsdspy_tool(args.file_packets), space_packet_parser_tool):
        try:
            tools.append(factory())
        except ImportError as error:
            print(f"left out: {error}", file=sys.stderr)

    jobs, slots = [], []
    for tool in tools:
        verify(tool)
        for function, per_call in ((tool.unpack, tool.per_call), (tool.pack, tool.pack_per_call)):
            slots.append(len(jobs) if function else None)
            if function:
                jobs.append((function, per_call))
    times = best_us(jobs, args.repeat)
    results = [None if slot is None else times[slot] for slot in slots]
    rows = [(tool, results[2 * i], results[2 * i + 1]) for i, tool in enumerate(tools)]
    for tool, unpack, pack in rows:
        print(f"{tool.name:28} unpack {unpack or 0:8.2f} µs  pack {pack or 0:8.2f} µs", file=sys.stderr)

    about = machine()
    text = (f"{table(rows)}\n\nMeasured by `bench/bench_compare.py` (best of {args.repeat}; whole-file rows: "
            f"{args.file_packets} packets, ccsdspy's packing {min(args.file_packets, CCSDSPY_PACK_PACKETS)}) on {about}.")
    print(text)
    chart(rows, args.chart, about)
    print(f"\nchart: {args.chart.relative_to(ROOT) if args.chart.is_relative_to(ROOT) else args.chart}")
    if args.update_readme:
        update_readme(text)


if __name__ == "__main__":
    main()
