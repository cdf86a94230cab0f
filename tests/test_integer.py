"""Sign-magnitude, ones' and two's complement codecs."""

import pytest
from hypothesis import given, strategies as st

import kestrune as k

I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1


@pytest.mark.parametrize(
    "function, value, bits, expected",
    [
        (k.encode_sign_magnitude, -5, 8, 0x85),
        (k.encode_sign_magnitude, 127, 8, 127),
        (k.encode_sign_magnitude, 0, 2, 0),
        (k.encode_sign_magnitude, -(2**63 - 1), 64, U64_MAX),
        (k.encode_sign_magnitude, 2**63 - 1, 64, 2**63 - 1),
        (k.encode_ones_complement, -5, 8, 0xFA),
        (k.encode_ones_complement, -127, 8, 0x80),
        (k.encode_ones_complement, 0, 8, 0),
        (k.encode_ones_complement, -1, 64, 2**64 - 2),
        (k.encode_ones_complement, I64_MAX, 64, I64_MAX),
        (k.encode_ones_complement, -(2**63 - 1), 64, 2**63),
        (k.encode_ones_complement, 0, 0, 0),
        (k.encode_twos_complement, -1, 8, 255),
        (k.encode_twos_complement, -128, 8, 128),
        (k.encode_twos_complement, 127, 8, 127),
        (k.encode_twos_complement, I64_MIN, 64, 2**63),
        (k.encode_twos_complement, -1, 64, U64_MAX),
        (k.encode_twos_complement, -1, 1, 1),
        (k.encode_twos_complement, 0, 1, 0),
        (k.encode_twos_complement, 0, 0, 0),
    ],
)
def test_encoders(function, value, bits, expected):
    assert function(value, bits) == expected


@pytest.mark.parametrize(
    "function, value, bits, message",
    [
        (k.encode_sign_magnitude, 128, 8, "Magnitude of 128 is too large for 8 bits"),
        (k.encode_sign_magnitude, -128, 8, "Magnitude of -128 is too large for 8 bits"),
        (k.encode_sign_magnitude, I64_MIN, 64, f"Magnitude of {I64_MIN} is too large for 64 bits"),
        (k.encode_sign_magnitude, 0, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
        (k.encode_sign_magnitude, 0, 0, "bits must be between 2 and 64 for sign-magnitude encoding"),
        (k.encode_sign_magnitude, 0, 65, "bits must be between 2 and 64 for sign-magnitude encoding"),
        (k.encode_ones_complement, -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
        (k.encode_ones_complement, 128, 8, "Value 128 is too large for 8 bits"),
        (k.encode_ones_complement, I64_MIN, 64, f"Value {I64_MIN} is too large (magnitude) for 64 bits"),
        (k.encode_ones_complement, 1, 0, "Value 1 is too large for 0 bits"),
        (k.encode_ones_complement, -1, 0, "Value -1 is too large (magnitude) for 0 bits"),
        (k.encode_ones_complement, 1, 1, "Value 1 is too large for 1 bits"),
        (k.encode_ones_complement, 0, 65, "bits must be <= 64 for ones' complement encoding"),
        (k.encode_ones_complement, 0, 2**32 - 1, "bits must be <= 64 for ones' complement encoding"),
        (k.encode_twos_complement, 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
        (k.encode_twos_complement, -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
        (k.encode_twos_complement, 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
        (k.encode_twos_complement, 1, 0, "Value 1 out of range for 0 bits (range: 0 to 0)"),
        (k.encode_twos_complement, 2**62, 63,
         f"Value {2**62} out of range for 63 bits (range: {-(2**62)} to {2**62 - 1})"),
        (k.encode_twos_complement, 0, 65, "bits must be <= 64 for two's complement encoding"),
    ],
)
def test_encoder_errors(function, value, bits, message):
    with pytest.raises(ValueError) as info:
        function(value, bits)
    assert type(info.value) is ValueError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "function, value, bits, expected",
    [
        (k.decode_sign_magnitude, 0x80, 8, 0),
        (k.decode_sign_magnitude, 0x85, 8, -5),
        (k.decode_sign_magnitude, 0x185, 8, -5),  # bits above the width are ignored
        (k.decode_sign_magnitude, U64_MAX, 64, -(2**63 - 1)),
        (k.decode_ones_complement, 0xFF, 8, 0),
        (k.decode_ones_complement, 0xFA, 8, -5),
        (k.decode_ones_complement, 0x7F, 8, 127),
        (k.decode_ones_complement, U64_MAX, 64, 0),
        (k.decode_ones_complement, 2**63, 64, -(2**63 - 1)),
        (k.decode_ones_complement, 2**63, 65, -(2**63 - 1)),
        (k.decode_twos_complement, 0xFF, 8, -1),
        (k.decode_twos_complement, 0x80, 8, -128),
        (k.decode_twos_complement, 0x7F, 8, 127),
        (k.decode_twos_complement, U64_MAX, 64, -1),
        (k.decode_twos_complement, U64_MAX, 1000, -1),
        (k.decode_twos_complement, 1, 1, -1),
    ],
)
def test_decoders(function, value, bits, expected):
    assert function(value, bits) == expected


@pytest.mark.parametrize("function", [k.decode_sign_magnitude, k.decode_ones_complement, k.decode_twos_complement])
@pytest.mark.parametrize("bits", [0, 1, 2, 8, 63, 64, 65, 2**32 - 1])
def test_zero_decodes_to_zero_at_every_width(function, bits):
    assert function(0, bits) == 0


@pytest.mark.parametrize("value", [0, 1, U64_MAX, 0x8000000000000000])
def test_sign_magnitude_width_one_is_always_zero(value):
    assert k.decode_sign_magnitude(value, 1) == 0


FORMS = {
    "sign_magnitude": (k.encode_sign_magnitude, k.decode_sign_magnitude, lambda b: (-(2 ** (b - 1)) + 1, 2 ** (b - 1) - 1)),
    "ones_complement": (k.encode_ones_complement, k.decode_ones_complement, lambda b: (-(2 ** (b - 1)) + 1, 2 ** (b - 1) - 1)),
    "twos_complement": (k.encode_twos_complement, k.decode_twos_complement, lambda b: (-(2 ** (b - 1)), 2 ** (b - 1) - 1)),
}


@st.composite
def value_in_range(draw, form):
    bits = draw(st.integers(2, 64))
    low, high = FORMS[form][2](bits)
    edge = st.sampled_from([low, high, 0, -1 if low < 0 else 0, 1])
    return bits, draw(st.one_of(edge, st.integers(low, high)))


@pytest.mark.parametrize("form", sorted(FORMS))
@given(data=st.data())
def test_round_trip_every_width(form, data):
    encode, decode, _ = FORMS[form]
    bits, value = data.draw(value_in_range(form))
    pattern = encode(value, bits)
    assert 0 <= pattern < 2**bits
    assert decode(pattern, bits) == value


@pytest.mark.parametrize("form", sorted(FORMS))
@given(data=st.data())
def test_values_just_outside_the_range_are_refused(form, data):
    encode, _, limits = FORMS[form]
    bits = data.draw(st.integers(2, 63))
    low, high = limits(bits)
    for value in (low - 1, high + 1):
        with pytest.raises(ValueError):
            encode(value, bits)


@given(bits=st.integers(1, 64), pattern=st.integers(0, U64_MAX))
def test_twos_complement_decoding_matches_arithmetic(bits, pattern):
    pattern &= (1 << bits) - 1
    expected = pattern - (1 << bits) if pattern >> (bits - 1) else pattern
    assert k.decode_twos_complement(pattern, bits) == expected
