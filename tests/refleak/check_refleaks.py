"""Reference-leak check of every module function on a debug interpreter.

Run by scripts/refleak.sh with a CPython built --with-pydebug (it needs
sys.gettotalrefcount). Each case is one call, on a success or an error path,
and is repeated in rounds until the interpreter's total reference count and
its count of allocated memory blocks stop changing; a case that still grows
after the last round fails, and its growth per round is printed.

The packet cases run each recipe in three ways, so that a recipe cache in the
packet functions is exercised on all its paths: the same recipe object every
call (hit), a recipe whose item dicts are changed between calls (drop and
refill), and a fresh copy every call (fill, then removal when the dicts die).

Every call's outcome is compared with the outcome of the same call on a fresh
copy of its arguments, so a path that leaks nothing but answers differently
also fails. The module's name list decides which functions must be covered.
"""

from __future__ import annotations

import argparse
import collections.abc
import copy
import gc
import math
import sys
from dataclasses import dataclass
from typing import Any, Callable

import kestrune as k

WARMUP = 10  # calls before measuring: fills interpreter-level caches
CALLS = 20  # calls per measured round
STABLE = 3  # rounds in a row without growth that make a case pass
MAX_ROUNDS = 12
CONFIRM_CALLS = 5000  # calls of the long run that tells a burst from a leak
BURST = 2 * CALLS  # most (references, blocks) a long run may gain without leaking


@dataclass
class Case:
    label: str
    function: str  # the module function the case covers
    call: Callable[[], Any]
    expect: Any  # the result, or (exception type, message) for a failure
    fails: bool


def outcome(call: Callable[[], Any]) -> Any:
    try:
        result = call()
    except Exception as error:  # every failure of these calls is an Exception
        return ("raises", type(error), str(error))
    if isinstance(result, float) and math.isnan(result):
        return ("nan",)
    return ("returns", type(result), result)


CASES: list[Case] = []


def ok(function: str, *args: Any, label: str = "", **kwargs: Any) -> None:
    """A success case; its expected result is that of a call on fresh arguments."""
    fn = getattr(k, function)
    call = lambda: fn(*args, **kwargs)  # noqa: E731
    expect = outcome(lambda: fn(*copy.deepcopy(args), **copy.deepcopy(kwargs)))
    assert expect[0] != "raises", f"{function}{args}: a success case fails: {expect}"
    CASES.append(Case(label or f"{function} ok", function, call, expect, fails=False))


def err(function: str, exc: type, message: str, *args: Any, label: str = "", **kwargs: Any) -> None:
    fn = getattr(k, function)
    CASES.append(Case(label or f"{function}: {message}", function, lambda: fn(*args, **kwargs),
                      ("raises", exc, message), fails=True))


# ---- call frame: binding and argument conversion ----
err("encode_ones_complement", TypeError, "encode_ones_complement() takes 2 positional arguments but 3 were given",
    1, 2, 3)
err("decode_packed_bcd", TypeError, "decode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given",
    1, 2, 3, 4)
err("encode_utf8", TypeError, "encode_utf8() got multiple values for argument 'text'", "a", text="b")
err("encode_utf8", TypeError, "encode_utf8() got an unexpected keyword argument 'tex'", text="a", tex=1)
err("decode_packed_bcd", TypeError, "decode_packed_bcd() missing 1 required positional argument: 'bits'", 1)
err("unpack_parameters", TypeError, "unpack_parameters() missing 3 required positional arguments: "
    "'packet_bytes', 'offset_bits', and 'recipe'")
err("encode_utf8", TypeError, "argument 'text': 'bytes' object cannot be cast as 'str'", b"a")
err("encode_utf16", UnicodeEncodeError,
    "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed", "\ud800")
