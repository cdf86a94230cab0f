"""Space packets for the tests, laid out by kestrune.pack_parameters."""

from __future__ import annotations

import kestrune


def field(name: str, encoding: str, bits: int, **extra: object) -> dict[str, object]:
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False, **extra}


# The primary header as an unpack recipe.
HEADER = [
    field("version", "unsigned", 3),
    field("packet_type", "unsigned", 1),
    field("secondary_header", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("sequence_flags", "unsigned", 2),
    field("sequence_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
]


def header(apid: int, count: int, data_bytes: int, *, packet_type: int = 0, flags: int = 3) -> bytes:
    """A primary header for a data field of `data_bytes` bytes (at least 1)."""
    values = [0, packet_type, 0, apid, flags, count % (1 << 14), data_bytes - 1]
    return kestrune.pack_parameters([dict(f, value=v) for f, v in zip(HEADER, values)])


def packet(apid: int, count: int, body: bytes, **kw: int) -> bytes:
    return header(apid, count, len(body), **kw) + body


def pack(apid: int, count: int, body: list[dict[str, object]], body_bytes: int) -> bytes:
    """A packet whose data field holds `body` (pack recipe items with values
    and offsets counted from the start of the data field)."""
    data = kestrune.pack_parameters(body)
    assert len(data) <= body_bytes
    return packet(apid, count, data + bytes(body_bytes - len(data)))
