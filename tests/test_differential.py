"""Random recipes and packets drawn from one seed, checked three ways:
unpacking a random packet agrees with the independent bit reader, packing
lays down bits that the bit reader reads back as the values, and unpacking
what was packed gives the values back. The seed is shown in the report
header and in every failure; `pytest --seed N --budget SECONDS` replays a run
or runs longer."""

import math
import random
import struct
import time

import pytest

import kestrune as k
from bit_reader import FLOATS, expected_value, field_bits, raw_pattern, text_window

NUMERIC = ["unsigned", "twos_complement", "ones_complement", "sign_magnitude"]
BCD = ["bcd", "bcd_signed", "packed_bcd", "packed_bcd_signed"]
# Text encodings read by Python's own codecs; a leading mark picks the order.
TEXT = {"iso_8859_1": "latin-1", "us_ascii": "ascii", "utf8": "utf-8", "utf16be": "utf-16-be", "utf16le": "utf-16-le",
        "utf32be": "utf-32-be", "utf32le": "utf-32-le", "utf16": None, "utf32": None}
MARKS = {"utf16": [(b"\xfe\xff", "utf-16-be"), (b"\xff\xfe", "utf-16-le")],
         "utf32": [(b"\x00\x00\xfe\xff", "utf-32-be"), (b"\xff\xfe\x00\x00", "utf-32-le")]}


class Refused(Exception):
    """The reference's verdict that the field cannot be decoded."""


def decode_text(encoding, window):
    codec = TEXT[encoding]
    if codec is None:
        unit = 2 if encoding == "utf16" else 4
        if len(window) < unit or len(window) % unit:
            raise Refused
        codec = MARKS[encoding][0][1]
        for mark, order in MARKS[encoding]:
            if window.startswith(mark):
                window, codec = window[len(mark):], order
                break  # one mark at most: what follows it is text
    try:
        return window.decode(codec)
    except UnicodeDecodeError:
        raise Refused from None


