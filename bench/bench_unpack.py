"""Time unpack_parameters on realistic packets beside hand-written decoders,
with the recipe cache in use and switched off, each in a process of its own.

Run with the built module on PYTHONPATH:
    PYTHONPATH=build/<dir> python bench/bench_unpack.py [--number N] [--repeat R]

Packets:
  aligned    CCSDS primary header (7 bit fields, 48 bits) + 20 byte-aligned
             parameters: 8/16/32-bit integers and binary32 floats (27 fields).
             Beside it: one precompiled struct.unpack_from, shifts for the
             header words, dict(zip(names, values)).
  unaligned  16 bytes holding 12 fields of odd widths at odd positions:
             unsigned and two's complement integers, a binary16 and a
             binary32 float. Beside it: int.from_bytes of the whole packet,
             then shifts, masks and sign fix-ups into a dict literal.

bitstring is timed too when it is installed. The recipes are built once and
used for every packet; a third case builds 27 new item dicts for every
packet (the cache's cost on first use). Prints the best µs per packet over
the repeats and the ratios.
"""

import math
import struct

import kestrune
from two_paths import run

HEADER = [("version", 3, 0), ("type", 1, 0), ("sec_hdr_flag", 1, 1), ("apid", 11, 0x3A5),
          ("seq_flags", 2, 3), ("seq_count", 14, 12345), ("data_length", 16, 63)]

# (name, pack encoding, unpack encoding, bits, struct code, value)
PARAMS = [
    ("mode", "unsigned", "unsigned", 8, "B", 3),
    ("temp_a", "twos_complement", "twos_complement", 16, "h", -1234),
    ("voltage", "ieee754", "ieee754_f32", 32, "f", 28.25),
    ("counter", "unsigned", "unsigned", 32, "I", 4_000_000_000),
    ("status", "unsigned", "unsigned", 8, "B", 0x5A),
    ("temp_b", "twos_complement", "twos_complement", 16, "h", 876),
    ("current", "ieee754", "ieee754_f32", 32, "f", -1.5),
    ("uptime", "unsigned", "unsigned", 32, "I", 86_400),
    ("flags", "unsigned", "unsigned", 16, "H", 0xBEEF),
    ("rate", "ieee754", "ieee754_f32", 32, "f", 0.125),
    ("errors", "unsigned", "unsigned", 8, "B", 7),
    ("offset", "twos_complement", "twos_complement", 32, "i", -100_000),
    ("pressure", "ieee754", "ieee754_f32", 32, "f", 1013.25),
    ("sequence", "unsigned", "unsigned", 16, "H", 4242),
    ("heater", "unsigned", "unsigned", 8, "B", 1),
    ("gain", "ieee754", "ieee754_f32", 32, "f", 3.0),
    ("delta", "twos_complement", "twos_complement", 16, "h", -7),
    ("ticks", "unsigned", "unsigned", 32, "I", 123_456_789),
    ("spare", "unsigned", "unsigned", 8, "B", 0),
    ("angle", "ieee754", "ieee754_f32", 32, "f", 90.5),
]

# 128 bits in all: (name, pack encoding, unpack encoding, bits, value)
UNALIGNED = [
    ("a", "unsigned", "unsigned", 3, 5),
    ("b", "twos_complement", "twos_complement", 11, -700),
    ("c", "ieee754", "ieee754_f16", 16, 1.5),
    ("d", "unsigned", "unsigned", 7, 100),
    ("e", "twos_complement", "twos_complement", 13, -4000),
    ("f", "ieee754", "ieee754_f32", 32, -2.75),
    ("g", "unsigned", "unsigned", 5, 17),
    ("h", "twos_complement", "twos_complement", 9, 200),
    ("i", "unsigned", "unsigned", 1, 1),
    ("j", "twos_complement", "twos_complement", 6, -32),
    ("k", "unsigned", "unsigned", 15, 30000),
    ("l", "twos_complement", "twos_complement", 10, -1),
]


def item(name, encoding, bits, value=None):
    d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}
    if value is not None:
        d["value"] = value
    return d


def aligned_recipes():
    header = [item(n, "unsigned", b, v) for n, b, v in HEADER]
    pack = header + [item(n, e, b, v) for n, e, _, b, _, v in PARAMS]
    unpack = [item(n, "unsigned", b) for n, b, _ in HEADER] + [item(n, u, b) for n, _, u, b, _, _ in PARAMS]
    return pack, unpack


def unaligned_recipes():
    return ([item(n, e, b, v) for n, e, _, b, v in UNALIGNED], [item(n, u, b) for n, _, u, b, _ in UNALIGNED])


NAMES = tuple(n for n, *_ in HEADER) + tuple(n for n, *_ in PARAMS)
ALIGNED = struct.Struct(">HHH" + "".join(code for *_, code, _ in PARAMS))


def struct_aligned(packet):
    """Header words by shifts, the parameters by one precompiled struct."""
    w0, w1, w2, *body = ALIGNED.unpack_from(packet)
    return dict(zip(NAMES, (w0 >> 13, (w0 >> 12) & 1, (w0 >> 11) & 1, w0 & 0x7FF, w1 >> 14, w1 & 0x3FFF, w2,
                            *body)))


