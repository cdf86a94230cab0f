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


def main() -> None:
    show_integer_codecs()


if __name__ == "__main__":
    main()
