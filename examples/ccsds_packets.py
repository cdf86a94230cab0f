"""CCSDS space packets of a small spacecraft: recipes by APID, stream splitting,
decoding, and a generator of realistic sample files.

The other examples, the tests and the benchmarks import this module. Run it
to write a sample file, then decode it with the recipes below:

    python examples/ccsds_packets.py sample.bin --count 10000
    kestrune-ccsds decode sample.bin --recipes examples/ccsds_packets.py:RECIPES --out out/
"""

from __future__ import annotations

import argparse
import random
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import kestrune

PRIMARY_HEADER_BYTES = 6


def field(name: str, encoding: str, bits: int, **extra: Any) -> dict[str, Any]:
    """One recipe item, big-endian and in natural bit order unless `extra` says otherwise."""
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False, **extra}


# The primary header: 6 bytes of bit fields. packet_length is the number of
# bytes after the primary header, minus one.
PRIMARY_HEADER = [
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("sec_hdr_flag", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("seq_flags", "unsigned", 2),
    field("seq_count", "unsigned", 14),
    field("packet_length", "unsigned", 16),
]

# Secondary header: an unsegmented time code, seconds and 1/65536 s.
TIME = [field("coarse_time", "unsigned", 32), field("fine_time", "unsigned", 16)]

HOUSEKEEPING_APID = 0x064
EVENT_APID = 0x0C8

# Housekeeping: 31 fields in 58 bytes, among them 1-, 4- and 12-bit fields
# and binary32 floats ("ieee754" when packing, "ieee754_f32" when unpacking).
HOUSEKEEPING_PARAMETERS = [
    field("mode", "unsigned", 4),
    field("safe_flag", "unsigned", 1),
    field("heater_1", "unsigned", 1),
    field("heater_2", "unsigned", 1),
    field("spare", "unsigned", 1),
    field("bus_voltage", "ieee754_f32", 32),
    field("bus_current", "ieee754_f32", 32),
    field("battery_temp", "twos_complement", 16),
    field("panel_temp_1", "twos_complement", 12),
    field("panel_temp_2", "twos_complement", 12),
    field("panel_temp_3", "twos_complement", 12),
    field("panel_temp_4", "twos_complement", 12),
    field("wheel_speed_x", "twos_complement", 16),
    field("wheel_speed_y", "twos_complement", 16),
    field("wheel_speed_z", "twos_complement", 16),
    field("gyro_x", "ieee754_f32", 32),
    field("gyro_y", "ieee754_f32", 32),
    field("gyro_z", "ieee754_f32", 32),
    field("uptime", "unsigned", 32),
    field("cpu_load", "unsigned", 8),
    field("error_count", "unsigned", 16),
    field("last_command", "unsigned", 16),
    field("software_version", "unsigned", 16),
]

# Events: an identifier, a 3-bit severity and a 32-character ASCII text.
EVENT_PARAMETERS = [
    field("event_id", "unsigned", 16),
    field("severity", "unsigned", 3),
    field("event_spare", "unsigned", 5),
    field("message", "us-ascii", 256),
]

# The recipe that decodes a whole packet, chosen by APID.
RECIPES = {
    HOUSEKEEPING_APID: PRIMARY_HEADER + TIME + HOUSEKEEPING_PARAMETERS,
    EVENT_APID: PRIMARY_HEADER + TIME + EVENT_PARAMETERS,
}


def packing_recipe(recipe: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The same layout for pack_parameters, which names floats without a width."""
    return [{**item, "encoding": "ieee754"} if item["encoding"].startswith("ieee754_") else dict(item)
            for item in recipe]


def split_packets(data: bytes) -> Iterator[bytes]:
    """Cut a stream of space packets at the lengths that their primary headers give."""
    position = 0
    while position < len(data):
        if len(data) - position < PRIMARY_HEADER_BYTES:
            raise ValueError(f"truncated primary header at byte {position}")
        length = PRIMARY_HEADER_BYTES + int.from_bytes(data[position + 4:position + 6], "big") + 1
        if position + length > len(data):
            raise ValueError(f"packet at byte {position} needs {length} bytes, {len(data) - position} left")
        yield data[position:position + length]
        position += length


def apid_of(packet: bytes) -> int:
    return int.from_bytes(packet[0:2], "big") & 0x7FF


def decode_packet(packet: bytes) -> dict[str, Any] | None:
    """All fields of one packet, or None for an APID without a recipe."""
    recipe = RECIPES.get(apid_of(packet))
    if recipe is None:
        return None
    return kestrune.unpack_parameters(packet, 0, recipe)


def decode_file(path: str | Path) -> list[dict[str, Any]]:
    """Decode every packet of a file whose APID has a recipe, in file order."""
    data = Path(path).read_bytes()
    return [values for values in map(decode_packet, split_packets(data)) if values is not None]


# ---------------------------------------------------------------------------
# Sample data

def _f32(rng: random.Random, low: float, high: float) -> float:
    # Multiples of 1/64 in this range are exact in binary32, so a decoded
    # value compares equal to the generated one.
    return rng.randint(int(low * 64), int(high * 64)) / 64


def housekeeping_values(rng: random.Random, seq_count: int, time: int) -> dict[str, Any]:
    return {
        "mode": rng.randint(0, 15), "safe_flag": rng.randint(0, 1), "heater_1": rng.randint(0, 1),
        "heater_2": rng.randint(0, 1), "spare": 0,
        "bus_voltage": _f32(rng, 26.0, 30.0), "bus_current": _f32(rng, 0.5, 3.5),
        "battery_temp": rng.randint(-400, 600),
        **{f"panel_temp_{i}": rng.randint(-2048, 2047) for i in range(1, 5)},
        **{f"wheel_speed_{axis}": rng.randint(-6000, 6000) for axis in "xyz"},
        **{f"gyro_{axis}": _f32(rng, -2.0, 2.0) for axis in "xyz"},
        "uptime": time - 1_700_000_000, "cpu_load": rng.randint(0, 100), "error_count": rng.randint(0, 3),
        "last_command": rng.randint(0, 0xFFFF), "software_version": 0x0203,
    }


def event_values(rng: random.Random, seq_count: int, time: int) -> dict[str, Any]:
    event_id = rng.randint(1, 40)
    return {"event_id": event_id, "severity": rng.randint(0, 4), "event_spare": 0,
            "message": f"EVT {event_id:03d} at {time}".ljust(32)}


def make_packet(apid: int, seq_count: int, time: int, parameters: dict[str, Any]) -> bytes:
    recipe = packing_recipe(RECIPES[apid])
    body_bits = sum(item["bits"] for item in recipe) - 48
    values = {"version": 0, "type": 0, "sec_hdr_flag": 1, "apid": apid, "seq_flags": 3,
              "seq_count": seq_count % 16384, "packet_length": body_bits // 8 - 1,
              "coarse_time": time, "fine_time": (seq_count * 4099) % 65536, **parameters}
    return kestrune.pack_parameters([{**item, "value": values[item["name"]]} for item in recipe])


def sample_stream(count: int, seed: int = 0, start_time: int = 1_700_000_000) -> bytes:
    """`count` packets: mostly housekeeping, some events, and a few of an APID without a recipe."""
    rng = random.Random(seed)
    packets = []
    counts = {HOUSEKEEPING_APID: 0, EVENT_APID: 0, 0x7FF: 0}  # each APID counts its own packets
    for n in range(count):
        time = start_time + n
        kind = rng.random()
        if kind < 0.97:
            apid, make_values = ((HOUSEKEEPING_APID, housekeeping_values) if kind < 0.8
                                 else (EVENT_APID, event_values))
            packets.append(make_packet(apid, counts[apid], time, make_values(rng, counts[apid], time)))
            counts[apid] = (counts[apid] + 1) % 16384
        else:
            # An idle packet of APID 0x7FF: skipped by the decoder.
            idle = counts[0x7FF]
            counts[0x7FF] = (idle + 1) % 16384
            packets.append(bytes([0x07, 0xFF, 0xC0 | idle >> 8, idle & 0xFF, 0x00, 0x03, 0, 0, 0, 0]))
    return b"".join(packets)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output", type=Path)
    parser.add_argument("--count", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    args.output.write_bytes(sample_stream(args.count, args.seed))
    print(f"wrote {args.count} packets to {args.output}")


if __name__ == "__main__":
    main()
