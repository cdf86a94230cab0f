"""Argument binding and conversion at the module boundary."""

import collections.abc
import signal
import time

import pytest

import kestrune as k


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


# ---- binding -------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: k.encode_utf8(), "encode_utf8() missing 1 required positional argument: 'text'"),
        (lambda: k.encode_twos_complement(1), "encode_twos_complement() missing 1 required positional argument: 'bits'"),
        (lambda: k.encode_twos_complement(), "encode_twos_complement() missing 2 required positional arguments: 'value' and 'bits'"),
        (lambda: k.encode_twos_complement(bits=3), "encode_twos_complement() missing 1 required positional argument: 'value'"),
        (lambda: k.unpack_parameters(),
         "unpack_parameters() missing 3 required positional arguments: 'packet_bytes', 'offset_bits', and 'recipe'"),
        (lambda: k.unpack_parameters(b"", recipe=[]),
         "unpack_parameters() missing 1 required positional argument: 'offset_bits'"),
        (lambda: k.encode_packed_bcd(signed=True),
         "encode_packed_bcd() missing 2 required positional arguments: 'value' and 'bits'"),
        (lambda: k.encode_packed_bcd(1, 2, 3, 4), "encode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: k.decode_utf8(b"", b""), "decode_utf8() takes 1 positional arguments but 2 were given"),
        (lambda: k.encode_twos_complement(1, 2, 3), "encode_twos_complement() takes 2 positional arguments but 3 were given"),
        (lambda: k.decode_utf8(b"", bytes=b""), "decode_utf8() got multiple values for argument 'bytes'"),
        (lambda: k.decode_utf8(data=b""), "decode_utf8() got an unexpected keyword argument 'data'"),
        (lambda: k.encode_twos_complement(1, 2, Bits=3), "encode_twos_complement() got an unexpected keyword argument 'Bits'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_in_any_order():
    assert k.encode_packed_bcd(bits=16, value=123, signed=True) == 0x123C
    assert k.encode_packed_bcd(1, 8, signed=True) == 0x1C
    assert k.decode_twos_complement(bits=8, value=0xFF) == -1


def test_keyword_given_as_non_interned_string():
    name = "".join(["bi", "ts"])
    assert k.decode_twos_complement(0xFF, **{name: 8}) == -1


def test_non_utf8_keyword_is_unexpected():
    with pytest.raises(TypeError) as info:
        k.decode_utf8(**{"\ud800": b""})
    assert str(info.value).startswith("decode_utf8() got an unexpected keyword argument '")


# ---- the argument error rule ----------------------------------------------


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: k.encode_packed_bcd(1, 8, signed=1), TypeError, "argument 'signed': 'int' object cannot be cast as 'bool'"),
        (lambda: k.decode_utf8(bytearray(b"a")), TypeError, "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"),
        (lambda: k.decode_utf8(memoryview(b"a")), TypeError, "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'"),
        (lambda: k.encode_utf8(5), TypeError, "argument 'text': 'int' object cannot be cast as 'str'"),
        (lambda: k.pack_parameters("abc"), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
        (lambda: k.pack_parameters(5), TypeError, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
        (lambda: k.pack_parameters({}), TypeError, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
        (lambda: k.decode_sign_magnitude(-1, 8), OverflowError, "can't convert negative int to unsigned"),
        (lambda: k.decode_sign_magnitude(2**64, 8), OverflowError, "int too big to convert"),
        (lambda: k.encode_twos_complement(1, -1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: k.encode_twos_complement(1, 2**32), OverflowError, "out of range integral type conversion attempted"),
        (lambda: k.encode_twos_complement(2**63, 8), OverflowError, "Python int too large to convert to C long"),
        (lambda: k.decode_ieee754_f128(2**128), OverflowError, "Python int larger than 128 bits"),
        (lambda: k.decode_ti_f32(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: k.encode_twos_complement(1.5, 8), TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
        (lambda: k.decode_twos_complement(1.5, 8), TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
        (lambda: k.encode_packed_bcd(1, 8, signed=None), TypeError, "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
    ],
)
def test_conversion_errors(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message


def test_negative_u128_is_the_value_error_of_the_conversion():
    with pytest.raises(ValueError):
        k.decode_ieee754_f128(-1)


def test_encode_f32_refuses_a_string_with_the_argument_prefix():
    with pytest.raises(TypeError) as info:
        k.encode_ieee754_f32("1")
    assert str(info.value).startswith("argument 'value': ")


def test_lone_surrogate_raises_unicode_encode_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        k.encode_utf8("\ud800")


def test_type_error_subclass_is_not_prefixed_and_cause_is_kept():
    class Special(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise Special("custom")

    with pytest.raises(Special, match="^custom$"):
        k.encode_twos_complement(Bad(), 8)

    root = KeyError("root")

    class Caused:
        def __index__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError) as info:
        k.encode_twos_complement(Caused(), 8)
    assert str(info.value) == "argument 'value': inner"
    assert info.value.__cause__ is root


def test_other_exceptions_from_conversions_pass_unchanged():
    class Boom:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        k.decode_twos_complement(Boom(), 8)
    class Interrupt:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        k.decode_twos_complement(8, Interrupt())


# ---- accepted forms ------------------------------------------------------


def test_integer_conversions_accept_index_objects_and_bool_subclass():
    assert k.encode_twos_complement(Index(-1), Index(8)) == 255
    assert k.decode_twos_complement(Index(0xFF), 8) == -1
    assert k.decode_ieee754_f128(Index(0x3FFF << 112)) == 1.0
    assert k.encode_twos_complement(True, 8) == 1  # bool is an int subclass


def test_float_conversions_accept_ints_and_float_protocols():
    assert k.encode_ieee754_f32(1) == 0x3F800000
    assert k.encode_ieee754_f64(Floaty()) == 0x4004000000000000
    assert k.encode_ieee754_f64(-1.0) == 0xBFF0000000000000
    assert k.encode_ieee754_f64(Index(2)) == 0x4000000000000000


@pytest.mark.parametrize(
    "value, pattern",
    [
        (1e39, 0x7F800000),
        (-1e39, 0xFF800000),
        # Halfway between the largest single and 2**128 rounds to even: infinity.
        (float.fromhex("0x1.FFFFFFp127"), 0x7F800000),
        (float.fromhex("-0x1.FFFFFFp127"), 0xFF800000),
        (float.fromhex("0x1.FFFFFEFFFFFFFp127"), 0x7F7FFFFF),
    ],
)
def test_single_conversion_overflows_to_infinity(value, pattern):
    assert k.encode_ieee754_f32(value) == pattern


def test_str_and_bytes_subclasses_are_accepted():
    class S(str):
        pass

    class B(bytes):
        pass

    assert k.encode_utf8(S("hé")) == "hé".encode()
    assert k.decode_utf8(B(b"ok")) == "ok"


def test_numpy_bools_are_accepted():
    np = pytest.importorskip("numpy")
    assert k.encode_packed_bcd(-1, 8, np.bool_(True)) == 0x1D
    assert k.encode_packed_bcd(1, 8, signed=np.bool_(False)) == 0x01


def test_sequence_conversion_accepts_abc_sequences_and_ignores_len_failure():
    class Registered:
        def __init__(self, items):
            self.items = items

        def __iter__(self):
            return iter(self.items)

        def __len__(self):
            raise RuntimeError("no length")

    collections.abc.Sequence.register(Registered)
    assert k.pack_parameters(Registered([])) == b""
    assert k.unpack_parameters(b"", 0, Registered([])) == {}
    assert k.pack_parameters(()) == b""


def test_sequence_iteration_failure_passes_through():
    class Broken(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, index):
            raise LookupError("broken item")

    with pytest.raises(LookupError, match="broken item"):
        k.pack_parameters(Broken())


class Interrupted(BaseException):
    pass


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("call", [
    lambda recipe: k.unpack_parameters(b"\x01", 0, recipe),
    lambda recipe: k.pack_parameters(recipe),
], ids=["unpack", "pack"])
def test_long_recipes_answer_signals(call):
    # A signal arriving during a long call is handled within it (here its
    # handler raises), not when the call ends.
    recipe = [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
               "value": 1, "offset_bits": 0}] * 1_500_000
    start = time.monotonic()
    call(recipe)
    full = time.monotonic() - start
    handled = []

    def handler(signum, frame):
        handled.append(time.monotonic())
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        due = time.monotonic() + full / 4
        signal.setitimer(signal.ITIMER_REAL, full / 4)
        with pytest.raises(Interrupted):
            call(recipe)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert handled[0] - due < full / 2
    assert call(recipe[:2]) in (b"\x01", {"a": 1})
