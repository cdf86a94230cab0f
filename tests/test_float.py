"""IEEE 754 codecs against struct, NumPy and exact rational arithmetic, and
the formats that are named but not implemented."""

import math
import struct
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import kestrune as k

U32 = st.integers(0, 2**32 - 1)
U64 = st.integers(0, 2**64 - 1)


def f32_value(image):
    return struct.unpack(">f", image.to_bytes(4, "big"))[0]


def f64_image(x):
    return int.from_bytes(struct.pack(">d", x), "big")


def f64_value(image):
    return struct.unpack(">d", image.to_bytes(8, "big"))[0]


# Double NaNs of either sign with every kind of payload, signalling ones included.
NANS = st.builds(lambda sign, payload: f64_value(sign << 63 | 0x7FF << 52 | payload),
                 st.integers(0, 1), st.integers(1, 2**52 - 1))


def is_f32_nan(image):
    return image & 0x7F800000 == 0x7F800000 and image & 0x7FFFFF != 0


# ---- binary16 ----

@pytest.mark.parametrize("value, pattern", [
    (1.0, 0x3C00),
    (65504.0, 0x7BFF),
    (65520.0, 0x7C00),
    (-65520.0, 0xFC00),
    (1e300, 0x7C00),                        # infinite after the single conversion
    (-0.0, 0x8000),
    (float("inf"), 0x7C00),
    (float("nan"), 0x7E00),
    (f32_value(0xFF800001), 0xFE00),        # signalling NaN made quiet
    (2.0**-24, 0x0001),
    (2.0**-25, 0x0000),
    (3 * 2.0**-25, 0x0002),
    (-(2.0**-14 - 2.0**-25), 0x8400),      # tie at the top of the subnormals rounds up to even
    (1 + 2.0**-11 + 2.0**-40, 0x3C00),     # rounded twice, through binary32: a tie to even
    (1 + 3 * 2.0**-11, 0x3C02),
    (2, 0x4000),                            # int argument
])
def test_f16_encode_values(value, pattern):
    assert k.encode_ieee754_f16(value) == pattern


@settings(deadline=None)  # the first example imports NumPy
@given(U32)
def test_f16_encode_matches_numpy_on_binary32(image):
    np = pytest.importorskip("numpy")
    value = f32_value(image)
    if math.isnan(value):
        expected = (image >> 16) & 0x8000 | 0x7E00 | (image & 0x7FFFFF) >> 13
    else:
        with np.errstate(over="ignore"):
            expected = int(np.float32(value).astype(np.float16).view(np.uint16))
    assert k.encode_ieee754_f16(value) == expected


@given(st.floats(allow_nan=False))
def test_f16_encode_rounds_doubles_through_binary32(value):
    np = pytest.importorskip("numpy")
    with np.errstate(over="ignore"):
        expected = int(np.float64(value).astype(np.float32).astype(np.float16).view(np.uint16))
    assert k.encode_ieee754_f16(value) == expected


def test_f16_decode_all_patterns():
    np = pytest.importorskip("numpy")
    patterns = np.arange(2**16, dtype=np.uint32)
    expected = patterns.astype(np.uint16).view(np.float16).astype(np.float64).view(np.uint64)
    for h in range(2**16):
        fraction = h & 0x3FF
        if h & 0x7C00 == 0x7C00 and fraction:
            # Quiet NaN of the same sign with the payload kept.
            want = (h & 0x8000) << 48 | 0x7FF8000000000000 | fraction << 42
        else:
            want = int(expected[h])
        assert f64_image(k.decode_ieee754_f16(h)) == want, hex(h)
        assert f64_image(k.decode_ieee754_f16(h | 0xABCD0000)) == want, hex(h)


@pytest.mark.parametrize("pattern, value", [
    (0x3C00, 1.0),
    (0x13C00, 1.0),
    (0x0001, 5.960464477539063e-08),
    (0x7BFF, 65504.0),
    (0x7C00, math.inf),
    (0xFC00, -math.inf),
    (2**64 - 1, None),   # 0xFFFF: negative NaN
])
def test_f16_decode_values(pattern, value):
    result = k.decode_ieee754_f16(pattern)
    if value is None:
        assert math.isnan(result) and math.copysign(1, result) < 0
    else:
        assert result == value


# ---- binary32 and binary64 ----

