"""Bit-exact packing and unpacking of telemetry and telecommand parameters.

RecipeItem and PanicException do not exist at run time: they are for
annotations only, imported under ``if typing.TYPE_CHECKING:``.
"""

from collections.abc import Sequence
from typing import (
    Any,
    Literal,
    NoReturn,
    NotRequired,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    type_check_only,
)

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

# Encoding names, in one spelling each, that packing accepts. Matching
# lower-cases the name first and accepts further spellings ("UTF-8",
# "twos-complement", "packedbcd"), so any str is allowed as well.
_PackEncoding: TypeAlias = Literal[
    "unsigned",
    "twos_complement",
    "ones_complement",
    "sign_magnitude",
    "bcd",
    "bcd_signed",
    "packed_bcd",
    "packed_bcd_signed",
    "ieee754",
    "ieee754_1985",
    "mil_std_1750a",
    "ti",
    "dec",
    "ibm",
    "binary",
    "utf8",
    "utf16",
    "utf16le",
    "utf16be",
    "utf32",
    "utf32le",
    "utf32be",
    "us_ascii",
    "iso_8859_1",
    "windows_1252",
]

# Encoding names, in one spelling each, that unpacking accepts: floating-point
# names carry the width here.
_UnpackEncoding: TypeAlias = Literal[
    "unsigned",
    "twos_complement",
    "ones_complement",
    "sign_magnitude",
    "bcd",
    "bcd_signed",
    "packed_bcd",
    "packed_bcd_signed",
    "ieee754_f16",
    "ieee754_f32",
    "ieee754_f64",
    "ieee754_f128",
    "ieee754_1985_f32",
    "ieee754_1985_f64",
    "ieee754_1985_f80",
    "mil_std_1750a_f32",
    "mil_std_1750a_f48",
    "ti_f32",
    "ti_f40",
    "dec_f32",
    "dec_f64",
    "ibm_f32",
    "ibm_f64",
    "utf8",
    "utf16",
    "utf16le",
    "utf16be",
    "utf32",
    "utf32le",
    "utf32be",
    "us_ascii",
    "iso_8859_1",
    "latin1",
    "windows_1252",
]

# "big" or "little", matched after lower-casing ("BIG" is accepted).
_ByteOrder: TypeAlias = Literal["big", "little"]

# What a recipe item's "value" may hold when packing: an int for integer and
# BCD encodings, a float (or int) for floating point, a str for text, and
# bytes, a bytearray or a sequence of ints 0..255 for "binary".
_PackValue: TypeAlias = int | float | str | bytes | bytearray | Sequence[int]

# What unpacking stores for one field.
_UnpackedValue: TypeAlias = int | float | str

@type_check_only
class RecipeItem(TypedDict):
    """One field of a packet: a dict with these keys (others are ignored)."""

    name: str
    encoding: _PackEncoding | _UnpackEncoding | str
    bits: int
    byte_order: _ByteOrder | str
    reverse_bits: bool
    offset_bits: NotRequired[int]
    value: NotRequired[_PackValue]

# A recipe: RecipeItem dicts, or plain dicts built at run time (the module
# checks every key of a plain dict itself and raises a precise error).
_Recipe: TypeAlias = Sequence[RecipeItem | dict[str, Any]]

@type_check_only
class PanicException(BaseException):
    """Raised when the native code meets an internal fault.

    It derives from BaseException, not Exception, so that ordinary handlers do
    not swallow it. The type is created with the module and is not an
    attribute of it.
    """

# Packets

def unpack_parameters(packet_bytes: bytes, offset_bits: SupportsIndex, recipe: _Recipe) -> dict[str, _UnpackedValue]: ...
def pack_parameters(recipe: _Recipe) -> bytes: ...

# Integer decoders: raw bit pattern and width to a signed int.

def decode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def decode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...

# Floating-point decoders: raw bit pattern to float.

def decode_ieee754_f16(value: SupportsIndex) -> float: ...
def decode_ieee754_f32(value: SupportsIndex) -> float: ...
def decode_ieee754_f64(value: SupportsIndex) -> float: ...
def decode_ieee754_f128(value: SupportsIndex) -> float: ...

# Formats recognised by name but not implemented: NotImplementedError always.

def decode_ieee754_1985_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ieee754_1985_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ieee754_1985_f80(_value: SupportsIndex) -> NoReturn: ...
def decode_mil_std_1750a_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_mil_std_1750a_f48(_value: SupportsIndex) -> NoReturn: ...
def decode_dec_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_dec_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ibm_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ibm_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ti_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ti_f40(_value: SupportsIndex) -> NoReturn: ...

# Text decoders (bytes, not bytearray or memoryview).

def decode_us_ascii(bytes: bytes) -> str: ...
def decode_iso_8859_1(bytes: bytes) -> str: ...
def decode_windows_1252(bytes: bytes) -> str: ...
def decode_utf8(bytes: bytes) -> str: ...
def decode_utf16(bytes: bytes) -> str: ...
def decode_utf16le(bytes: bytes) -> str: ...
def decode_utf16be(bytes: bytes) -> str: ...
def decode_utf32(bytes: bytes) -> str: ...
def decode_utf32le(bytes: bytes) -> str: ...
def decode_utf32be(bytes: bytes) -> str: ...

# Integer encoders: signed int and width to the raw bit pattern.

def encode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def encode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...

# Floating-point encoders: number to the raw bit pattern.

def encode_ieee754_f16(value: SupportsFloat | SupportsIndex) -> int: ...
def encode_ieee754_f32(value: SupportsFloat | SupportsIndex) -> int: ...
def encode_ieee754_f64(value: SupportsFloat | SupportsIndex) -> int: ...

# Formats recognised by name but not implemented: NotImplementedError always.

def encode_ieee754_f128(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ieee754_1985_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ieee754_1985_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ieee754_1985_f80(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_mil_std_1750a_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_mil_std_1750a_f48(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_dec_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_dec_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ibm_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ibm_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ti_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ti_f40(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...

# Text encoders.

def encode_us_ascii(text: str) -> bytes: ...
def encode_iso_8859_1(text: str) -> bytes: ...
def encode_windows_1252(text: str) -> bytes: ...
def encode_utf8(text: str) -> bytes: ...
def encode_utf16(text: str) -> bytes: ...
def encode_utf16le(text: str) -> bytes: ...
def encode_utf16be(text: str) -> bytes: ...
def encode_utf32(text: str) -> bytes: ...
def encode_utf32le(text: str) -> bytes: ...
def encode_utf32be(text: str) -> bytes: ...