err("decode_us_ascii", TypeError, "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'", bytearray(b"a"))
err("encode_packed_bcd", TypeError, "argument 'signed': 'int' object cannot be cast as 'bool'", 1, 8, 1)
err("encode_ieee754_f32", TypeError, "argument 'value': must be real number, not str", "x")
err("encode_twos_complement", OverflowError, "Python int too large to convert to C long", 2**63, 8)
err("decode_sign_magnitude", OverflowError, "out of range integral type conversion attempted", 1, 2**32)
err("decode_ones_complement", OverflowError, "can't convert negative int to unsigned", -1, 8)
err("decode_twos_complement", TypeError, "argument 'value': 'str' object cannot be interpreted as an integer",
    "x", 8)
err("decode_ieee754_f128", OverflowError, "Python int larger than 128 bits", 1 << 130)
err("decode_ieee754_f128", ValueError, "Cannot convert negative int", -1)


class Index:
    """An int stand-in whose conversion runs Python code (and may fail)."""

    def __init__(self, value: int, fail: bool = False) -> None:
        self.value, self.fail = value, fail

    def __index__(self) -> int:
        if self.fail:
            raise LookupError("no index today")
        return self.value


class Real:
    def __float__(self) -> float:
        return 2.5


ok("decode_unpacked_bcd", Index(0x0102), Index(16), label="decode_unpacked_bcd via __index__")
ok("encode_ieee754_f64", Real(), label="encode_ieee754_f64 via __float__")
err("encode_sign_magnitude", LookupError, "no index today", Index(1, fail=True), 8)

# ---- integer codecs ----
for name in ("decode_ones_complement", "decode_twos_complement", "decode_sign_magnitude"):
    ok(name, 0x81, 8)
    ok(name, 2**64 - 1, 64, label=f"{name} 64 bits")
ok("encode_ones_complement", -5, 8)
ok("encode_twos_complement", -(2**63), 64)
ok("encode_sign_magnitude", -5, 8)
err("encode_sign_magnitude", ValueError, "bits must be between 2 and 64 for sign-magnitude encoding", 0, 1)
err("encode_sign_magnitude", ValueError, "Magnitude of -8 is too large for 4 bits", -8, 4)
err("encode_ones_complement", ValueError, "bits must be <= 64 for ones' complement encoding", 1, 65)
err("encode_ones_complement", ValueError, "Value 8 is too large for 4 bits", 8, 4)
err("encode_ones_complement", ValueError, "Value -8 is too large (magnitude) for 4 bits", -8, 4)
err("encode_twos_complement", ValueError, "bits must be <= 64 for two's complement encoding", 1, 65)
err("encode_twos_complement", ValueError, "Value 8 out of range for 4 bits (range: -8 to 7)", 8, 4)

# ---- BCD codecs ----
ok("encode_packed_bcd", -123, 16, True)
ok("encode_packed_bcd", 9999999999999999, 64, signed=False)
ok("encode_unpacked_bcd", -123, 24, True)
ok("decode_packed_bcd", 0x123D, 16, True)
ok("decode_unpacked_bcd", 0xF1F2D3, 24, signed=True)
err("encode_packed_bcd", ValueError, "bits must be >= 4 for packed BCD", 5, 3)
err("encode_packed_bcd", ValueError, "Cannot encode negative value in unsigned BCD", -1, 16)
err("encode_packed_bcd", ValueError, "Value 1234 has too many digits for 3 BCD digits", 1234, 16, True)
err("encode_unpacked_bcd", ValueError, "bits must be >= 8 for unpacked BCD", 5, 7)
err("encode_unpacked_bcd", ValueError, "Cannot encode negative value in unsigned BCD", -123, 24)
err("encode_unpacked_bcd", ValueError, "Value 100000000 has too many digits for 8 BCD digits", 100000000, 64)
err("decode_packed_bcd", ValueError, "Invalid BCD digit: 10 (must be 0-9)", 0x12A4, 16)
err("decode_packed_bcd", ValueError, "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD",
    0x1239, 16, True)
