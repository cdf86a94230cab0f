"""Time pack_parameters on a realistic packet beside hand-written packers.

Run with the built module on PYTHONPATH:
    PYTHONPATH=build/<dir> python bench/bench_pack.py [--number N] [--repeat R]

Packets:
  aligned    CCSDS primary header (7 bit fields, 48 bits) + 20 byte-aligned
             parameters: 8/16/32-bit integers and binary32 floats (27 fields).
  unaligned  the same with a 3-bit field after the header, so that every
             parameter after it starts off a byte boundary (28 fields).

Beside each, the fastest pure-Python packer we could write for it: a
precompiled struct format plus shifts for the header bit fields (and, for the
unaligned packet, one big-integer shift of the struct image). bitstring is
timed too when it is installed. The recipes are built once; each call packs
them afresh. Prints the best µs per packet over the repeats and the ratios.
"""

import argparse
import struct
import timeit

import kestrune

HEADER = [("version", 3, 0), ("type", 1, 0), ("sec_hdr_flag", 1, 1), ("apid", 11, 0x3A5),
          ("seq_flags", 2, 3), ("seq_count", 14, 12345), ("data_length", 16, 63)]

# (name, encoding, bits, struct code, value)
PARAMS = [
    ("mode", "unsigned", 8, "B", 3),
    ("temp_a", "twos_complement", 16, "h", -1234),
    ("voltage", "ieee754", 32, "f", 28.25),
    ("counter", "unsigned", 32, "I", 4_000_000_000),
    ("status", "unsigned", 8, "B", 0x5A),
    ("temp_b", "twos_complement", 16, "h", 876),
    ("current", "ieee754", 32, "f", -1.5),
    ("uptime", "unsigned", 32, "I", 86_400),
    ("flags", "unsigned", 16, "H", 0xBEEF),
    ("rate", "ieee754", 32, "f", 0.125),
    ("errors", "unsigned", 8, "B", 7),
    ("offset", "twos_complement", 32, "i", -100_000),
    ("pressure", "ieee754", 32, "f", 1013.25),
    ("sequence", "unsigned", 16, "H", 4242),
    ("heater", "unsigned", 8, "B", 1),
    ("gain", "ieee754", 32, "f", 3.0),
    ("delta", "twos_complement", 16, "h", -7),
    ("ticks", "unsigned", 32, "I", 123_456_789),
    ("spare", "unsigned", 8, "B", 0),
    ("angle", "ieee754", 32, "f", 90.5),
]


def item(name, encoding, bits, value):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False, "value": value}


def recipe(unaligned):
    fields = [item(n, "unsigned", b, v) for n, b, v in HEADER]
    if unaligned:
        fields.append(item("submode", "unsigned", 3, 5))
    fields += [item(n, e, b, v) for n, e, b, _, v in PARAMS]
    return fields


BODY = struct.Struct(">" + "".join(code for *_, code, _ in PARAMS))
ALIGNED = struct.Struct(">HHH" + BODY.format[1:])
BODY_BITS = BODY.size * 8


def struct_aligned(h, body):
    """Header words by shifts, then one precompiled struct."""
    return ALIGNED.pack(h[0] << 13 | h[1] << 12 | h[2] << 11 | h[3], h[4] << 14 | h[5], h[6], *body)


def struct_unaligned(h, sub, body):
    """The header and the 3-bit field as an int, the struct image below it,
    the whole shifted to the next byte boundary."""
    head = (h[0] << 13 | h[1] << 12 | h[2] << 11 | h[3]) << 32 | (h[4] << 14 | h[5]) << 16 | h[6]
    value = ((head << 3 | sub) << BODY_BITS | int.from_bytes(BODY.pack(*body))) << 5
    return value.to_bytes(6 + BODY.size + 1)


def bitstring_packers():
    try:
        import bitstring
    except ImportError:
        return None
    fmt_head = "uint:3, uint:1, uint:1, uint:11, uint:2, uint:14, uint:16"
    codes = {"B": "uint:8", "H": "uint:16", "I": "uint:32", "h": "int:16", "i": "int:32", "f": "float:32"}
    fmt_body = ", ".join(codes[code] for *_, code, _ in PARAMS)
    aligned = f"{fmt_head}, {fmt_body}"
    unaligned = f"{fmt_head}, uint:3, {fmt_body}, uint:5"
    return (lambda h, body: bitstring.pack(aligned, *h, *body).tobytes(),
            lambda h, sub, body: bitstring.pack(unaligned, *h, sub, *body, 0).tobytes())


def best_us(fn, number, repeat):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    h = tuple(v for *_, v in HEADER)
    body = tuple(v for *_, v in PARAMS)
    pack = kestrune.pack_parameters
    bits = bitstring_packers()
    cases = []
    for unaligned in (False, True):
        r = recipe(unaligned)
        if unaligned:
            py = lambda: struct_unaligned(h, 5, body)  # noqa: E731
            bs = (lambda: bits[1](h, 5, body)) if bits else None
        else:
            py = lambda: struct_aligned(h, body)  # noqa: E731
            bs = (lambda: bits[0](h, body)) if bits else None
        ours = lambda r=r: pack(r)  # noqa: E731
        assert ours() == py(), "pack_parameters and the struct packer disagree"
        if bs:
            assert bs() == py(), "bitstring and the struct packer disagree"
        cases.append(("unaligned" if unaligned else "aligned", len(r), ours, py, bs))

    print(f"{'packet':10} {'fields':>6} {'pack_parameters':>16} {'struct':>9} {'bitstring':>10} "
          f"{'ours/struct':>12} {'ours/bitstring':>15}")
    for label, n, ours, py, bs in cases:
        t_ours = best_us(ours, args.number, args.repeat)
        t_py = best_us(py, args.number, args.repeat)
        t_bs = best_us(bs, max(1, args.number // 20), args.repeat) if bs else None
        bs_col = f"{t_bs:8.2f}us" if t_bs else f"{'n/a':>10}"
        bs_ratio = f"{t_ours / t_bs:14.2f}x" if t_bs else f"{'n/a':>15}"
        print(f"{label:10} {n:6} {t_ours:14.2f}us {t_py:7.2f}us {bs_col} {t_ours / t_py:11.2f}x {bs_ratio}")
    if not bits:
        print("(bitstring is not installed; its columns are n/a)")
    print(f"per field (aligned): {best_us(cases[0][2], args.number, args.repeat) / cases[0][1] * 1000:.0f} ns")


if __name__ == "__main__":
    main()
