"""An independent reader of packet fields, on Python ints: the packet is one
big integer and a field is a slice of its bits. Shared by the tests that
check the recipe processor (and the packet builder) against it."""

import struct

FLOATS = {"ieee754_f16": (16, ">e"), "ieee754_f32": (32, ">f"), "ieee754_f64": (64, ">d")}


def field_bits(packet, at, bits):
    """Packet bits at .. at + bits - 1 as an int, the first most significant."""
    total = 8 * len(packet)
    assert at + bits <= total
    return (int.from_bytes(packet, "big") >> (total - at - bits)) & ((1 << bits) - 1)


def raw_pattern(packet, at, bits, byte_order, reverse_bits):
    """A numeric field's raw pattern: bytes reversed for little-endian (whole
    bytes only), then the bits mirrored within the width."""
    raw = field_bits(packet, at, bits)
    if byte_order == "little":
        raw = int.from_bytes(raw.to_bytes(bits // 8, "big"), "little")
    if reverse_bits and bits:
        raw = int(format(raw, f"0{bits}b")[::-1], 2)
    return raw


def text_window(packet, at, bits, byte_order):
    """A text field's bytes: ceil(bits / 8) bytes ending with the field's
    bits, reversed for little-endian."""
    window = field_bits(packet, at, bits).to_bytes((bits + 7) // 8, "big")
    return window[::-1] if byte_order == "little" else window


def expected_value(encoding, raw, bits):
    """The value of a raw pattern under an integer or float encoding."""
    top = bits and raw >> (bits - 1)
    if encoding in FLOATS:
        return struct.unpack(FLOATS[encoding][1], raw.to_bytes(bits // 8, "big"))[0]
    if encoding == "twos_complement":
        return raw - (top << bits)
    if encoding == "ones_complement":
        return raw - ((1 << bits) - 1) * top
    if encoding == "sign_magnitude":
        return 0 if bits < 2 else (-(raw - (1 << (bits - 1))) if top else raw)
    return raw
