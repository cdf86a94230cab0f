"""Typed use of kestrune, checked with `mypy --strict` against the installed stub.

Each `# type: ignore[...]` marks a call that must be refused: with
warn_unused_ignores (part of --strict) a stub that grew too permissive fails
the check as surely as one that is too strict.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, assert_type

import kestrune

if TYPE_CHECKING:
    from kestrune import PanicException, RecipeItem

HEADER: list[RecipeItem] = [
    {"name": "apid", "encoding": "unsigned", "bits": 11, "offset_bits": 5, "byte_order": "big",
     "reverse_bits": False},
    {"name": "temp", "encoding": "twos_complement", "bits": 16, "byte_order": "big", "reverse_bits": False},
]


def build(apid: int, temp: int) -> bytes:
    items: list[RecipeItem] = [{**item, "value": v} for item, v in zip(HEADER, (apid, temp), strict=True)]
    return kestrune.pack_parameters(items)


def read(packet: bytes) -> tuple[int, int]:
    values = kestrune.unpack_parameters(packet, 0, HEADER)
    assert_type(values, dict[str, int | float | str])
    apid, temp = values["apid"], values["temp"]
    assert isinstance(apid, int) and isinstance(temp, int)
    return apid, temp


def plain_dicts(rows: list[dict[str, object]]) -> bytes:
    # Recipes built at run time from plain dicts are accepted as they are,
    # also mixed with typed items.
    recipe: list[RecipeItem | dict[str, Any]] = [dict(row) for row in rows]
    recipe.append(HEADER[0])
    return kestrune.pack_parameters(recipe)


def codecs() -> None:
    assert_type(kestrune.encode_twos_complement(-5, 8), int)
    assert_type(kestrune.decode_packed_bcd(0x123D, 16, signed=True), int)
    assert_type(kestrune.encode_ieee754_f32(1), int)
    assert_type(kestrune.decode_ieee754_f16(0x3C00), float)
    assert_type(kestrune.decode_utf16(b"\xfe\xff\x00A"), str)
    assert_type(kestrune.encode_windows_1252("\u20ac"), bytes)


def not_implemented() -> int:
    kestrune.decode_ti_f32(0)
    # Unreachable: the stub says the unimplemented formats never return.
    return "unreachable"  # type: ignore[unreachable]


def refused() -> None:
    kestrune.decode_utf8("text")  # type: ignore[arg-type]
    kestrune.encode_utf8(b"bytes")  # type: ignore[arg-type]
    kestrune.encode_packed_bcd(1, 8, signed=1)  # type: ignore[arg-type]
    kestrune.encode_twos_complement(1.5, 8)  # type: ignore[arg-type]
    kestrune.unpack_parameters(b"", 0, "recipe")  # type: ignore[arg-type]
    kestrune.decode_utf8(data=b"")  # type: ignore[call-arg]
    missing_key: RecipeItem = {"name": "x", "encoding": "unsigned", "bits": 8,  # type: ignore[typeddict-item]
                               "byte_order": "big"}
    int_flag: RecipeItem = {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big",
                            "reverse_bits": 1}  # type: ignore[typeddict-item]
    del missing_key, int_flag


def handler(error: PanicException) -> BaseException:
    return error