err("decode_unpacked_bcd", ValueError, "Invalid BCD digit: 51 (must be 0-9)", 0x313233, 24)
err("decode_unpacked_bcd", ValueError, "Invalid zoned decimal signed byte: 0xA3 (expected 0x30-0x39, 0xC0-0xC9, "
    "0xD0-0xD9, or 0xF0-0xF9)", 0xF1F2A3, 24, True)
err("decode_unpacked_bcd", ValueError, "Invalid zoned decimal byte: 0xE2 (expected ASCII 0x30-0x39 or EBCDIC "
    "0xF0-0xF9)", 0xF1E2C3, 24, True)

# ---- floating-point codecs ----
ok("decode_ieee754_f16", 0x7E01)
ok("decode_ieee754_f32", 0x3F800000)
ok("decode_ieee754_f64", 0x7FF0000000000000)
ok("decode_ieee754_f128", 0x3FFF8000000000000000000000000000)
ok("encode_ieee754_f16", 65520.0)
ok("encode_ieee754_f32", 1e-46)
ok("encode_ieee754_f64", float("nan"))
err("decode_ieee754_f16", OverflowError, "can't convert negative int to unsigned", -1)
err("decode_ieee754_f32", TypeError, "argument 'value': 'str' object cannot be interpreted as an integer", "x")
err("decode_ieee754_f64", OverflowError, "int too big to convert", 2**64)
err("encode_ieee754_f16", TypeError, "argument 'value': must be real number, not NoneType", None)
err("encode_ieee754_f64", TypeError, "argument 'value': must be real number, not bytes", b"x")
STUB_FAMILIES = {"ieee754_1985": "IEEE 754-1985", "ieee754": "IEEE 754", "mil_std_1750a": "MIL-STD-1750A",
                 "dec": "DEC", "ibm": "IBM", "ti": "TI"}
STUBS = {
    f"{direction}_{family}_{width}": (direction, f"{title} {width}")
    for family, title in STUB_FAMILIES.items()
    for direction in ("encode", "decode")
    for width in ("f32", "f40", "f48", "f64", "f80", "f128")
    if f"{direction}_{family}_{width}" in k.__all__
    and f"{direction}_{family}_{width}" not in {"decode_ieee754_f32", "decode_ieee754_f64", "decode_ieee754_f128",
                                                  "encode_ieee754_f32", "encode_ieee754_f64"}
}
for name, (direction, title) in STUBS.items():
    err(name, NotImplementedError, f"{title} {'encoding' if direction == 'encode' else 'format'} not yet implemented", 1)
    err(name, TypeError, "argument '_value': must be real number, not NoneType" if direction == "encode"
        else "argument '_value': 'NoneType' object cannot be interpreted as an integer", None,
        label=f"{name}: conversion fails before the stub")

# ---- text codecs ----
SAMPLE = "Aé€\U0001F600"
for name in ("utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"):
    ok(f"encode_{name}", SAMPLE)
    ok(f"decode_{name}", getattr(k, f"encode_{name}")(SAMPLE))
for name, text in (("us_ascii", "abc"), ("iso_8859_1", "é\xff"), ("windows_1252", "€\x81é")):
    ok(f"encode_{name}", text)
    ok(f"decode_{name}", getattr(k, f"encode_{name}")(text))
