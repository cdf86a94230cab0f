"""Text codecs, checked against Python's own codecs where they agree."""

import codecs
import struct

import pytest
from hypothesis import given, settings, strategies as st

import kestrune as k

# windows-1252 as built independently: Python's cp1252 for the bytes it
# defines, and the C1 control of the same value for the five it leaves out.
W1252_UNDEFINED = {0x81, 0x8D, 0x8F, 0x90, 0x9D}
W1252 = [chr(b) if b in W1252_UNDEFINED else bytes([b]).decode("cp1252") for b in range(256)]
W1252_BYTE = {ch: b for b, ch in enumerate(W1252)}

# Byte-order marks that make the windows-1252 decoder read another encoding.
MARKS = {b"\xef\xbb\xbf": "utf-8", b"\xff\xfe": "utf-16-le", b"\xfe\xff": "utf-16-be"}

UTF8_INVALID = "Invalid UTF-8 bytes: "
UTF16_ODD = "UTF-16 requires an even number of bytes"
UTF16_SHORT = "UTF-16 requires an even number of bytes with at least 2 bytes"
UTF16_LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
UTF32_LEN = "UTF-32 requires a multiple of 4 bytes"
UTF32_SHORT = "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"
W1252_DECODE = "Failed to decode Windows-1252 bytes"
W1252_ENCODE = "Failed to encode to Windows-1252"

ORACLE_ENCODERS = [
    (k.encode_utf8, lambda t: t.encode("utf-8")),
    (k.encode_utf16be, lambda t: t.encode("utf-16-be")),
    (k.encode_utf16le, lambda t: t.encode("utf-16-le")),
    (k.encode_utf16, lambda t: b"\xfe\xff" + t.encode("utf-16-be")),
    (k.encode_utf32be, lambda t: t.encode("utf-32-be")),
    (k.encode_utf32le, lambda t: t.encode("utf-32-le")),
    (k.encode_utf32, lambda t: b"\x00\x00\xfe\xff" + t.encode("utf-32-be")),
]

# Mixed scripts and planes, with characters near every encoding boundary,
# and ASCII runs long enough for the block-at-a-time paths.
ascii_runs = st.text("abcxyz 019", min_size=12, max_size=40)
texts = st.lists(
    st.one_of(
        ascii_runs,
        st.text(
            st.one_of(
                st.characters(exclude_categories=("Cs",)),
                st.sampled_from("\x00\x7f\x80\xff\u0100\u07ff\u0800\ufeff\uffff\U00010000\U0010ffff€Ÿ"),
            ),
            max_size=6,
        ),
    ),
    max_size=6,
).map("".join)


def raises(fn, arg, match_exact):
    with pytest.raises(ValueError) as info:
        fn(arg)
    assert str(info.value) == match_exact


@given(texts)
def test_unicode_encoders_match_python_and_round_trip(t):
    for ours, theirs in ORACLE_ENCODERS:
        assert ours(t) == theirs(t)
    assert k.decode_utf8(t.encode()) == t
    assert k.decode_utf16(k.encode_utf16(t)) == t
    assert k.decode_utf32(k.encode_utf32(t)) == t
    assert k.decode_utf16le(t.encode("utf-16-le")) == t
    assert k.decode_utf32le(t.encode("utf-32-le")) == t


def first_unencodable(t, limit):
    return next((c for c in t if ord(c) > limit), None)


def check_single_byte_encoders(t):
    for fn, limit, name in ((k.encode_us_ascii, 0x7F, "US-ASCII"), (k.encode_iso_8859_1, 0xFF, "ISO-8859-1")):
        bad = first_unencodable(t, limit)
        if bad is None:
            assert fn(t) == t.encode("latin-1")
        else:
            raises(fn, t, f"Character '{bad}' (U+{ord(bad):04X}) is not valid {name}")
    if all(c in W1252_BYTE for c in t):
        encoded = bytes(W1252_BYTE[c] for c in t)
        assert k.encode_windows_1252(t) == encoded
        if not encoded.startswith(tuple(MARKS)):
            assert k.decode_windows_1252(encoded) == t
    else:
        raises(k.encode_windows_1252, t, W1252_ENCODE)


