"""A short tour of kestrune: value codecs, then a packet packed and unpacked."""

import kestrune


def show_integer_codecs() -> None:
    print("Integer codecs (raw patterns of a field's bits)")
    for encode, decode in [
        (kestrune.encode_twos_complement, kestrune.decode_twos_complement),
        (kestrune.encode_ones_complement, kestrune.decode_ones_complement),
        (kestrune.encode_sign_magnitude, kestrune.decode_sign_magnitude),
    ]:
        pattern = encode(-5, 8)
        print(f"  {encode.__name__}(-5, 8) = 0x{pattern:02X} -> {decode.__name__} = {decode(pattern, 8)}")
    try:
        kestrune.encode_twos_complement(200, 8)
    except ValueError as error:
        print(f"  encode_twos_complement(200, 8) fails: {error}")


def show_bcd_and_half_precision() -> None:
    print("Binary-coded decimal and half precision")
    packed = kestrune.encode_packed_bcd(-123, 16, signed=True)
    zoned = kestrune.encode_unpacked_bcd(-123, 24, signed=True)
    print(f"  encode_packed_bcd(-123, 16, signed=True) = 0x{packed:04X}"
          f" -> {kestrune.decode_packed_bcd(packed, 16, signed=True)}")
    print(f"  encode_unpacked_bcd(-123, 24, signed=True) = 0x{zoned:06X}"
          f" -> {kestrune.decode_unpacked_bcd(zoned, 24, signed=True)}")
    half = kestrune.encode_ieee754_f16(3.14159)
    print(f"  encode_ieee754_f16(3.14159) = 0x{half:04X} -> {kestrune.decode_ieee754_f16(half)}")


def field(name, encoding, bits, value, byte_order="big", **extra):
    """One recipe item; `offset_bits` may be given in `extra`."""
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": False, "value": value, **extra}


# A CCSDS-style telemetry packet: the 6-byte primary header as bit fields,
# then a few parameters of different encodings, one of them not byte-aligned.
RECIPE = [
    field("version", "unsigned", 3, 0),
    field("type", "unsigned", 1, 0),
    field("sec_hdr_flag", "unsigned", 1, 0),
    field("apid", "unsigned", 11, 0x123),
    field("seq_flags", "unsigned", 2, 0b11),
    field("seq_count", "unsigned", 14, 42),
    field("data_length", "unsigned", 16, 15),  # bytes after the header - 1
    field("temperature", "twos_complement", 16, -125),
    field("voltage", "ieee754", 32, 28.5),
    field("mode", "unsigned", 3, 5),  # three bits: the next fields are unaligned
    field("counter", "packed_bcd", 16, 1234),
    field("heater_on", "unsigned", 1, 1),
    field("spare", "unsigned", 4, 0),
    field("uptime", "unsigned", 32, 86400, byte_order="little"),
    field("tag", "us-ascii", 24, "OK!"),
]


def show_packet() -> None:
    print("Packing a CCSDS-style packet")
    packet = kestrune.pack_parameters(RECIPE)
    print(f"  {len(packet)} bytes: {packet.hex(' ').upper()}")
    bad = [dict(RECIPE[3], value=0x800)]  # an APID that does not fit 11 bits
    try:
        kestrune.pack_parameters(bad)
    except ValueError as error:
        print(f"  an 11-bit APID of 0x800 fails: {error}")


def reading_recipe(recipe):
    """The same items for unpacking: no values, and float encodings name
    their width when reading ("ieee754" with 32 bits is "ieee754_f32")."""
    items = []
    for item in recipe:
        item = {key: value for key, value in item.items() if key != "value"}
        if item["encoding"] == "ieee754":
            item["encoding"] = f"ieee754_f{item['bits']}"
        items.append(item)
    return items


def show_unpacked() -> None:
    print("Unpacking it again")
    packet = kestrune.pack_parameters(RECIPE)
    values = kestrune.unpack_parameters(packet, 0, reading_recipe(RECIPE))
    for name, value in values.items():
        print(f"  {name:13} {value!r}")
    try:
        kestrune.unpack_parameters(packet[:-1], 0, reading_recipe(RECIPE))
    except ValueError as error:
        print(f"  one byte short fails: {error}")


def main() -> None:
    show_integer_codecs()
    show_bcd_and_half_precision()
    show_packet()
    show_unpacked()


if __name__ == "__main__":
    main()