ok("decode_windows_1252", b"\xef\xbb\xbf\xc3\xa9", label="decode_windows_1252 after a mark")
err("decode_utf8", ValueError, "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0", b"\xff")
err("decode_utf8", ValueError, "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 1", b"a\xe2\x82")
err("decode_utf16", ValueError, "UTF-16 requires an even number of bytes with at least 2 bytes", b"A")
err("decode_utf16", ValueError, "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found", b"\xff\xfe\x00\xd8")
err("decode_utf16le", ValueError, "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found", b"\x00\xd8")
err("decode_utf16be", ValueError, "UTF-16 requires an even number of bytes", b"abc")
err("decode_utf32", ValueError, "UTF-32 requires a multiple of 4 bytes with at least 4 bytes", b"")
err("decode_utf32", ValueError, "Invalid UTF-32 codepoint: 0x00110000", b"\x00\x11\x00\x00")
err("decode_utf32le", ValueError, "UTF-32 requires a multiple of 4 bytes", b"abcde")
err("decode_utf32be", ValueError, "Invalid UTF-32 codepoint: 0x0000D800", b"\x00\x00\xd8\x00")
err("encode_us_ascii", ValueError, "Character '\U0001F600' (U+1F600) is not valid US-ASCII", "a\U0001F600b")
err("encode_iso_8859_1", ValueError, "Character '€' (U+20AC) is not valid ISO-8859-1", "€")
err("encode_windows_1252", ValueError, "Failed to encode to Windows-1252", "\x80")
err("decode_us_ascii", ValueError, "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)", b"ab\x80\xff")
err("decode_windows_1252", ValueError, "Failed to decode Windows-1252 bytes", b"\xff\xfeA")
err("decode_iso_8859_1", TypeError, "argument 'bytes': 'str' object cannot be cast as 'bytes'", "x")
err("encode_utf32", UnicodeEncodeError,
    "'utf-8' codec can't encode character '\\udc00' in position 1: surrogates not allowed", "a\udc00")
for name in ("utf32le", "utf32be", "utf16be", "utf16le"):
    err(f"encode_{name}", TypeError, "argument 'text': 'NoneType' object cannot be cast as 'str'", None)


# ---- packet functions ----
def item(name: str, encoding: str, bits: Any, value: Any = None, order: str = "big", reverse: bool = False,
         **extra: Any) -> dict:
    d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": order, "reverse_bits": reverse}
    if value is not None:
        d["value"] = value
    d.update(extra)
    return d


class Recipe(collections.abc.Sequence):
    """A recipe that is a Sequence without being a list or tuple."""

    def __init__(self, items: list) -> None:
        self.items = items

    def __len__(self) -> int:
        return len(self.items)

    def __getitem__(self, i: Any) -> Any:
        return self.items[i]


class BadStr(Exception):
    def __str__(self) -> str:
        raise RuntimeError("no text")


class BadIndex:
    def __index__(self) -> int:
        raise BadStr()


PACK_OK = [
    item("u", "unsigned", 12, 0xABC, offset_bits=4),
    item("t", "twos_complement", 16, -2, "little"),
    item("o", "ones_complement", 8, -5, reverse=True),
    item("s", "sign_magnitude", 8, -5),
    item("b", "bcd", 16, 42),
    item("bs", "bcd_signed", 24, -123),
    item("p", "packed_bcd", 16, 1234),
    item("ps", "packed_bcd_signed", 16, -123, "LITTLE"),
    item("h", "ieee754", 16, 1.5),
    item("f", "ieee754", 32, -2),
    item("d", "ieee754", 64, 1e300, "little"),
    item("r", "binary", 20, b"\x0f\xff\xff"),
    item("ra", "binary", 16, bytearray(b"\x01\x02")),
    item("rl", "binary", 16, [1, 2]),
    item("a", "us_ascii", 24, "abc"),
    item("l", "iso8859_1", 16, "é"),
    item("w", "windows1252", 16, "€"),
    item("u8", "utf8", 64, SAMPLE[:3]),
    item("u16", "utf16", 48, "AB"),
    item("u16l", "utf16le", 32, "AB", "little"),
    item("u16b", "utf16be", 32, "AB"),
    item("u32", "utf32", 96, "AB"),
    item("u32l", "utf32le", 64, "AB"),
    item("u32b", "utf32be", 64, "AB"),
    item("z", "unsigned", 0, 0),
    item("idx", "unsigned", Index(8), Index(255)),
]
DECODER_NAMES = {"iso8859_1": "latin1", "windows1252": "windows_1252"}


