"""Build a telecommand space packet whose last field is a CRC-16/CCITT of the rest.

The CRC (polynomial 0x1021, initial value 0xFFFF, no reflection, no final
XOR) is computed in Python over the packed bytes before it, then packed
with the other fields in the same recipe. The receiver's check: the CRC of
the whole packet, CRC field included, is 0.

    python examples/build_telecommand.py --apid 0x1a --function 0x21 --mode 3 --duration 12.5
"""

from __future__ import annotations

import argparse
from typing import Any

import kestrune
from ccsds_packets import PRIMARY_HEADER, field


def crc16_ccitt(data: bytes, crc: int = 0xFFFF) -> int:
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


# The application data of a "set mode" command: a function code, the target
# mode, a duration in seconds as binary32, a BCD-coded operator number and a
# short ASCII tag. 12 bytes, then the 2-byte CRC.
COMMAND = [
    field("function_code", "unsigned", 8),
    field("target_mode", "unsigned", 4),
    field("confirm", "unsigned", 1),
    field("spare", "unsigned", 3),
    field("duration", "ieee754", 32),
    field("operator", "packed_bcd", 16),
    field("tag", "us-ascii", 32),
]
CRC = field("crc", "unsigned", 16)
COMMAND_BYTES = sum(item["bits"] for item in PRIMARY_HEADER + COMMAND) // 8


def build_telecommand(apid: int, seq_count: int, arguments: dict[str, Any]) -> bytes:
    values = {"version": 0, "type": 1, "sec_hdr_flag": 0, "apid": apid, "seq_flags": 3,
              "seq_count": seq_count, "packet_length": COMMAND_BYTES + 2 - 6 - 1, "spare": 0, **arguments}
    recipe = [{**item, "value": values[item["name"]]} for item in PRIMARY_HEADER + COMMAND]
    crc = crc16_ccitt(kestrune.pack_parameters(recipe))
    return kestrune.pack_parameters([*recipe, {**CRC, "value": crc}])


def check_telecommand(packet: bytes) -> dict[str, Any]:
    """The command's fields, after checking its length and CRC."""
    if len(packet) != COMMAND_BYTES + 2 or crc16_ccitt(packet) != 0:
        raise ValueError("telecommand rejected: bad length or CRC")
    recipe = [{**item, "encoding": "ieee754_f32"} if item["encoding"] == "ieee754" else item
              for item in PRIMARY_HEADER + COMMAND + [CRC]]
    return kestrune.unpack_parameters(packet, 0, recipe)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--apid", type=lambda s: int(s, 0), default=0x1A)
    parser.add_argument("--seq", type=int, default=1)
    parser.add_argument("--function", type=lambda s: int(s, 0), default=0x21)
    parser.add_argument("--mode", type=int, default=3)
    parser.add_argument("--duration", type=float, default=12.5)
    parser.add_argument("--operator", type=int, default=4711)
    parser.add_argument("--tag", default="OPS1")
    args = parser.parse_args()
    packet = build_telecommand(args.apid, args.seq, {
        "function_code": args.function, "target_mode": args.mode, "confirm": 1,
        "duration": args.duration, "operator": args.operator, "tag": args.tag,
    })
    print(packet.hex(" "))
    print(check_telecommand(packet))


if __name__ == "__main__":
    main()
