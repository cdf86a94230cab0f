"""kestrune_ccsds: CCSDS space packet streams decoded into columns.

    stream = kestrune_ccsds.read_packets("archive.bin")
    tables = kestrune_ccsds.decode(stream, {100: recipe})
    frame = tables[100].to_pandas()

Every value is the one kestrune.unpack_parameters gives for the same packet
and recipe; the packets are decoded in C++ straight into NumPy columns."""

try:
    import numpy as _numpy  # noqa: F401
except ImportError as _e:  # pragma: no cover - exercised only without NumPy
    raise ImportError("kestrune_ccsds needs NumPy: pip install 'kestrune[ccsds]'") from _e

from .columns import FieldSpec, Plan, Table, compile_plan, decode, decode_plan, iter_packets, recipe_fields
from .streams import (
    ApidReport,
    PacketStream,
    PacketStreamError,
    StreamReport,
    TruncatedPacket,
    read_packets,
)
from .xtce import Definition, DefinitionError, load_xtce

__all__ = [
    "ApidReport",
    "Definition",
    "DefinitionError",
    "FieldSpec",
    "PacketStream",
    "PacketStreamError",
    "Plan",
    "StreamReport",
    "Table",
    "TruncatedPacket",
    "compile_plan",
    "decode",
    "decode_plan",
    "iter_packets",
    "load_xtce",
    "read_packets",
    "recipe_fields",
]