F16 = struct.Struct(">e")
F32 = struct.Struct(">f")


def int_unaligned(packet):
    """The whole packet as one int; each field shifted out, sign-extended or
    reinterpreted as a float."""
    v = int.from_bytes(packet)
    b = (v >> 114) & 0x7FF
    e = (v >> 78) & 0x1FFF
    h = (v >> 32) & 0x1FF
    j = (v >> 25) & 0x3F
    l = v & 0x3FF  # noqa: E741
    return {
        "a": v >> 125,
        "b": b - ((b >> 10) << 11),
        "c": F16.unpack(((v >> 98) & 0xFFFF).to_bytes(2))[0],
        "d": (v >> 91) & 0x7F,
        "e": e - ((e >> 12) << 13),
        "f": F32.unpack(((v >> 46) & 0xFFFFFFFF).to_bytes(4))[0],
        "g": (v >> 41) & 0x1F,
        "h": h - ((h >> 8) << 9),
        "i": (v >> 31) & 1,
        "j": j - ((j >> 5) << 6),
        "k": (v >> 10) & 0x7FFF,
        "l": l - ((l >> 9) << 10),
    }


def bitstring_decoders():
    try:
        import bitstring
    except ImportError:
        return None
    codes = {"B": "uint8", "H": "uint16", "I": "uint32", "h": "int16", "i": "int32", "f": "float32"}
    aligned = [f"uint{b}" for _, b, _ in HEADER] + [codes[code] for *_, code, _ in PARAMS]
    kinds = {"unsigned": "uint", "twos_complement": "int", "ieee754_f16": "float", "ieee754_f32": "float"}
    unaligned = [f"{kinds[u]}{b}" for _, _, u, b, _ in UNALIGNED]
    names_u = [n for n, *_ in UNALIGNED]
    return (lambda p: dict(zip(NAMES, bitstring.Bits(p).unpack(aligned))),
            lambda p: dict(zip(names_u, bitstring.Bits(p).unpack(unaligned))))


def bitstruct_decoder():
    """bitstruct's C extension: a format compiled once, a dict out."""
    try:
        import bitstruct.c
    except ImportError:
        return None
    codes = {"B": "u8", "H": "u16", "I": "u32", "h": "s16", "i": "s32", "f": "f32"}
    fmt = "".join(f"u{b}" for _, b, _ in HEADER) + "".join(codes[code] for *_, code, _ in PARAMS)
    compiled = bitstruct.c.compile(fmt, list(NAMES))
    return compiled.unpack


def same(a, b):
    return a.keys() == b.keys() and all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in
                                        zip(a.values(), b.values()))


def all_cases():
    """Every case, checked against its baseline: {case: function}."""
    unpack = kestrune.unpack_parameters
    bits = bitstring_decoders()
    cases = {}
    for label, recipes, python in (("aligned", aligned_recipes, struct_aligned),
                                   ("unaligned", unaligned_recipes, int_unaligned)):
        pack_recipe, unpack_recipe = recipes()
        packet = kestrune.pack_parameters(pack_recipe)
        ours = lambda p=packet, r=unpack_recipe: unpack(p, 0, r)  # noqa: E731
        py = lambda p=packet, f=python: f(p)  # noqa: E731
        assert same(ours(), py()), f"unpack_parameters and the hand-written decoder disagree on {label}"
        assert ours() == {i["name"]: i["value"] for i in pack_recipe}
        cases[label] = ours
        cases[label + " python"] = py
        if bits:
            bs = (lambda p=packet, f=bits[0 if label == "aligned" else 1]: f(p))
            assert same(bs(), py()), f"bitstring and the hand-written decoder disagree on {label}"
            cases[label + " bitstring"] = bs
        compiled = bitstruct_decoder() if label == "aligned" else None
        if compiled:
            bt = lambda p=packet, f=compiled: f(p)  # noqa: E731
            assert same(bt(), py()), "bitstruct and the hand-written decoder disagree"
            cases["aligned bitstruct"] = bt
        if label == "aligned":
            fields = tuple((d["name"], d["encoding"], d["bits"]) for d in unpack_recipe)
            fresh = lambda p=packet: unpack(p, 0, [  # noqa: E731
                {"name": n, "encoding": e, "bits": b, "byte_order": "big", "reverse_bits": False}
                for n, e, b in fields])
            assert fresh() == ours()
            cases["fresh"] = fresh
    return cases


ROWS = [("aligned, 27 fields / struct", "aligned", "aligned python"),
        ("unaligned, 12 fields / int.from_bytes", "unaligned", "unaligned python"),
        ("aligned, fresh recipe (27 new dicts)", "fresh", "aligned python"),
        ("aligned / bitstring", "aligned", "aligned bitstring"),
        ("aligned / bitstruct (C, compiled)", "aligned", "aligned bitstruct"),
        ("unaligned / bitstring", "unaligned", "unaligned bitstring")]


def main():
    run(__file__, all_cases, "unpack_parameters beside the hand-written decoders (baseline), per packet", ROWS)


if __name__ == "__main__":
    main()