def decode_bcd(encoding, raw, bits):
    packed = encoding.startswith("packed")
    width = 4 if packed else 8
    units = [(raw >> (width * i)) & ((1 << width) - 1) for i in range(bits // width)]  # least significant first
    negative = False
    if encoding.endswith("signed") and units:
        if packed:
            sign, units = units[0], units[1:]
            if sign < 0xA:
                raise Refused
            negative = sign in (0xB, 0xD)
        else:
            zones = [u >> 4 for u in units]
            if units[0] & 15 > 9 or zones[0] not in (0x3, 0xC, 0xD, 0xF):
                raise Refused
            if any(u & 15 > 9 or z not in (0x3, 0xF) for u, z in zip(units[1:], zones[1:])):
                raise Refused
            negative = zones[0] == 0xD
            units = [u & 15 for u in units]
    if any(u > 9 for u in units):
        raise Refused
    magnitude = int("".join(map(str, reversed(units))) or "0")
    return -magnitude if negative else magnitude


def read(packet, at, item):
    """The value of `item` at packet bit `at`, by the bit reader."""
    encoding, bits = item["encoding"].lower(), item["bits"]
    order, reverse = item["byte_order"].lower(), item["reverse_bits"]
    if encoding == "ieee754":
        encoding = f"ieee754_f{bits}"
    if encoding in TEXT:
        return decode_text(encoding, text_window(packet, at, bits, order))
    raw = raw_pattern(packet, at, bits, order, reverse)
    if encoding == "binary":
        return raw
    if encoding in BCD:
        return decode_bcd(encoding, raw, bits)
    return expected_value(encoding, raw, bits)


def same(a, b):
    if isinstance(a, float):
        return struct.pack(">d", a) == struct.pack(">d", b) or (math.isnan(a) and math.isnan(b))
    return a == b and type(a) is type(b)


def spell(rng, name):
    return rng.choice([name, name.upper(), name.title()])


# ------------------------------------------------------------------ fields

def random_text(rng, encoding):
    top = {"us_ascii": 0x7F, "iso_8859_1": 0xFF}.get(encoding, 0x10FFFF)
    chars = []
    for _ in range(rng.randint(0, 5)):
        c = rng.choice([rng.randint(0, min(top, 0x7F)), rng.randint(0, min(top, 0xFFFF)), rng.randint(0, top)])
        chars.append(chr(c if not 0xD800 <= c < 0xE000 else 0xFEFF))
    return "".join(chars)


def encode_text(encoding, text):
    codec = TEXT[encoding]
    if codec is None:
        mark, codec = MARKS[encoding][0]  # the encoders write the big-endian mark
        return mark + text.encode(codec)
    return text.encode(codec)


def packable_field(rng):
    """A field with a value that its encoding holds: (item without placement, value read back)."""
    kind = rng.choices(["numeric", "bcd", "float", "text", "binary"], [5, 2, 2, 2, 1])[0]
    if kind == "numeric":
        encoding = rng.choice(NUMERIC)
        bits = rng.randint({"unsigned": 0, "twos_complement": 1}.get(encoding, 2), 64)
        if encoding == "unsigned":
            value = rng.randint(0, 2**bits - 1)
        else:
            top = 2 ** (bits - 1)
            value = rng.randint(-top if encoding == "twos_complement" else 1 - top, top - 1)
    elif kind == "bcd":
        encoding = rng.choice(BCD)
        packed, signed = encoding.startswith("packed"), encoding.endswith("signed")
        bits = rng.randint(4 if packed else 8, 64)
        digits = min(bits // 4 - signed if packed else bits // 8, 18)
        value = rng.randint(0, 10**digits - 1) * (rng.choice([1, -1]) if signed else 1)
    elif kind == "float":
        bits = rng.choice([16, 32, 64])
        fmt = FLOATS[f"ieee754_f{bits}"][1]
        value = struct.unpack(fmt, rng.getrandbits(bits).to_bytes(bits // 8, "big"))[0]
        value = 0.5 if math.isnan(value) else value
        encoding = "ieee754"
    elif kind == "text":
        encoding = rng.choice(sorted(TEXT))
        value = random_text(rng, encoding)
        bits = 8 * len(encode_text(encoding, value))
    else:
        encoding, bits = "binary", rng.randint(0, 64)
        data = rng.randbytes(rng.randint(0, (bits + 7) // 8))
        value = data
    item = {"name": None, "encoding": spell(rng, encoding), "bits": bits,
            "byte_order": spell(rng, "little" if bits % 8 == 0 and rng.random() < 0.5 else "big"),
            "reverse_bits": rng.random() < 0.3, "value": value}
    if kind == "binary":
        return item, int.from_bytes(value, "big") % (1 << bits)
    return item, value


def readable_field(rng):
    """A field to read out of a random packet: an item without placement."""
    kind = rng.choices(["numeric", "float", "bcd", "text"], [6, 2, 1, 1])[0]
    if kind == "numeric":
        encoding, bits = rng.choice(NUMERIC), rng.randint(0, 64)
    elif kind == "float":
        encoding = rng.choice(sorted(FLOATS))
        bits = FLOATS[encoding][0]
    elif kind == "bcd":
        encoding, bits = rng.choice(BCD), rng.randint(0, 64)
    else:
        encoding = rng.choice(sorted(TEXT))
        bits = rng.choice([8 * rng.randint(0, 8), rng.randint(0, 64)])
    return {"name": None, "encoding": spell(rng, encoding), "bits": bits,
            "byte_order": spell(rng, "little" if bits % 8 == 0 and rng.random() < 0.5 else "big"),
            "reverse_bits": rng.random() < 0.3}


# ------------------------------------------------------------------ cases

def unpack_case(rng):
    """unpack_parameters on random bytes against the bit reader."""
    start = rng.randint(0, 20)
    recipe, places, pos = [], [], start
    for i in range(rng.randint(0, 8)):
        item = readable_field(rng)
        item["name"] = f"f{i}"
        if rng.random() < 0.5:
            offset = rng.randint(0, 120)  # anywhere, overlaps included
            item["offset_bits"] = offset
            pos = start + offset
        places.append(pos)
        pos += item["bits"]
        recipe.append(item)
    end = max([start] + [at + item["bits"] for at, item in zip(places, recipe)])
    packet = rng.randbytes((end + 7) // 8 + rng.randint(0, 2))
    try:
        expected = {item["name"]: read(packet, at, item) for at, item in zip(places, recipe)}
    except Refused:
        with pytest.raises(ValueError):
            k.unpack_parameters(packet, start, recipe)
        return
    got = k.unpack_parameters(packet, start, recipe)
    assert list(got) == list(expected), (packet, start, recipe)
    for name, want in expected.items():
        assert same(got[name], want), (name, got[name], want, packet, start, recipe)


def pack_case(rng):
    """pack_parameters read back by the bit reader and by unpack_parameters."""
    fields, pos, explicit = [], 0, rng.random() < 0.3
    for i in range(rng.randint(1, 8)):
        item, value = packable_field(rng)
        item["name"] = f"p{i}"
        gap = rng.choice([0, 0, rng.randint(1, 12)])
        if explicit or gap:
            item["offset_bits"] = pos + gap
        pos += gap
        fields.append((pos, item, value))
        pos += item["bits"]
    if explicit:
        rng.shuffle(fields)  # every position is given: the order is free
    recipe = [item for _, item, _ in fields]
    packet = k.pack_parameters(recipe)
    assert len(packet) == (pos + 7) // 8 or not explicit, (packet, recipe)
    for at, item, value in fields:
        assert same(read(packet, at, item), value), (item, packet, recipe)

    # The same items read by unpack_parameters: binary fields as unsigned
    # ones, float fields under the names that carry the width.
    reading = []
    for item in recipe:
        renamed = {"binary": "unsigned", "ieee754": f"ieee754_f{item['bits']}"}
        encoding = renamed.get(item["encoding"].lower(), item["encoding"])
        reading.append({key: v for key, v in item.items() if key != "value"} | {"encoding": encoding})
    got = k.unpack_parameters(packet, 0, reading)
    for at, item, value in fields:
        assert same(got[item["name"]], value), (item, got, packet, recipe)


def test_random_recipes_and_packets(request):
    seed, budget = request.config.option.seed, request.config.option.budget
    rng = random.Random(seed)
    deadline = time.monotonic() + budget
    cases = 0
    while cases < 20 or time.monotonic() < deadline:
        try:
            (pack_case if cases % 2 else unpack_case)(rng)
        except Exception as exc:
            raise AssertionError(f"case {cases} of --seed {seed} failed") from exc
        cases += 1
    print(f"{cases} random cases from --seed {seed}")