@given(st.floats(width=32) | st.floats(min_value=-3.4e38, max_value=3.4e38) | NANS)
def test_f32_encode_matches_struct(value):
    if math.isnan(value):
        # The narrowing keeps the sign and the top of the payload, made quiet.
        image = f64_image(value)
        expected = (image >> 32) & 0x80000000 | 0x7FC00000 | (image >> 29) & 0x7FFFFF
    else:
        expected = int.from_bytes(struct.pack(">f", value), "big")
    assert k.encode_ieee754_f32(value) == expected


@pytest.mark.parametrize("value, pattern", [
    (1.0, 0x3F800000),
    (1, 0x3F800000),
    (1e39, 0x7F800000),
    (-1e39, 0xFF800000),
    (1e-50, 0),
    (float("nan"), 0x7FC00000),
])
def test_f32_encode_values(value, pattern):
    assert k.encode_ieee754_f32(value) == pattern


@given(U64)
def test_f64_encode_keeps_every_image(image):
    assert k.encode_ieee754_f64(f64_value(image)) == image


def test_f64_encode_one():
    assert k.encode_ieee754_f64(1.0) == 4607182418800017408
    assert k.encode_ieee754_f64(True) == 0x3FF0000000000000


@given(U64)
def test_f32_decode(pattern):
    image = pattern & 0xFFFFFFFF
    result = f64_image(k.decode_ieee754_f32(pattern))
    if is_f32_nan(image):
        assert result == (image & 0x80000000) << 32 | 0x7FF8000000000000 | (image & 0x7FFFFF) << 29
    else:
        assert result == f64_image(f32_value(image))


@pytest.mark.parametrize("pattern, image", [
    (0x3F800000, 0x3FF0000000000000),
    (0x13F800000, 0x3FF0000000000000),
    (0x7F800001, 0x7FF8000020000000),   # signalling NaN made quiet, payload kept
    (0xFFC00001, 0xFFF8000020000000),
    (0x80000001, 0xB6A0000000000000),   # smallest negative subnormal
])
def test_f32_decode_values(pattern, image):
    assert f64_image(k.decode_ieee754_f32(pattern)) == image


@given(U64)
def test_f64_decode_keeps_every_image(pattern):
    assert f64_image(k.decode_ieee754_f64(pattern)) == pattern


# ---- binary128 ----

def f128_oracle(pattern):
    """Exact value, truncated toward zero to a double; NaN as None."""
    negative = pattern >> 127
    exponent = (pattern >> 112) & 0x7FFF
    fraction = pattern & (2**112 - 1)
    sign = -1.0 if negative else 1.0
    if exponent == 0x7FFF:
        return math.inf * sign if fraction == 0 else None
    if exponent == 0:
        return 0.0 * sign
    exact = Fraction(2**112 + fraction, 2**112) * Fraction(2) ** (exponent - 16383)
    if exact >= Fraction(2) ** 1024:
        return math.inf * sign
    if exact < Fraction(2.0**-1022):
        return 0.0 * sign
    # Keep the 53 leading bits of the exact value (floor), then scale back.
    e = exact.numerator.bit_length() - exact.denominator.bit_length()
    if Fraction(2) ** e > exact:
        e -= 1
    result = math.ldexp(math.floor(exact / Fraction(2) ** (e - 52)), e - 52)
    return result * sign


f128_patterns = st.builds(
    lambda sign, exponent, fraction: sign << 127 | exponent << 112 | fraction,
    st.integers(0, 1),
    st.integers(0, 0x7FFF) | st.integers(0x3BFD, 0x3C03) | st.integers(0x43FC, 0x4400) | st.sampled_from([0, 0x7FFF]),
    st.integers(0, 2**112 - 1) | st.sampled_from([0, 1, 2**60 - 1, 2**60, 2**112 - 1]),
)


@given(f128_patterns)
def test_f128_decode_matches_exact_truncation(pattern):
    expected = f128_oracle(pattern)
    result = k.decode_ieee754_f128(pattern)
    if expected is None:
        assert f64_image(result) == 0x7FF8000000000000
    else:
        assert f64_image(result) == f64_image(expected)


