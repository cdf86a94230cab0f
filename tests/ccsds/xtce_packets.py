"""Builds packets for a loaded definition with kestrune.pack_parameters.

pack(layout, values) lays raw values (a dict column -> value) where the
container's layout puts them: fixed offsets as they are, fields after a
field of varying size after the previous one's end, sizes taken from the
values of the sizing fields. Entries whose IncludeCondition is false are
left out by the caller (absent from values). Strings are given as text;
terminated and size-tagged strings are laid as the bytes they occupy
(bytes given instead of text are laid as they are).
"""

from __future__ import annotations

import kestrune

_PACK_FLOAT = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}

_TEXT_ENCODERS = {
    "us-ascii": kestrune.encode_us_ascii, "iso-8859-1": kestrune.encode_iso_8859_1,
    "windows-1252": kestrune.encode_windows_1252, "utf-8": kestrune.encode_utf8,
    "utf-16": kestrune.encode_utf16, "utf-16le": kestrune.encode_utf16le,
    "utf-16be": kestrune.encode_utf16be, "utf-32": kestrune.encode_utf32,
    "utf-32le": kestrune.encode_utf32le, "utf-32be": kestrune.encode_utf32be,
}


def pack(layout, values: dict) -> bytes:
    items = []
    sizes = {}
    pos = 0
    for slot in layout.slots:
        param = slot.parameter
        if slot.hidden:
            owner = next(s for s in layout.slots if s.size_from and s.size_from[0] == slot.column)
            if owner.column not in values:
                continue
            text = _TEXT_ENCODERS[owner.parameter.encoding.name](values[owner.column])
            sizes[slot.column] = len(text)
            value = len(text)
        elif slot.column not in values:
            continue
        else:
            value = values[slot.column]
        start = slot.offset if slot.offset is not None else pos + slot.gap
        bits = slot.bits
        encoding = slot.encoding
        if param is not None and param.encoding.kind == "string":
            enc = param.encoding
            data = value if isinstance(value, bytes) else _TEXT_ENCODERS[enc.name](value)
            if slot.encoding == "binary":
                if enc.leading_size_bits is not None:
                    data = len(data).to_bytes(enc.leading_size_bits // 8, "big") + data
                elif enc.termination is not None and len(data) * 8 < bits:
                    data += enc.termination
                data = data.ljust(bits // 8, b"\0")
            if slot.size_from is not None:
                bits = len(data) * 8
            value = data
            encoding = "binary"
        elif slot.size_from is not None:
            bits = len(value) * 8 if isinstance(value, bytes) else None
        if slot.size_from is not None and bits is None:
            source, slope, intercept = slot.size_from
            bits = values.get(source, sizes.get(source)) * slope + intercept
        if encoding in _PACK_FLOAT:
            encoding = "ieee754"
        items.append({"name": slot.column, "encoding": encoding, "bits": bits,
                      "offset_bits": start, "byte_order": slot.byte_order,
                      "reverse_bits": slot.reverse_bits, "value": value})
        pos = start + bits
    return kestrune.pack_parameters(items)