@given(texts)
def test_single_byte_encoders(t):
    check_single_byte_encoders(t)


# Byte strings built from random bytes, valid characters and the classic
# faults (truncated sequences, surrogates, overlong and out-of-range forms).
utf8_pieces = st.one_of(
    st.binary(max_size=4),
    st.text(max_size=3).map(str.encode),
    ascii_runs.map(str.encode),
    st.sampled_from([b"\xe2\x82", b"\xf0\x9f\x98", b"\xed\xa0\x80", b"\xf4\x90", b"\xe0\x9f", b"\xc0\xaf"]),
)


@settings(max_examples=300)
@given(st.lists(utf8_pieces, max_size=6).map(b"".join))
def test_decode_utf8_matches_python_including_error_position(data):
    try:
        expected = data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            message = f"incomplete utf-8 byte sequence from index {e.start}"
        else:
            message = f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
        raises(k.decode_utf8, data, UTF8_INVALID + message)
    else:
        assert k.decode_utf8(data) == expected


def first_bad_utf32(data, fmt):
    units = struct.unpack(fmt + "%dI" % (len(data) // 4), data)
    return next(u for u in units if 0xD800 <= u <= 0xDFFF or u > 0x10FFFF)


# Raw bytes, or code units packed in either order with surrogates and
# out-of-range values drawn often.
def packed(width, values):
    return st.tuples(st.sampled_from("<>"), st.lists(values, max_size=24)).map(
        lambda a: struct.pack(f"{a[0]}{len(a[1])}{width}", *a[1])
    )


surrogates = st.integers(0xD800, 0xDFFF)
code_unit_bytes = st.one_of(
    st.binary(max_size=24),
    packed("H", st.one_of(st.integers(0, 0x7F), st.integers(0, 0xFFFF), surrogates)),
    packed("I", st.one_of(st.integers(0, 0x10FFFF), surrogates, st.integers(0x110000, 2**32 - 1))),
)


@given(st.integers(0, 40), code_unit_bytes)
def test_explicit_order_decoders_match_python(ascii_prefix, tail):
    for ours, codec, unit, fmt in (
        (k.decode_utf16be, "utf-16-be", 2, ">"),
        (k.decode_utf16le, "utf-16-le", 2, "<"),
        (k.decode_utf32be, "utf-32-be", 4, ">"),
        (k.decode_utf32le, "utf-32-le", 4, "<"),
    ):
        data = ("a" * ascii_prefix).encode(codec) + tail
        try:
            expected = data.decode(codec)
        except UnicodeDecodeError:
            if len(data) % unit:
                raises(ours, data, UTF16_ODD if unit == 2 else UTF32_LEN)
            elif unit == 2:
                raises(ours, data, UTF16_LONE)
            else:
                raises(ours, data, f"Invalid UTF-32 codepoint: 0x{first_bad_utf32(data, fmt):08X}")
        else:
            assert ours(data) == expected


@given(st.binary(max_size=24))
def test_single_byte_decoders_match_python(data):
    assert k.decode_iso_8859_1(data) == data.decode("latin-1")
    bad = next((b for b in data if b >= 0x80), None)
    if bad is None:
        assert k.decode_us_ascii(data) == data.decode("ascii")
    else:
        raises(k.decode_us_ascii, data, f"Invalid US-ASCII byte: 0x{bad:02X} (must be <= 0x7F)")


@given(st.sampled_from([b"", *MARKS]), st.binary(max_size=16))
def test_decode_windows_1252_sniffs_byte_order_marks(mark, rest):
    data = mark + rest
    sniffed = next((m for m in MARKS if data.startswith(m)), None)
    if sniffed is None:
        assert k.decode_windows_1252(data) == "".join(W1252[b] for b in data)
        return
    try:
        expected = data[len(sniffed) :].decode(MARKS[sniffed])
    except UnicodeDecodeError:
        raises(k.decode_windows_1252, data, W1252_DECODE)
    else:
        assert k.decode_windows_1252(data) == expected


def test_windows_1252_whole_table():
    assert k.decode_windows_1252(bytes(range(256))) == "".join(W1252)
    assert k.encode_windows_1252("".join(W1252)) == bytes(range(256))
    for cp in range(0x10000):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        c = chr(cp)
        if c in W1252_BYTE:
            assert k.encode_windows_1252(c) == bytes([W1252_BYTE[c]])
        else:
            raises(k.encode_windows_1252, c, W1252_ENCODE)


@pytest.mark.parametrize(
    "fn, data, message",
    [
        (k.decode_utf8, b"\xff", UTF8_INVALID + "invalid utf-8 sequence of 1 bytes from index 0"),
        (k.decode_utf8, b"a\xe2\x82", UTF8_INVALID + "incomplete utf-8 byte sequence from index 1"),
        (k.decode_utf8, b"\xe2\x82\x28", UTF8_INVALID + "invalid utf-8 sequence of 2 bytes from index 0"),
        (k.decode_utf8, b"ab\xf0\x9f\x98\x41", UTF8_INVALID + "invalid utf-8 sequence of 3 bytes from index 2"),
        (k.decode_utf8, b"\xed\xa0\x80", UTF8_INVALID + "invalid utf-8 sequence of 1 bytes from index 0"),
        (k.decode_utf8, b"\xf4\x90\x80\x80", UTF8_INVALID + "invalid utf-8 sequence of 1 bytes from index 0"),
        (k.decode_utf8, b"\xe0\x80", UTF8_INVALID + "invalid utf-8 sequence of 1 bytes from index 0"),
        (k.decode_utf16, b"", UTF16_SHORT),
        (k.decode_utf16, b"A", UTF16_SHORT),
        (k.decode_utf16, b"\xfe\xff\x00", UTF16_SHORT),
        (k.decode_utf16be, b"abc", UTF16_ODD),
        (k.decode_utf16le, b"\x00\xd8", UTF16_LONE),
        (k.decode_utf16, b"\xff\xfe\x00\xdc", UTF16_LONE),
        (k.decode_utf16be, b"\xd8\x3d\x00A", UTF16_LONE),
        (k.decode_utf32, b"", UTF32_SHORT),
        (k.decode_utf32, b"\x00\x00\xfe\xff\x00", UTF32_SHORT),
        (k.decode_utf32le, b"abcde", UTF32_LEN),
        (k.decode_utf32be, b"\x00\x00\xd8\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
        (k.decode_utf32le, b"\x00\x00\x11\x00", "Invalid UTF-32 codepoint: 0x00110000"),
        (k.decode_utf32, b"\xff\xfe\x00\x00\x00\x00\x11\x00", "Invalid UTF-32 codepoint: 0x00110000"),
        # sixteen units whose byte pattern is ASCII in the other byte order
        (k.decode_utf32be, b"A\x00\x00\x00" * 16, "Invalid UTF-32 codepoint: 0x41000000"),
        (k.decode_utf32le, b"\x00\x00\x00A" * 16, "Invalid UTF-32 codepoint: 0x41000000"),
        (k.decode_us_ascii, b"ab\x80\xff", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
        (k.decode_windows_1252, b"\xff\xfeA", W1252_DECODE),
        (k.decode_windows_1252, b"\xfe\xff\xdc\x00", W1252_DECODE),
        (k.decode_windows_1252, b"\xef\xbb\xbf\xff", W1252_DECODE),
        (k.encode_us_ascii, "é", "Character 'é' (U+00E9) is not valid US-ASCII"),
        (k.encode_us_ascii, "a\U0001F600b", "Character '\U0001F600' (U+1F600) is not valid US-ASCII"),
        (k.encode_iso_8859_1, "é€Ā", "Character '€' (U+20AC) is not valid ISO-8859-1"),
        (k.encode_windows_1252, "\x80", W1252_ENCODE),
        (k.encode_windows_1252, "abcĀ", W1252_ENCODE),
    ],
)
def test_exact_failures(fn, data, message):
    raises(fn, data, message)


@pytest.mark.parametrize(
    "fn, data, expected",
    [
        (k.encode_utf16, "", b"\xfe\xff"),
        (k.encode_utf32, "", b"\x00\x00\xfe\xff"),
        (k.encode_utf16, "\ufeffA", b"\xfe\xff\xfe\xff\x00A"),
        (k.decode_utf16, b"\xfe\xff", ""),
        (k.decode_utf16, b"\xff\xfeA\x00", "A"),
        (k.decode_utf16, b"\x00A", "A"),
        (k.decode_utf16be, b"\xfe\xff\x00A", "\ufeffA"),
        (k.decode_utf16le, b"", ""),
        (k.decode_utf32, b"\xff\xfe\x00\x00A\x00\x00\x00", "A"),
        (k.decode_utf32, b"\x00\x00\xfe\xff", ""),
        (k.decode_utf32, b"\x00\x00\x00A", "A"),
        (k.decode_utf32le, b"\xff\xfe\x00\x00", "\ufeff"),
        (k.decode_utf8, b"\xef\xbb\xbfA", "\ufeffA"),
        (k.decode_windows_1252, b"\xef\xbb\xbf\xc3\xa9", "é"),
        (k.decode_windows_1252, b"\xef\xbb\xbf", ""),
        (k.decode_windows_1252, b"\xef\xbb", "ï»"),
        (k.decode_windows_1252, b"\xfe\xff\x00A", "A"),
        (k.decode_windows_1252, b"\xff\xfeA\x00", "A"),
        (k.decode_windows_1252, b"\xff", "ÿ"),
        # sixteen units whose byte pattern is ASCII in the other byte order
        (k.decode_utf16be, b"A\x00" * 16, "\u4100" * 16),
        (k.decode_utf16le, b"\x00A" * 16, "\u4100" * 16),
    ],
)
def test_decodes(fn, data, expected):
    assert fn(data) == expected


@pytest.mark.parametrize("name", [n for n in k.__all__ if "utf" in n or "ascii" in n or "8859" in n or "1252" in n])
def test_argument_types(name):
    fn = getattr(k, name)
    wrong, param, target = (b"x", "text", "str") if name.startswith("encode") else ("x", "bytes", "bytes")
    with pytest.raises(TypeError, match=rf"^argument '{param}': '\w+' object cannot be cast as '{target}'$"):
        fn(wrong)
    if name.startswith("encode"):
        with pytest.raises(UnicodeEncodeError):
            fn("a\ud800")


ENCODERS = [n for n in k.__all__ if n.startswith("encode_") and ("utf" in n or "ascii" in n or "8859" in n or "1252" in n)]


@pytest.mark.parametrize("name", ENCODERS)
@pytest.mark.parametrize(
    "text",
    [
        "\ud800",
        "a" * 20 + "\udfff" + "b" * 20,  # inside a block, in 2-byte storage
        "é\ud800",  # after a character the single-byte charsets lack
        "€" * 17 + "\udc00\ud800",  # two in a row
        "\U0001F600" * 3 + "x" * 30 + "\ud83d",  # in 4-byte storage
    ],
)
def test_a_lone_surrogate_fails_every_encoder_as_the_utf8_conversion_does(name, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as got:
        getattr(k, name)(text)
    for attr in ("encoding", "object", "start", "end", "reason"):
        assert getattr(got.value, attr) == getattr(expected.value, attr)
    assert str(got.value) == str(expected.value)


# Text in each storage width the interpreter uses (1, 2 and 4 bytes per
# character), long enough for the block paths, against Python's codecs.
storage_texts = st.tuples(
    st.sampled_from(["", "é", "€", "\U0001F600"]), texts, st.integers(0, 40)
).map(lambda a: "a" * a[2] + a[0] + a[1])


@given(storage_texts)
def test_encoders_from_every_storage_width_match_python(t):
    for ours, theirs in ORACLE_ENCODERS:
        assert ours(t) == theirs(t)
    check_single_byte_encoders(t)