@pytest.mark.parametrize("pattern, value", [
    (0x3FFF << 112, 1.0),
    (0x3FFF8 << 108, 1.5),
    (0x3C01 << 112, 2.2250738585072014e-308),
    (0x3C00 << 112, 0.0),
    (0x43FF << 112, math.inf),
    (0xFFFF << 112, -math.inf),
    ((0x3FFF << 112) | (1 << 59), 1.0),             # dropped, not rounded
    ((0xBFFF << 112) | (2**112 - 1), -(2 - 2.0**-52)),
])
def test_f128_decode_values(pattern, value):
    result = k.decode_ieee754_f128(pattern)
    assert result == value and math.copysign(1, result) == math.copysign(1, value)


def test_f128_nan_is_positive_quiet():
    assert f64_image(k.decode_ieee754_f128((0xFFFF << 112) | 1)) == 0x7FF8000000000000


@pytest.mark.parametrize("value, exc, message", [
    (2**128, OverflowError, "Python int larger than 128 bits"),
    (-1, ValueError, "Cannot convert negative int"),
    ("1", TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
])
def test_f128_conversion_errors(value, exc, message):
    with pytest.raises(exc) as info:
        k.decode_ieee754_f128(value)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize("func, value, exc, message", [
    (k.encode_ieee754_f16, "1", TypeError, "argument 'value': must be real number, not str"),
    (k.encode_ieee754_f32, None, TypeError, "argument 'value': must be real number, not NoneType"),
    (k.encode_ieee754_f64, 2**1024, OverflowError, "int too large to convert to float"),
    (k.decode_ieee754_f16, -1, OverflowError, "can't convert negative int to unsigned"),
    (k.decode_ieee754_f32, 1.0, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    (k.decode_ieee754_f64, 2**64, OverflowError, "int too big to convert"),
])
def test_conversion_errors(func, value, exc, message):
    with pytest.raises(exc) as info:
        func(value)
    assert type(info.value) is exc and str(info.value) == message


# ---- named formats without a codec ----

STUB_NAMES = {
    "ieee754_1985_f32": "IEEE 754-1985 f32", "ieee754_1985_f64": "IEEE 754-1985 f64",
    "ieee754_1985_f80": "IEEE 754-1985 f80", "mil_std_1750a_f32": "MIL-STD-1750A f32",
    "mil_std_1750a_f48": "MIL-STD-1750A f48", "dec_f32": "DEC f32", "dec_f64": "DEC f64",
    "ibm_f32": "IBM f32", "ibm_f64": "IBM f64", "ti_f32": "TI f32", "ti_f40": "TI f40",
}
ENCODE_STUBS = [("encode_ieee754_f128", "IEEE 754 f128 encoding not yet implemented")] + [
    ("encode_" + name, text + " encoding not yet implemented") for name, text in STUB_NAMES.items()]
DECODE_STUBS = [("decode_" + name, text + " format not yet implemented") for name, text in STUB_NAMES.items()]


@pytest.mark.parametrize("name, message", ENCODE_STUBS)
@pytest.mark.parametrize("value", [0.0, 0, -1.5, 1e300, float("nan")])
def test_encode_stubs_fail_for_every_value(name, message, value):
    func = getattr(k, name)
    for call in (lambda: func(value), lambda: func(_value=value)):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert type(info.value) is NotImplementedError and str(info.value) == message


@pytest.mark.parametrize("name, message", DECODE_STUBS)
@pytest.mark.parametrize("value", [0, 1, 2**64 - 1])
def test_decode_stubs_fail_for_every_value(name, message, value):
    func = getattr(k, name)
    for call in (lambda: func(value), lambda: func(_value=value)):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert type(info.value) is NotImplementedError and str(info.value) == message


@pytest.mark.parametrize("name", [name for name, _ in ENCODE_STUBS])
def test_encode_stubs_convert_first(name):
    with pytest.raises(TypeError) as info:
        getattr(k, name)("x")
    assert str(info.value) == "argument '_value': must be real number, not str"


@pytest.mark.parametrize("name", [name for name, _ in DECODE_STUBS])
@pytest.mark.parametrize("value, exc, message", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    ("x", TypeError, "argument '_value': 'str' object cannot be interpreted as an integer"),
    (0.0, TypeError, "argument '_value': 'float' object cannot be interpreted as an integer"),
])
def test_decode_stubs_convert_first(name, value, exc, message):
    with pytest.raises(exc) as info:
        getattr(k, name)(value)
    assert type(info.value) is exc and str(info.value) == message
