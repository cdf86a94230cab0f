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


def main() -> None:
    show_integer_codecs()
    show_packet()


if __name__ == "__main__":
    main()
