"""Packed and unpacked BCD codecs, checked against patterns built from the
value's decimal digits."""

import pytest
from hypothesis import given, settings, strategies as st

import kestrune as k

TOO_MANY = "Value {} has too many digits for {} BCD digits"
NEGATIVE = "Cannot encode negative value in unsigned BCD"
PACKED_WIDTH = "bits must be >= 4 for packed BCD"
UNPACKED_WIDTH = "bits must be >= 8 for unpacked BCD"
BAD_DIGIT = "Invalid BCD digit: {} (must be 0-9)"
BAD_SIGN = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"
BAD_SIGNED_BYTE = "Invalid zoned decimal signed byte: 0x{} (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"
BAD_ZONED_BYTE = "Invalid zoned decimal byte: 0x{} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"


def packed_oracle(value, signed):
    # The decimal digits read as hexadecimal are the packed nibbles.
    digits = str(abs(value))
    if signed:
        digits += "D" if value < 0 else "C"
    return int(digits, 16)


def unpacked_oracle(value, bits, signed):
    digits = [int(c) for c in str(abs(value)).zfill(bits // 8)]
    if signed:
        zoned = [0xF0 | d for d in digits]
        zoned[-1] = (0xD0 if value < 0 else 0xC0) | digits[-1]
        return int.from_bytes(bytes(zoned), "big")
    return int.from_bytes(bytes(digits), "big")


def capacity(bits, digit_width, signed):
    digits = bits // digit_width - (1 if signed and digit_width == 4 else 0)
    return 10**digits - 1


@pytest.mark.parametrize("signed", [False, True])
@pytest.mark.parametrize("bits", range(4, 65))
@settings(max_examples=25)
@given(data=st.data())
def test_packed_round_trip(bits, signed, data):
    limit = capacity(bits, 4, signed)
    value = data.draw(st.integers(-limit if signed else 0, limit))
    pattern = k.encode_packed_bcd(value, bits, signed)
    assert pattern == packed_oracle(value, signed)
    assert k.decode_packed_bcd(pattern, bits, signed) == value
    if value == limit:
        with pytest.raises(ValueError):
            k.encode_packed_bcd(value + 1, bits, signed)


@pytest.mark.parametrize("signed", [False, True])
@pytest.mark.parametrize("bits", range(8, 65))
@settings(max_examples=25)
@given(data=st.data())
def test_unpacked_round_trip(bits, signed, data):
    limit = capacity(bits, 8, signed)
    value = data.draw(st.integers(-limit if signed else 0, limit))
    pattern = k.encode_unpacked_bcd(value, bits, signed)
    assert pattern == unpacked_oracle(value, bits, signed)
    assert k.decode_unpacked_bcd(pattern, bits, signed) == value
    if value == limit:
        with pytest.raises(ValueError):
            k.encode_unpacked_bcd(value + 1, bits, signed)


@pytest.mark.parametrize("value, bits, signed, pattern", [
    (1234, 16, False, 0x1234),
    (123, 16, True, 0x123C),
    (-123, 16, True, 0x123D),
    (0, 4, True, 0xC),
    (-0, 7, True, 0xC),
    (99, 10, False, 0x99),
    (9999999999999999, 64, False, 0x9999999999999999),
    (-999999999999999, 64, True, 0x999999999999999D),
    # Wider than the raw pattern: the pattern holds the field's low 64 bits.
    (9999999999999999, 72, False, 0x9999999999999999),
    (-999999999999999, 4096, True, 0x999999999999999D),
    (5, 200, False, 5),
])
def test_packed_encode(value, bits, signed, pattern):
    assert k.encode_packed_bcd(value, bits, signed) == pattern


@pytest.mark.parametrize("value, bits, signed, pattern", [
    (123, 24, False, 0x010203),
    (123, 24, True, 0xF1F2C3),
    (-123, 24, True, 0xF1F2D3),
    (0, 8, True, 0xC0),
    (5, 15, True, 0xC5),
    (99999999, 64, False, 0x0909090909090909),
    (12345678, 72, False, 0x0102030405060708),
    (-12345678, 2**32 - 1, True, 0xF1F2F3F4F5F6F7D8),
])
def test_unpacked_encode(value, bits, signed, pattern):
    assert k.encode_unpacked_bcd(value, bits, signed) == pattern


@pytest.mark.parametrize("func, value, bits, signed, message", [
    (k.encode_packed_bcd, 5, 3, False, PACKED_WIDTH),
    (k.encode_packed_bcd, -5, 0, True, PACKED_WIDTH),
    (k.encode_packed_bcd, -1, 16, False, NEGATIVE),
    (k.encode_packed_bcd, 1234, 16, True, TOO_MANY.format(1234, 3)),
    (k.encode_packed_bcd, 1, 4, True, TOO_MANY.format(1, 0)),
    (k.encode_packed_bcd, -1, 7, True, TOO_MANY.format(-1, 0)),
    (k.encode_packed_bcd, 100, 8, False, TOO_MANY.format(100, 2)),
    (k.encode_packed_bcd, 10**16, 64, False, TOO_MANY.format(10**16, 16)),
    (k.encode_packed_bcd, 10**16, 2**32 - 1, False, TOO_MANY.format(10**16, 16)),
    (k.encode_packed_bcd, -(2**63), 64, True, TOO_MANY.format(-(2**63), 15)),
    (k.encode_packed_bcd, 2**63 - 1, 100, True, TOO_MANY.format(2**63 - 1, 15)),
    # More digits than a field wider than 64 bits holds: the field's count.
    (k.encode_packed_bcd, 123456789012345678, 68, False, TOO_MANY.format(123456789012345678, 17)),
    (k.encode_packed_bcd, -12345678901234567, 72, True, TOO_MANY.format(-12345678901234567, 15)),
    (k.encode_packed_bcd, -1, 72, False, NEGATIVE),
    (k.encode_unpacked_bcd, 883867158640, 80, False, TOO_MANY.format(883867158640, 10)),
    (k.encode_unpacked_bcd, 5, 7, False, UNPACKED_WIDTH),
    (k.encode_unpacked_bcd, -5, 0, True, UNPACKED_WIDTH),
    (k.encode_unpacked_bcd, -123, 24, False, NEGATIVE),
    (k.encode_unpacked_bcd, 100, 16, True, TOO_MANY.format(100, 2)),
    (k.encode_unpacked_bcd, 100000000, 64, False, TOO_MANY.format(100000000, 8)),
    (k.encode_unpacked_bcd, -100000000, 72, True, TOO_MANY.format(-100000000, 8)),
    (k.encode_unpacked_bcd, -(2**63), 64, True, TOO_MANY.format(-(2**63), 8)),
])
def test_encode_errors(func, value, bits, signed, message):
    with pytest.raises(ValueError) as info:
        func(value, bits, signed)
    assert str(info.value) == message


@pytest.mark.parametrize("value, bits, signed, result", [
    (0x1234, 16, False, 1234),
    (0x123D, 16, True, -123),
    (0x123B, 16, True, -123),
    (0x123A, 16, True, 123),
    (0x123C, 16, True, 123),
    (0x123E, 16, True, 123),
    (0x123F, 16, True, 123),
    (0x000D, 16, True, 0),
    (0xFFFF, 3, False, 0),
    (0xF, 3, True, 0),
    (0xD, 4, True, 0),
    (0xAB12, 8, False, 12),             # bits above the field are ignored
    (0x1234, 72, False, 1234),          # nibbles above the pattern read as 0
    (0x9999999999999999, 2**32 - 1, False, 9999999999999999),
    (0x999999999999999B, 68, True, -999999999999999),
])
def test_packed_decode(value, bits, signed, result):
    assert k.decode_packed_bcd(value, bits, signed) == result


@pytest.mark.parametrize("value, bits, signed, result", [
    (0x010203, 24, False, 123),
    (0x313233, 24, True, 123),
    (0xF1F2D3, 24, True, -123),
    (0xF1F233, 24, True, 123),
    (0x31F2F3, 24, True, 123),
    (0xD0, 8, True, 0),
    (0xFF, 7, False, 0),
    (0xFF, 7, True, 0),
    (0xEE0102, 16, False, 12),
    (0x0909090909090909, 72, False, 99999999),
    (0xF9F9F9F9F9F9F9D9, 64, True, -99999999),
])
def test_unpacked_decode(value, bits, signed, result):
    assert k.decode_unpacked_bcd(value, bits, signed) == result


@pytest.mark.parametrize("func, value, bits, signed, message", [
    (k.decode_packed_bcd, 0x12A4, 16, False, BAD_DIGIT.format(10)),
    (k.decode_packed_bcd, 0xB0C0, 16, False, BAD_DIGIT.format(12)),    # lowest bad nibble first
    (k.decode_packed_bcd, 0xF000000000000000, 64, False, BAD_DIGIT.format(15)),
    (k.decode_packed_bcd, 0x1239, 16, True, BAD_SIGN),
    (k.decode_packed_bcd, 0xFFF0, 16, True, BAD_SIGN),                  # sign before digits
    (k.decode_packed_bcd, 0x1AC, 12, True, BAD_DIGIT.format(10)),
    (k.decode_unpacked_bcd, 0x313233, 24, False, BAD_DIGIT.format(51)),
    (k.decode_unpacked_bcd, 0x0A0B, 16, False, BAD_DIGIT.format(11)),
    (k.decode_unpacked_bcd, 0xF1F2A3, 24, True, BAD_SIGNED_BYTE.format("A3")),
    (k.decode_unpacked_bcd, 0xF1F2CA, 24, True, BAD_SIGNED_BYTE.format("CA")),
    (k.decode_unpacked_bcd, 0x0005, 16, True, BAD_SIGNED_BYTE.format("05")),
    (k.decode_unpacked_bcd, 0xF1E2C3, 24, True, BAD_ZONED_BYTE.format("E2")),
    (k.decode_unpacked_bcd, 0x0A3AF1, 24, True, BAD_ZONED_BYTE.format("3A")),
    (k.decode_unpacked_bcd, 0xC1, 16, True, BAD_ZONED_BYTE.format("00")),
    (k.decode_unpacked_bcd, 0xF1F1F1F1F1F1F1C1, 72, True, BAD_ZONED_BYTE.format("00")),
])
def test_decode_errors(func, value, bits, signed, message):
    with pytest.raises(ValueError) as info:
        func(value, bits, signed)
    assert str(info.value) == message


@pytest.mark.parametrize("func, signed_value, signed_result", [
    (k.encode_packed_bcd, -9, 0x9D),
    (k.decode_packed_bcd, 0x9D, -9),
    (k.encode_unpacked_bcd, -9, 0xF0D9),
    (k.decode_unpacked_bcd, 0xF0D9, -9),
])
def test_keywords_and_default(func, signed_value, signed_result):
    assert func(value=9, bits=16, signed=False) == func(9, 16) == func(9, bits=16) == 9
    assert func(signed=True, bits=16, value=signed_value) == signed_result


@pytest.mark.parametrize("call, exc, message", [
    (lambda: k.encode_packed_bcd(1, 8, 1), TypeError, "argument 'signed': 'int' object cannot be cast as 'bool'"),
    (lambda: k.decode_unpacked_bcd(1, 8, None), TypeError,
     "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
    (lambda: k.encode_packed_bcd(1.5, 8), TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda: k.decode_packed_bcd(-1, 8), OverflowError, "can't convert negative int to unsigned"),
    (lambda: k.decode_unpacked_bcd(2**64, 8), OverflowError, "int too big to convert"),
    (lambda: k.encode_unpacked_bcd(2**63, 8), OverflowError, "Python int too large to convert to C long"),
    (lambda: k.encode_unpacked_bcd(1, -8), OverflowError, "out of range integral type conversion attempted"),
])
def test_conversion_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message
