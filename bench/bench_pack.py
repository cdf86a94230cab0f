"""Time pack_parameters on a realistic packet beside hand-written packers,
with the recipe cache in use and switched off, each in a process of its own.

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
timed too when it is installed. Cases:
  ready recipe      the recipe is built once and packed again and again;
  27 stores         the caller sets the 27 item["value"] before each packet
                    (and, for reference, the 27 stores alone);
  fresh recipe      27 new item dicts for every packet, so that the cache
                    never has them (its cost on first use).
Prints the best µs per packet over the repeats and the ratios.
"""

import struct

import kestrune
from two_paths import run

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


def all_cases():
    """Every case, checked against its baseline: {case: function}."""
    h = tuple(v for *_, v in HEADER)
    body = tuple(v for *_, v in PARAMS)
    pack = kestrune.pack_parameters
    bits = bitstring_packers()
    cases = {}
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
        label = "unaligned" if unaligned else "aligned"
        cases[label] = ours
        cases[label + " struct"] = py
        if bs:
            assert bs() == py(), "bitstring and the struct packer disagree"
            cases[label + " bitstring"] = bs

    items = recipe(False)
    values = tuple(d["value"] for d in items)

    def stores():
        for d, v in zip(items, values):
            d["value"] = v

    def stores_and_pack():
        for d, v in zip(items, values):
            d["value"] = v
        return pack(items)

    fields = tuple((d["name"], d["encoding"], d["bits"], d["value"]) for d in items)

    def fresh():
        return pack([{"name": n, "encoding": e, "bits": b, "byte_order": "big", "reverse_bits": False, "value": v}
                     for n, e, b, v in fields])

    assert stores_and_pack() == fresh() == cases["aligned struct"]()
    cases.update({"stores": stores, "stores and pack": stores_and_pack, "fresh": fresh})

    # A command list built up front: many ready recipes, packed in turn. 72
    # of them fit the recipe cache; 7,200 (194,400 item dicts) are far past
    # its capacity.
    for count in (72, 7200):
        recipes = [recipe(False) for _ in range(count)]

        def in_turn(recipes=recipes):
            for r in recipes:
                pack(r)

        in_turn.packets = count
        assert pack(recipes[-1]) == cases["aligned struct"]()
        cases[f"{count} recipes {'in turn' if count == 72 else 'alive'}"] = in_turn
    return cases


ROWS = [("aligned, 27 fields, ready recipe", "aligned", "aligned struct"),
        ("unaligned, 28 fields, ready recipe", "unaligned", "unaligned struct"),
        ("aligned, 27 stores + pack", "stores and pack", "aligned struct"),
        ("  the 27 stores alone", "stores", "aligned struct"),
        ("aligned, fresh recipe (27 new dicts)", "fresh", "aligned struct"),
        ("72 ready recipes packed in turn", "72 recipes in turn", "aligned struct"),
        ("7,200 ready recipes alive at once", "7200 recipes alive", "aligned struct"),
        ("aligned, ready recipe / bitstring", "aligned", "aligned bitstring"),
        ("unaligned, ready recipe / bitstring", "unaligned", "unaligned bitstring")]


def main():
    run(__file__, all_cases, "pack_parameters beside the struct packer (baseline), per packet", ROWS)


if __name__ == "__main__":
    main()
