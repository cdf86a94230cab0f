"""Packing then unpacking gives the values back, for any layout."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrune as k


def signed_range(bits, symmetric):
    """Values a signed field of `bits` bits holds (at most 64 bits)."""
    if bits == 0:
        return st.just(0)
    top = 2 ** (bits - 1)
    return st.integers(-(top - 1) if symmetric else -top, top - 1)


def bcd_values(digits, signed):
    limit = 10**min(digits, 18) - 1
    return st.integers(-limit if signed else 0, limit) if digits > 0 else st.just(0)


TEXT = {
    "utf8": ("utf8", st.text(max_size=6), lambda s: s.encode("utf-8")),
    "utf16le": ("utf-16le", st.text(max_size=6), lambda s: k.encode_utf16le(s)),
    "utf16be": ("utf16be", st.text(max_size=6), lambda s: k.encode_utf16be(s)),
    "utf16": ("utf16", st.text(max_size=6), lambda s: k.encode_utf16(s)),
    "utf32": ("utf-32", st.text(max_size=6), lambda s: k.encode_utf32(s)),
    "utf32le": ("utf32le", st.text(max_size=6), lambda s: k.encode_utf32le(s)),
    "us_ascii": ("us-ascii", st.text(st.characters(max_codepoint=127), max_size=16), lambda s: s.encode("ascii")),
    "iso_8859_1": ("latin1", st.text(st.characters(max_codepoint=255), max_size=16), lambda s: s.encode("latin-1")),
    "windows_1252": ("windows-1252", st.binary(max_size=16).map(k.decode_windows_1252), k.encode_windows_1252),
}


@st.composite
def field(draw):
    """(pack item without placement, unpack encoding, expected value)."""
    kind = draw(st.sampled_from(["unsigned", "twos_complement", "ones_complement", "sign_magnitude", "bcd",
                                 "bcd_signed", "packed_bcd", "packed_bcd_signed", "ieee754", "text"]))
    unpack_name = kind
    if kind == "unsigned":
        bits = draw(st.integers(0, 64))
        value = draw(st.integers(0, 2**bits - 1))
    elif kind in ("twos_complement", "ones_complement", "sign_magnitude"):
        bits = draw(st.integers(1 if kind == "twos_complement" else 2, 64))
        value = draw(signed_range(bits, kind != "twos_complement"))
    elif kind in ("bcd", "bcd_signed"):
        bits = draw(st.integers(8, 64))
        value = draw(bcd_values(bits // 8, kind == "bcd_signed"))
    elif kind in ("packed_bcd", "packed_bcd_signed"):
        bits = draw(st.integers(4, 64))
        signed = kind == "packed_bcd_signed"
        value = draw(bcd_values(bits // 4 - signed, signed))
    elif kind == "ieee754":
        bits = draw(st.sampled_from([16, 32, 64]))
        value = draw(st.floats(width=bits, allow_nan=False))
        unpack_name = f"ieee754_f{bits}"
    else:
        kind = draw(st.sampled_from(sorted(TEXT)))
        unpack_name, texts, encode = TEXT[kind]
        value = draw(texts.filter(lambda s: len(encode(s)) <= 16))
        bits = 8 * len(encode(value))  # text that fills its field exactly
    little = bits % 8 == 0 and draw(st.booleans())
    item = {"name": None, "encoding": kind, "bits": bits, "byte_order": "little" if little else "big",
            "reverse_bits": draw(st.booleans()), "value": value}
    return item, unpack_name, value


@st.composite
def recipes(draw):
    """(recipe to pack, the same items as the unpacking recipe, expected dict)."""
    fields = draw(st.lists(field(), min_size=1, max_size=10))
    explicit = draw(st.booleans())
    pairs, pos = [], 0
    for i, (item, unpack_name, value) in enumerate(fields):
        item["name"] = f"p{i}"
        gap = draw(st.integers(0, 11))
        if explicit or gap:
            item["offset_bits"] = pos + gap
        pos += gap + item["bits"]
        reading = {key: v for key, v in item.items() if key != "value"}
        reading["encoding"] = unpack_name
        pairs.append((item, reading, value))
    if explicit:
        # With every position given, the order of the items is free.
        pairs = draw(st.permutations(pairs))
    return [p[0] for p in pairs], [p[1] for p in pairs], {p[0]["name"]: p[2] for p in pairs}


def same(a, b):
    if isinstance(a, float):
        return struct.pack(">d", a) == struct.pack(">d", b) or (math.isnan(a) and math.isnan(b))
    return a == b and type(a) is type(b)


@settings(max_examples=400, deadline=None)
@given(recipe=recipes(), shift=st.integers(0, 23), fill=st.integers(0, 2**31 - 1))
def test_pack_then_unpack_gives_the_values_back(recipe, shift, fill):
    pack, unpack, expected = recipe
    packet = k.pack_parameters(pack)
    got = k.unpack_parameters(packet, 0, unpack)
    assert list(got) == list(expected)
    assert all(same(got[name], expected[name]) for name in expected), (got, expected)

    # The same packet behind `shift` arbitrary bits, read from that offset.
    bits = 8 * len(packet)
    total = shift + bits
    size = (total + 7) // 8
    prefix = fill & ((1 << shift) - 1)
    moved = ((prefix << bits | int.from_bytes(packet, "big")) << (8 * size - total)).to_bytes(size, "big")
    got = k.unpack_parameters(moved, shift, unpack)
    assert all(same(got[name], expected[name]) for name in expected), (got, expected)


# Names are matched after the full Unicode lower-case mapping, under which
# KELVIN SIGN (U+212A) becomes an ASCII "k"; other non-ASCII letters do not
# make a name valid, and an unmatched name is echoed as written.
@pytest.mark.parametrize("encoding", ["pac\u212aed_bcd", "PAC\u212aED-BCD-SIGNED"])
def test_names_lowercase_through_the_full_unicode_mapping(encoding):
    item = {"name": "n", "encoding": encoding, "bits": 16, "byte_order": "BIG", "reverse_bits": False, "value": 123}
    packet = k.pack_parameters([item])
    assert k.unpack_parameters(packet, 0, [item]) == {"n": 123}


@pytest.mark.parametrize("encoding", ["UNSIGNED\u212a", "\u0130nteger", "unsi\u0301gned"])
def test_non_ascii_names_that_do_not_lower_into_a_name_are_refused(encoding):
    item = {"name": "n", "encoding": encoding, "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 1}
    for call in (lambda: k.pack_parameters([item]), lambda: k.unpack_parameters(b"\0", 0, [item])):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == f"ValueError: Unsupported encoding type: {encoding}"
