"""pack_parameters: layout, encodings, error reporting and hostile recipes."""

import os
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrune
from kestrune import pack_parameters


def item(value=0, *, bits=8, encoding="unsigned", byte_order="big", reverse_bits=False, name="p", **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": reverse_bits, "value": value, **extra}


def without(key, **kw):
    d = item(**kw)
    del d[key]
    return d


def pack_error(recipe):
    with pytest.raises(ValueError) as info:
        pack_parameters(recipe)
    # The builder's exception is replaced, never chained.
    assert info.value.__cause__ is None and info.value.__context__ is None
    return str(info.value)


# AddressSanitizer aborts on allocations beyond its limit unless told to fail them.
huge_allocations = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "")
    and "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""),
    reason="AddressSanitizer would abort on the huge allocation")


# ---------------------------------------------------------------- layout

@pytest.mark.parametrize("recipe, expected", [
    ([], ""),
    ([item(0xABC, bits=12)], "abc0"),
    ([item(0x1234, bits=16, byte_order="little")], "3412"),
    ([item(5, bits=3), item(3, bits=5)], "a3"),
    ([item(1, bits=3, reverse_bits=True)], "80"),
    ([item(0xABC, bits=12, reverse_bits=True)], "3d50"),
    ([item(255, offset_bits=4)], "0ff0"),
    # Later fields overwrite earlier ones bit for bit, zeros included.
    ([item(0xFF), item(0, bits=4, offset_bits=2)], "c3"),
    ([item(0xFFFF, bits=16), item(0x5A, offset_bits=4)], "f5af"),
    # A zero-width field writes nothing; the next field starts at its offset.
    ([item(0, bits=0, offset_bits=8), item(0xAB)], "00ab"),
    ([item(2**64 - 1, bits=64)], "ff" * 8),
    # Whole-byte fields at unaligned offsets, and a little-endian one.
    ([item(0xDEADBEEF, bits=32, offset_bits=3)], "1bd5b7dde0"),
    ([item(0xDEADBEEF, bits=32, offset_bits=3, byte_order="little")], "1df7d5bbc0"),
    ([item(1.0, bits=32, encoding="ieee754")], "3f800000"),
    ([item(1.0, bits=16, encoding="IEEE_754")], "3c00"),
    ([item(-2, bits=64, encoding="ieee-754")], "c000000000000000"),
    ([item(1.0, bits=32, encoding="ieee754", byte_order="little")], "0000803f"),
    ([item(b"\x12\x34\x56", bits=24, encoding="binary")], "123456"),
    ([item(bytearray(b"\xff\xff"), bits=12, encoding="binary")], "fff0"),
    ([item(b"\x01", bits=4, encoding="binary", reverse_bits=True)], "80"),
    ([item(b"\x12\x34", bits=16, encoding="binary", byte_order="little")], "3412"),
    ([item("A", bits=16, encoding="utf8")], "4100"),
    ([item("A", bits=12, encoding="utf8", offset_bits=2)], "1040"),
    ([item("AB", bits=16, encoding="utf-8", byte_order="little")], "4241"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_layout(recipe, expected):
    assert pack_parameters(recipe).hex() == expected


def test_recipe_containers_and_extra_keys():
    recipe = [item(0xAB), item(0xCD, description="ignored")]
    assert pack_parameters(recipe) == pack_parameters(tuple(recipe)) == b"\xab\xcd"
    assert pack_parameters(recipe=recipe) == b"\xab\xcd"


def test_ccsds_header_and_parameters():
    recipe = [item(v, bits=b) for v, b in [(0, 3), (1, 1), (1, 1), (0x7FF, 11), (3, 2), (0x3FFF, 14), (9, 16)]]
    recipe += [item(-1, bits=16, encoding="twos_complement"), item(2.5, bits=32, encoding="ieee754")]
    header = (0b000 << 13 | 1 << 12 | 1 << 11 | 0x7FF, 3 << 14 | 0x3FFF, 9)
    assert pack_parameters(recipe) == struct.pack(">HHHhf", *header, -1, 2.5)


# Every packing spelling selects its codec: 7 in 16 bits, or "Az" in 96 bits.
def _int(codec, *signed):
    return lambda: codec(7, 16, *signed).to_bytes(2, "big")


def _text(codec):
    return lambda: codec("Az").ljust(12, b"\0")


SPELLINGS = {
    "twoscomplement twos_complement twos-complement": _int(kestrune.encode_twos_complement),
    "onescomplement ones_complement ones-complement": _int(kestrune.encode_ones_complement),
    "signmagnitude sign_magnitude sign-magnitude": _int(kestrune.encode_sign_magnitude),
    "bcd": _int(kestrune.encode_unpacked_bcd), "bcdsigned bcd_signed bcd-signed": _int(kestrune.encode_unpacked_bcd, True),
    "packedbcd packed_bcd packed-bcd": _int(kestrune.encode_packed_bcd),
    "packedbcdsigned packed_bcd_signed packed-bcd-signed": _int(kestrune.encode_packed_bcd, True),
    "utf8 utf_8 utf-8": _text(kestrune.encode_utf8), "utf16 utf_16 utf-16": _text(kestrune.encode_utf16),
    "utf16le utf_16_le utf-16le": _text(kestrune.encode_utf16le), "utf16be utf_16_be utf-16be": _text(kestrune.encode_utf16be),
    "utf32 utf_32 utf-32": _text(kestrune.encode_utf32), "utf32le utf_32_le utf-32le": _text(kestrune.encode_utf32le),
    "utf32be utf_32_be utf-32be": _text(kestrune.encode_utf32be), "usascii us_ascii us-ascii": _text(kestrune.encode_us_ascii),
    "iso8859_1 iso8859-1 iso_8859_1 iso-8859-1": _text(kestrune.encode_iso_8859_1),
    "windows1252 windows_1252 windows-1252": _text(kestrune.encode_windows_1252),
}


@pytest.mark.parametrize("name, expected", [(n, e) for names, e in SPELLINGS.items() for n in names.split()])
def test_spellings(name, expected):
    text = name.startswith(("utf", "us", "iso", "win"))
    recipe = [item("Az", bits=96, encoding=name) if text else item(7, bits=16, encoding=name.upper())]
    assert pack_parameters(recipe) == expected()


@pytest.mark.parametrize("name, bits, message", [
    ("ieee_754-1985", 80, "IEEE 754-1985 f80"), ("mil_std-1750a", 48, "MIL-STD-1750A f48"), ("TI", 40, "TI f40"),
    ("dec", 32, "DEC f32"), ("ibm", 64, "IBM f64"), ("ieee754", 128, "IEEE 754 f128"),
])
def test_unimplemented_float_formats(name, bits, message):
    assert pack_error([item(1.0, bits=bits, encoding=name)]) == \
        f"NotImplementedError: {message} encoding not yet implemented"
    # The value is converted first.
    assert pack_error([item("x", bits=bits, encoding=name)]).startswith("TypeError: ")


@pytest.mark.parametrize("name", [
    "utf16-le", "iso_8859-1", "ieee-754-1985", "mil-std_1750a", "ascii", "latin1", "integer", "signed",
    " utf8", "utf8 ", "ieee754_f32", "", "FOO", "unsıgned", "utf8\u212a",
])
def test_unsupported_encodings_echo_the_name(name):
    assert pack_error([item(0, encoding=name)]) == f"ValueError: Unsupported encoding type: {name}"


# ---------------------------------------------------------------- errors

class Index:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


class StrFails(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raise_(exc):
    def action():
        raise exc
    return action


@pytest.mark.parametrize("recipe, message", [
    ([5], "TypeError: 'int' object cannot be cast as 'dict'"),
    ([item(), [1]], "TypeError: 'list' object cannot be cast as 'dict'"),
    ([without("bits")], "KeyError: \"Recipe missing required field: 'bits'\""),
    ([without("name")], "KeyError: \"Recipe missing required field: 'name'\""),
    ([without("encoding")], "KeyError: \"Recipe missing required field: 'encoding'\""),
    ([without("byte_order")], "KeyError: \"Recipe missing required field: 'byte_order'\""),
    ([without("reverse_bits")], "KeyError: \"Recipe missing required field: 'reverse_bits'\""),
    ([without("value", name="temp")], "KeyError: \"Recipe item 'temp' missing required field: 'value'\""),
    ([item(bits="8")], "TypeError: 'str' object cannot be interpreted as an integer"),
    ([item(bits=-1)], "OverflowError: out of range integral type conversion attempted"),
    ([item(offset_bits=-1)], "OverflowError: can't convert negative int to unsigned"),
    ([item(offset_bits=1.0)], "TypeError: 'float' object cannot be interpreted as an integer"),
    ([item(name=None)], "TypeError: 'NoneType' object cannot be cast as 'str'"),
    ([item(byte_order=3)], "TypeError: 'int' object cannot be cast as 'str'"),
    ([item(reverse_bits=1)], "TypeError: 'int' object cannot be cast as 'bool'"),
    ([item(256)], "ValueError: Value 256 is too large for 8 bits"),
    ([item(1, bits=0)], "ValueError: Value 1 is too large for 0 bits"),
    ([item(2**64, bits=64)], "OverflowError: int too big to convert"),
    ([item(1, bits=65)], "ValueError: Cannot encode 65 bits from a 64-bit value"),
    # BCD fields wider than 64 bits: the encoder's own checks, then the width.
    ([item(2116247851, bits=90, encoding="bcd")], "ValueError: Cannot encode 90 bits from a 64-bit value"),
    ([item(-10**16, bits=72, encoding="packed_bcd_signed")], "ValueError: Cannot encode 72 bits from a 64-bit value"),
    ([item(-1, bits=72, encoding="packed_bcd")], "ValueError: Cannot encode negative value in unsigned BCD"),
    ([item(10**18, bits=68, encoding="packed_bcd")],
     "ValueError: Value 1000000000000000000 has too many digits for 17 BCD digits"),
    ([item(10**10, bits=80, encoding="bcd_signed")],
     "ValueError: Value 10000000000 has too many digits for 10 BCD digits"),
    ([item(2**63, encoding="twos_complement")], "OverflowError: Python int too large to convert to C long"),
    ([item(128, encoding="twos_complement")], "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)"),
    ([item(0, bits=1, encoding="sign_magnitude")],
     "ValueError: bits must be between 2 and 64 for sign-magnitude encoding"),
    ([item(1.0, bits=24, encoding="ieee754")],
     "ValueError: Unsupported IEEE 754 bit width: 24 (supported: 16, 32, 64, 128)"),
    ([item(1.0, bits=16, encoding="ieee754_1985")],
     "ValueError: Unsupported IEEE 754-1985 bit width: 16 (supported: 32, 64, 80)"),
    ([item(1.0, bits=64, encoding="mil_std_1750a")],
     "ValueError: Unsupported MIL-STD-1750A bit width: 64 (supported: 32, 48)"),
    ([item(1.0, bits=64, encoding="ti")], "ValueError: Unsupported TI float bit width: 64 (supported: 32, 40)"),
    ([item(1.0, bits=40, encoding="dec")], "ValueError: Unsupported DEC float bit width: 40 (supported: 32, 64)"),
    ([item(1.0, bits=16, encoding="ibm")], "ValueError: Unsupported IBM float bit width: 16 (supported: 32, 64)"),
    ([item("1.0", bits=32, encoding="ieee754")], "TypeError: must be real number, not str"),
    ([item("ab", bits=16, encoding="binary")], "TypeError: Can't extract `str` to `Vec`"),
    ([item(5, encoding="binary")], "TypeError: 'int' object cannot be cast as 'Sequence'"),
    ([item(b"A", encoding="utf8")], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ([item("\ud800", bits=64, encoding="utf8")],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ([item("é", encoding="us-ascii")], "ValueError: Character 'é' (U+00E9) is not valid US-ASCII"),
    ([item(byte_order="Middle")], "ValueError: Invalid byte_order 'Middle': must be 'big' or 'little'"),
    ([item(Index(0, raise_(StrFails())))], "StrFails: <exception str() failed>"),
    ([item(Index(0, raise_(MemoryError("x"))))], "MemoryError: x"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_wrapped_failures(recipe, message):
    assert pack_error(recipe) == message


@pytest.mark.parametrize("recipe, message", [
    # The sizing pass reads only bits and offset_bits, of every item, first.
    ([without("name"), item(), 7], "TypeError: 'int' object cannot be cast as 'dict'"),
    ([without("name"), item(bits="x")], "TypeError: 'str' object cannot be interpreted as an integer"),
    # Key order of the writing pass.
    ([{"bits": 8}], "KeyError: \"Recipe missing required field: 'name'\""),
    ([without("encoding", byte_order=None)], "KeyError: \"Recipe missing required field: 'encoding'\""),
    ([without("reverse_bits", offset_bits="x")], "TypeError: 'str' object cannot be interpreted as an integer"),
    ([without("value", name="v", encoding="nope")], "KeyError: \"Recipe item 'v' missing required field: 'value'\""),
    # Width before value, encoding before byte order, codec before byte order.
    ([item("x", bits=24, encoding="ieee754")],
     "ValueError: Unsupported IEEE 754 bit width: 24 (supported: 16, 32, 64, 128)"),
    ([item(0, encoding="nope", byte_order="middle")], "ValueError: Unsupported encoding type: nope"),
    ([item(300, byte_order="middle")], "ValueError: Value 300 is too large for 8 bits"),
    ([item(5000, bits=12, byte_order="little")], "ValueError: Value 5000 is too large for 12 bits"),
    ([item("ABC", bits=12, encoding="utf8", byte_order="little")],
     "ValueError: Encoded text of 3 bytes does not fit in 12 bits"),
    # The first failing item ends the build.
    ([item(1), item(999), item(byte_order="x")], "ValueError: Value 999 is too large for 8 bits"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_error_order(recipe, message):
    assert pack_error(recipe) == message


@pytest.mark.parametrize("recipe, message", [
    ("abc", "argument 'recipe': Can't extract `str` to `Vec`"),
    (5, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
])
def test_recipe_argument_errors_are_not_wrapped(recipe, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        pack_parameters(recipe)


# ---------------------------------------------------------------- mended faults

def test_default_offset_follows_previous_item_in_both_passes():
    # Sizing at "largest end so far" would leave a trailing 00 that no field covers.
    recipe = [item(0xAA, offset_bits=16), item(0xBB, offset_bits=0), item(0xCC)]
    assert pack_parameters(recipe).hex() == "bbccaa"


@pytest.mark.parametrize("bits, encoding, value", [
    (12, "unsigned", 0xABC), (4, "twos_complement", -1), (12, "packed_bcd", 123),
    (12, "binary", b"\x0a\xbc"), (20, "utf8", "A"),
])
def test_little_endian_needs_whole_bytes(bits, encoding, value):
    assert pack_error([item(value, bits=bits, encoding=encoding, byte_order="Little")]) == (
        f"ValueError: Invalid byte_order 'Little': little-endian fields must be a whole number of bytes "
        f"(got {bits} bits)")


@pytest.mark.parametrize("value, bits, encoding, message", [
    ("ABC", 16, "utf8", "Encoded text of 3 bytes does not fit in 16 bits"),
    ("A", 7, "us-ascii", "Encoded text of 1 bytes does not fit in 7 bits"),
    ("é", 8, "utf8", "Encoded text of 2 bytes does not fit in 8 bits"),
    (b"\x01\x02\x03", 12, "binary", "Binary value of 3 bytes does not fit in 12 bits"),
    (b"\x01", 0, "binary", "Binary value of 1 bytes does not fit in 0 bits"),
])
def test_text_and_binary_are_never_cut(value, bits, encoding, message):
    assert pack_error([item(value, bits=bits, encoding=encoding)]) == f"ValueError: {message}"


@pytest.mark.parametrize("recipe, message", [
    ([item(offset_bits=2**64 - 8)], "ValueError: offset_bits 18446744073709551608 + bits 8 is beyond 2**64 - 1"),
    ([item(bits=2**32 - 1, offset_bits=2**64 - 2**32 + 1)],
     "ValueError: offset_bits 18446744069414584321 + bits 4294967295 is beyond 2**64 - 1"),
    ([item(offset_bits=2**64 - 16), item()], "ValueError: offset_bits 18446744073709551608 + bits 8 is beyond 2**64 - 1"),
])
def test_position_overflow(recipe, message):
    assert pack_error(recipe) == message


@huge_allocations
@pytest.mark.parametrize("offset, bits, size", [
    # Ends at 2**64 - 1: (end + 7) div 8 is 2**61 bytes, not a wrapped tiny packet.
    (2**64 - 9, 8, 2**61), (2**64 - 2**32, 2**32 - 1, 2**61), (2**63, 8, 2**60 + 1), (2**50, 8, 2**47 + 1),
])
def test_huge_packet_fails_promptly(offset, bits, size):
    assert pack_error([item(offset_bits=offset, bits=bits)]) == f"MemoryError: Cannot allocate a packet of {size} bytes"
    assert pack_parameters([item(1)]) == b"\x01"


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_propagate(exc):
    with pytest.raises(exc):
        pack_parameters([item(Index(0, raise_(exc())))])

    class Recipe:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise exc()

    with pytest.raises(exc):
        pack_parameters(Recipe())


# ---------------------------------------------------------------- hostile recipes

def test_dict_subclass_hooks_are_not_consulted():
    class Sneaky(dict):
        def __getitem__(self, key):
            return 0xFF

        def __missing__(self, key):
            return True

        def get(self, key, default=None):
            return 0xFF

    assert pack_parameters([Sneaky(item(0x12))]) == b"\x12"
    assert pack_error([Sneaky(without("reverse_bits"))]) == \
        "KeyError: \"Recipe missing required field: 'reverse_bits'\""
    assert pack_parameters([item(0, bits=0, offset_bits=0), Sneaky(item(1))]) == b"\x01"


@pytest.mark.parametrize("change, fits", [
    ({"bits": 4096, "encoding": "binary", "value": b"\xab" * 512}, False),
    ({"offset_bits": 10**12, "bits": 64}, False),
    ({"offset_bits": 9}, False),  # one bit past the packet
    ({"bits": 4}, True),
    ({"offset_bits": 4}, True),
    ({"offset_bits": 8, "bits": 8}, True),
])
def test_item_changed_by_an_earlier_value(change, fits):
    # The first value's conversion changes the second item after the packet
    # was sized for it: a field that no longer fits fails instead of being
    # clipped; one that still fits is written as the changed item says.
    first, second = item(1), item(2, name="q", offset_bits=8)
    first["value"] = Index(1, lambda: second.update(change))
    if fits:
        assert pack_parameters([first, second]) == pack_parameters([item(1), second])
    else:
        assert pack_error([first, second]) == \
            "ValueError: item 'q' no longer fits the packet sized before its values were converted"


def test_mutation_keeps_the_item_strings_alive():
    recipe = []
    order = "".join(["li", "ttle"])
    first = item(0x1234, bits=16, byte_order=order, encoding="".join(["uns", "igned"]))

    def scramble():
        first.clear()
        first.update(byte_order="big", encoding="utf8", bits=64)
        recipe.clear()

    first["value"] = Index(0x1234, scramble)
    recipe.extend([first, item(0xAB)])
    del order
    assert pack_parameters(recipe) == b"\x34\x12\xab"


# ---------------------------------------------------------------- property

def oracle(fields):
    """An independent bit writer on Python ints: each field's bits are ORed
    into a big integer after clearing their span."""
    pos, end, placed = 0, 0, []
    for f in fields:
        off = f.get("offset_bits", pos)
        pos = off + f["bits"]
        end = max(end, pos)
        placed.append((off, f))
    total = (end + 7) // 8 * 8
    packet = 0
    for off, f in placed:
        bits = f["bits"]
        if f["encoding"] == "binary":
            v = int.from_bytes(f["value"], "big") % (1 << bits)
        else:
            v = f["value"]
        if f["reverse_bits"]:
            v = int(format(v, f"0{bits}b")[::-1], 2) if bits else 0
        if f["byte_order"] == "little":
            v = int.from_bytes(v.to_bytes(bits // 8, "big"), "little")
        shift = total - off - bits
        packet = packet & ~(((1 << bits) - 1) << shift) | (v << shift)
    return packet.to_bytes(total // 8, "big")


@st.composite
def fields(draw):
    bits = draw(st.integers(0, 64))
    enc = draw(st.sampled_from(["unsigned", "binary"]))
    if enc == "binary":
        value = draw(st.binary(max_size=(bits + 7) // 8))
    else:
        value = draw(st.integers(0, (1 << bits) - 1))
    f = item(value, bits=bits, encoding=enc, reverse_bits=draw(st.booleans()),
             byte_order=draw(st.sampled_from(["big", "little"] if bits % 8 == 0 else ["big"])))
    if draw(st.booleans()):
        f["offset_bits"] = draw(st.integers(0, 150))
    return f


@settings(max_examples=300, deadline=None)
@given(st.lists(fields(), max_size=8))
def test_matches_independent_bit_writer(recipe):
    assert pack_parameters(recipe) == oracle(recipe)


def test_many_distinct_name_objects():
    # More distinct encoding and byte-order objects than the builder remembers
    # per call, repeated: each item must still pack as it does alone.
    encodings = ["unsigned", "UNSIGNED", "Unsigned", "twoscomplement", "twos_complement", "twos-complement",
                 "TwosComplement", "onescomplement", "ones_complement", "SIGNMAGNITUDE", "packed_bcd"]
    orders = ["big", "BIG", "little", "Little", "bIG"]
    recipe = [item(i % 90 + 1, bits=16, encoding=encodings[i % 11], byte_order=orders[i % 5])
              for i in range(40)]
    assert pack_parameters(recipe) == b"".join(pack_parameters([r]) for r in recipe)
    recipe[33]["byte_order"] = "middle"
    assert pack_error(recipe) == "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"
    # A remembered "little" object still refuses a width that is not whole bytes.
    recipe[33]["byte_order"], recipe[37]["bits"] = "big", 12
    assert pack_error(recipe) == ("ValueError: Invalid byte_order 'little': little-endian fields must be a whole "
                                  "number of bytes (got 12 bits)")


@settings(max_examples=300, deadline=None)
@given(width=st.integers(1, 64), offset=st.integers(0, 20), tail=st.integers(0, 12), little=st.booleans(),
       reverse=st.booleans(), data=st.data())
def test_numeric_fields_are_laid_like_their_bytes(width, offset, tail, little, reverse, data):
    """A number and the binary field of its bytes land on the same bits, over
    set bits, at any offset, also where the packet ends within eight bytes."""
    if little:
        width = max(8, width - width % 8)
    value = data.draw(st.integers(0, 2**width - 1))
    size = (offset + width + tail + 7) // 8
    layout = dict(bits=width, offset_bits=offset, byte_order="little" if little else "big", reverse_bits=reverse)
    ones = item(b"\xff" * size, bits=8 * size, encoding="binary", name="ones")
    as_number = pack_parameters([ones, item(value, **layout)])
    as_bytes = pack_parameters([ones, item(value.to_bytes((width + 7) // 8), encoding="binary", **layout)])
    assert as_number == as_bytes


def binary_field_reference(data, bits, reverse_bits, little):
    """The field's bits as an int: the data right-aligned in the field, its
    bits before the field dropped, then mirrored and byte-swapped."""
    v = int.from_bytes(data, "big") & ((1 << bits) - 1)
    if reverse_bits:
        v = int(format(v, f"0{bits}b")[::-1] or "0", 2)
    if little:
        v = int.from_bytes(v.to_bytes(bits // 8, "big"), "little")
    return v


@settings(max_examples=300, deadline=None)
@given(data=st.binary(max_size=80), spare=st.integers(0, 30), offset=st.integers(0, 20), reverse_bits=st.booleans(),
       little=st.booleans(), kind=st.sampled_from([bytes, bytearray, list]))
def test_binary_fields_at_any_offset(data, spare, offset, reverse_bits, little, kind):
    # Between two all-ones fields, so that every bit around it is checked.
    bits = max(0, 8 * len(data) - spare % 8) if spare < 8 else 8 * len(data) + spare
    if little:
        bits -= bits % 8
        if len(data) > bits // 8:
            data = data[len(data) - bits // 8:]
    tail = 13
    recipe = [item((1 << offset) - 1, bits=offset, name="head"),
              item(kind(data), bits=bits, encoding="binary", reverse_bits=reverse_bits,
                   byte_order="little" if little else "big", name="data"),
              item((1 << tail) - 1, bits=tail, name="tail")]
    total = offset + bits + tail
    expected = ((((1 << offset) - 1) << (bits + tail)) | (binary_field_reference(data, bits, reverse_bits, little) << tail)
                | ((1 << tail) - 1)) << (-total % 8)
    assert pack_parameters(recipe) == expected.to_bytes((total + 7) // 8, "big")