def unpacking(d: dict, offset: int) -> dict:
    """The item that reads back what `d` packed, at its offset."""
    out = {key: value for key, value in d.items() if key != "value"}
    encoding = d["encoding"]
    out["encoding"] = f"ieee754_f{d['bits']}" if encoding == "ieee754" else DECODER_NAMES.get(encoding, encoding)
    out["offset_bits"] = offset
    return out


UNPACK_OK = []
position = 0
for d in PACK_OK:
    position = d.get("offset_bits", position)
    if d["encoding"] != "binary" and not isinstance(d["bits"], Index):
        UNPACK_OK.append(unpacking(d, position))
    position += int(d["bits"])
UNPACK_OK += [
    item("wide", "unsigned", 64, offset_bits=0),
    item("u", "unsigned", 4, offset_bits=0),  # a repeated name: one entry, the later value
    item("next", "utf8", 0),  # follows the previous item
]
# The packed example, packed again: unpacking it yields values of every kind.
PACKET = k.pack_parameters(copy.deepcopy([d for d in PACK_OK if not isinstance(d["bits"], Index)]))

# (label, recipe, expected text of the ValueError) for pack_parameters.
PACK_ERRORS = [
    ("not a dict", [item("a", "unsigned", 8, 1), 5], "TypeError: 'int' object cannot be cast as 'dict'"),
    ("missing bits", [{"name": "a", "encoding": "unsigned"}], "KeyError: \"Recipe missing required field: 'bits'\""),
    ("missing name", [{"bits": 8, "encoding": "unsigned"}], "KeyError: \"Recipe missing required field: 'name'\""),
    ("missing value", [item("temp", "foo", 8)], "KeyError: \"Recipe item 'temp' missing required field: 'value'\""),
    ("unsupported encoding", [item("a", "utf16-le", 8, "x", "middle")],
     "ValueError: Unsupported encoding type: utf16-le"),
    ("float width", [item("a", "ieee754", 24, 1.0)],
     "ValueError: Unsupported IEEE 754 bit width: 24 (supported: 16, 32, 64, 128)"),
    ("unsigned too large", [item("a", "unsigned", 8, 256)], "ValueError: Value 256 is too large for 8 bits"),
    ("unsigned too wide", [item("a", "unsigned", 65, 1)], "ValueError: Cannot encode 65 bits from a 64-bit value"),
    ("byte order", [item("a", "unsigned", 8, 1, "Middle")],
     "ValueError: Invalid byte_order 'Middle': must be 'big' or 'little'"),
    ("little-endian part byte", [item("a", "unsigned", 12, 1, "little")],
     "ValueError: Invalid byte_order 'little': little-endian fields must be a whole number of bytes (got 12 bits)"),
    ("bits of wrong type", [item("a", "unsigned", "8", 1)],
     "TypeError: 'str' object cannot be interpreted as an integer"),
    ("bits out of range", [item("a", "unsigned", -1, 1)],
     "OverflowError: out of range integral type conversion attempted"),
    ("offset out of range", [item("a", "unsigned", 8, 1, offset_bits=2**64)],
     "OverflowError: int too big to convert"),
    ("reverse_bits not bool", [item("a", "unsigned", 8, 1, reverse=1)],
     "TypeError: 'int' object cannot be cast as 'bool'"),
    ("name not str", [item(3, "unsigned", 8, 1)], "TypeError: 'int' object cannot be cast as 'str'"),
    ("value of wrong type", [item("a", "utf8", 8, 5)], "TypeError: 'int' object cannot be cast as 'str'"),
    ("codec failure", [item("a", "twos_complement", 4, 8)],
     "ValueError: Value 8 out of range for 4 bits (range: -8 to 7)"),
    ("stub codec", [item("a", "ti", 40, 1.0)], "NotImplementedError: TI f40 encoding not yet implemented"),
    ("text too long", [item("a", "utf8", 8, "abc")], "ValueError: Encoded text of 3 bytes does not fit in 8 bits"),
    ("binary too long", [item("a", "binary", 8, b"ab")], "ValueError: Binary value of 2 bytes does not fit in 8 bits"),
    ("binary element", [item("a", "binary", 16, [1, 256])],
     "OverflowError: out of range integral type conversion attempted"),
    ("text codec", [item("a", "us_ascii", 8, "é")], "ValueError: Character 'é' (U+00E9) is not valid US-ASCII"),
    ("bcd digits", [item("a", "packed_bcd", 8, 123)], "ValueError: Value 123 has too many digits for 2 BCD digits"),
    ("str() of the error fails", [item("a", "unsigned", BadIndex(), 1)], "BadStr: <exception str() failed>"),
]
# (label, packet, start, recipe, expected text of the ValueError) for unpack_parameters.
UNPACK_ERRORS = [
    ("not a dict", b"\x00", 0, [[1]], "TypeError: 'list' object cannot be cast as 'dict'"),
    ("missing reverse_bits", b"\x00", 0, [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big"}],
     "KeyError: \"Recipe missing required field: 'reverse_bits'\""),
    ("bits of wrong type", b"\x00", 0, [item("a", "unsigned", None)],
     "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("offset out of range", b"\x00", 0, [item("a", "unsigned", 8, offset_bits=-1)],
     "OverflowError: can't convert negative int to unsigned"),
    ("past the end", b"\x00", 0, [item("a", "foo", 16)],
     "ValueError: Field 'a' runs past the end of the packet: it ends at bit 16 but the packet has 1 bytes"),
    ("byte order", b"\x00", 0, [item("a", "foo", 8, order="Middle")],
     "ValueError: Invalid byte_order 'Middle': must be 'big' or 'little'"),
    ("unsupported encoding", b"\x00", 0, [item("a", "ieee754", 8)], "ValueError: Unsupported encoding type: ieee754"),
    ("f128 above 64 bits", bytes(16), 0, [item("a", "ieee754_f128", 128)],
     "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)"),
    ("f128 narrower than 128 bits", bytes(8), 0, [item("a", "ieee754_f128", 64)],
     "ValueError: IEEE 754 f128 requires a 128-bit field (got 64 bits)"),
    ("stub decoder", bytes(4), 0, [item("a", "ti_f32", 32)], "NotImplementedError: TI f32 format not yet implemented"),
    ("bcd digit", b"\x1a", 0, [item("a", "packed_bcd", 8)], "ValueError: Invalid BCD digit: 10 (must be 0-9)"),
    ("utf16 length", b"\x00\x41\x00", 0, [item("a", "utf16be", 24)],
     "ValueError: UTF-16 requires an even number of bytes"),
    ("utf8 bytes", b"\xff", 0, [item("a", "utf8", 8)],
     "ValueError: Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
    ("wide sign-magnitude", bytes(9), 0, [item("a", "sign_magnitude", 72)],
     "ValueError: Cannot decode 72 bits into a 64-bit value"),
    ("str() of the error fails", b"\x00", 0, [item("a", "unsigned", BadIndex())], "BadStr: <exception str() failed>"),
]


def fresh(recipe: Any) -> Any:
    """A deep copy: new dicts that no cache has seen."""
    return copy.deepcopy(recipe)


def rotate_keys(recipe: list) -> Callable[[], None]:
    """Between calls, takes one non-value key out of an item and puts it back (same content, new events)."""
    state = {"n": 0}

    def mutate() -> None:
        dicts = [d for d in recipe if isinstance(d, dict)]
        if not dicts:
            return
        d = dicts[state["n"] % len(dicts)]
        keys = [key for key in d if key != "value"]
        key = keys[state["n"] % len(keys)]
        d[key] = d.pop(key)
        state["n"] += 1

    return mutate


def value_stores(recipe: list) -> Callable[[], None]:
    """Between calls, stores an equal copy of each item's value."""

    def mutate() -> None:
        for d in recipe:
            if isinstance(d, dict) and "value" in d:
                d["value"] = copy.deepcopy(d["value"])

    return mutate


def packet_cases(function: str, label: str, make_call: Callable[[Any], Callable[[], Any]], recipe: Any,
                 expect: Any, fails: bool) -> None:
    """The three cache patterns of one recipe, each with the outcome of an uncached call."""
    assert (expect[0] == "raises") == fails, f"{label}: expected to {'fail' if fails else 'succeed'}: {expect}"
    reused = fresh(recipe)
    CASES.append(Case(f"{label} [reused]", function, make_call(reused), expect, fails))
    CASES.append(Case(f"{label} [fresh]", function, lambda: make_call(fresh(recipe))(), expect, fails))
    mutated = fresh(recipe)
    mutators = [rotate_keys(mutated)]
    if function == "pack_parameters":
        mutators.append(value_stores(mutated))
    call = make_call(mutated)

    def mutate_then_call() -> Any:
        for mutate in mutators:
            mutate()
        return call()

    CASES.append(Case(f"{label} [mutated]", function, mutate_then_call, expect, fails))


def pack_call(recipe: Any) -> Callable[[], Any]:
    return lambda: k.pack_parameters(recipe)


def unpack_call(packet: bytes, start: int) -> Callable[[Any], Callable[[], Any]]:
    return lambda recipe: lambda: k.unpack_parameters(packet, start, recipe)


packet_cases("pack_parameters", "pack every encoding", pack_call, PACK_OK,
             outcome(lambda: k.pack_parameters(fresh(PACK_OK))), False)
packet_cases("pack_parameters", "pack a tuple recipe", lambda r: lambda: k.pack_parameters(tuple(r)), PACK_OK[:5],
             outcome(lambda: k.pack_parameters(fresh(PACK_OK[:5]))), False)
packet_cases("unpack_parameters", "unpack every encoding", unpack_call(PACKET, 0), UNPACK_OK,
             outcome(lambda: k.unpack_parameters(PACKET, 0, fresh(UNPACK_OK))), False)
packet_cases("unpack_parameters", "unpack a Sequence recipe", lambda r: lambda: k.unpack_parameters(
    PACKET, 0, Recipe(r)), UNPACK_OK[:6], outcome(lambda: k.unpack_parameters(PACKET, 0, fresh(UNPACK_OK[:6]))),
    False)
for label, recipe, text in PACK_ERRORS:
    packet_cases("pack_parameters", f"pack_parameters: {label}", pack_call, recipe, ("raises", ValueError, text), True)
for label, packet, start, recipe, text in UNPACK_ERRORS:
    packet_cases("unpack_parameters", f"unpack_parameters: {label}", unpack_call(packet, start), recipe,
                 ("raises", ValueError, text), True)
err("pack_parameters", TypeError, "argument 'recipe': Can't extract `str` to `Vec`", "ab")
err("pack_parameters", TypeError, "argument 'recipe': 'int' object cannot be cast as 'Sequence'", 5)
err("unpack_parameters", TypeError, "argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'",
    bytearray(), 0, [])
err("unpack_parameters", OverflowError, "can't convert negative int to unsigned", b"", -1, [])
ok("pack_parameters", [], label="pack an empty recipe")
ok("unpack_parameters", b"", 0, [], label="unpack an empty recipe")


def mutating_index_case() -> None:
    """A width whose conversion changes the recipe's other dict during the call."""
    victim = item("v", "unsigned", 8, 1)

    class Meddler:
        def __index__(self) -> int:
            victim["bits"] = 16 if victim["bits"] == 8 else 8
            return 8

    recipe = [victim, item("m", "unsigned", Meddler(), 2)]
    CASES.append(Case("pack_parameters: __index__ changes another item", "pack_parameters",
                      lambda: k.pack_parameters(recipe), None, fails=False))
    CASES.append(Case("unpack_parameters: __index__ changes another item", "unpack_parameters",
                      lambda: k.unpack_parameters(b"\x01\x02\x03\x04", 0, recipe), None, fails=False))


mutating_index_case()


# ---- the measurement ----
def run(case: Case, calls: int) -> None:
    for _ in range(calls):
        got = outcome(case.call)
        if case.expect is not None and got != case.expect:
            raise AssertionError(f"{case.label}: expected {case.expect!r}, got {got!r}")


def counters() -> tuple[int, int]:
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def growth(case: Case, overhead: tuple[int, int] | None) -> list[tuple[int, int]]:
    """(references, blocks) gained per round of CALLS calls, less the measurement's own overhead.

    Rounds go on until STABLE rounds in a row gain nothing, or MAX_ROUNDS. With
    no overhead given, the raw gains of MAX_ROUNDS rounds are returned.
    """
    run(case, WARMUP)
    deltas: list[tuple[int, int]] = []
    base = overhead or (0, 0)
    before = counters()
    for _ in range(MAX_ROUNDS):
        run(case, CALLS)
        after = counters()
        deltas.append((after[0] - before[0] - base[0], after[1] - before[1] - base[1]))
        before = after
        if overhead and len(deltas) >= STABLE and all(d == (0, 0) for d in deltas[-STABLE:]):
            break
    return deltas


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", dest="pattern", default="", help="only cases whose label contains this text")
    parser.add_argument("--outcomes", action="store_true", help="only check every case's outcome (any build)")
    parser.add_argument("-v", dest="verbose", action="store_true", help="print every case")
    args = parser.parse_args()
    covered_ok = {c.function for c in CASES if not c.fails}
    covered_err = {c.function for c in CASES if c.fails}
    missing = [n for n in k.__all__ if n not in covered_err or (n in STUBS) == (n in covered_ok)]
    if len(k.__all__) != 62 or len(STUBS) != 23 or missing:
        print(f"error: {len(k.__all__)} functions, {len(STUBS)} stubs; not covered as they should be: {missing}",
              file=sys.stderr)
        return 2
    cases = [c for c in CASES if args.pattern in c.label]
    if args.outcomes:
        wrong = 0
        for case in cases:
            try:
                run(case, 2)
            except AssertionError as error:
                wrong += 1
                print(error)
        print(f"{len(cases) - wrong} of {len(cases)} cases give their expected outcomes")
        return 1 if wrong else 0
    if not hasattr(sys, "gettotalrefcount"):
        print("error: this interpreter is not a debug build (no sys.gettotalrefcount)", file=sys.stderr)
        return 2

    # The measurement itself holds a few objects (the counters, the list of
    # deltas); a case that does nothing shows that overhead, which every case
    # then subtracts.
    idle = growth(Case("nothing", "", lambda: None, ("returns", type(None), None), False), None)
    if len(set(idle[-STABLE:])) != 1:
        print(f"error: the measurement is not steady on its own: {idle}", file=sys.stderr)
        return 2
    baseline = idle[-1]
    failures = 0
    for case in cases:
        deltas = growth(case, baseline)
        stable = len(deltas) >= STABLE and all(d == (0, 0) for d in deltas[-STABLE:])
        if not stable:
            # Some interpreter caches fill and empty in bursts (a few dozen
            # references now and then). A leak grows with the calls: over a
            # long run it gains far more than such a burst.
            before = counters()
            run(case, CONFIRM_CALLS)
            after = counters()
            gained = after[0] - before[0] - baseline[0], after[1] - before[1] - baseline[1]
            stable = max(gained) <= BURST
            if stable and args.verbose:
                print(f"ok    {case.label}: bursts {deltas}, then {gained} over {CONFIRM_CALLS} calls")
        if not stable:
            failures += 1
            print(f"LEAK  {case.label}: (references, blocks) gained per {CALLS} calls: {deltas}")
        elif args.verbose:
            print(f"ok    {case.label} ({len(deltas)} rounds)")
    print(f"{len(cases) - failures} of {len(cases)} cases stable over rounds of {CALLS} calls "
          f"({len(STUBS)} functions fail on every input; {len(k.__all__)} functions covered)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
