"""Every decoded cell and every per-packet failure equals what
kestrune.unpack_parameters gives for the same packet and recipe."""

from __future__ import annotations

import importlib.util
import math
import struct

import kestrune
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
kc = pytest.importorskip("kestrune_ccsds")

from .packets import HEADER, field, packet  # noqa: E402

INTEGERS = ["unsigned", "twos_complement", "TwosComplement", "ones_complement", "sign_magnitude"]
BCDS = ["bcd", "bcd_signed", "packed_bcd", "packed-bcd-signed"]
FLOATS = ["ieee754_f16", "ieee754_f32", "ieee754-f64", "ieee754_f128"]
STUBS = ["ti_f32", "ibm_f64", "mil-std-1750a-f48", "ieee754_1985_f80"]
TEXTS = ["utf8", "UTF-16", "utf16le", "utf32be", "utf-32", "us_ascii", "latin1", "windows_1252"]


@st.composite
def items(draw, name):
    encoding = draw(st.sampled_from(INTEGERS + BCDS + FLOATS + STUBS + TEXTS))
    if encoding in FLOATS:
        bits = draw(st.sampled_from([16, 32, 64, 64, 128]) | st.integers(0, 80))
    elif encoding in TEXTS:
        bits = draw(st.integers(0, 6).map(lambda n: 8 * n) | st.integers(0, 50))
    else:
        bits = draw(st.integers(0, 72))
    little = bits % 8 == 0 and draw(st.booleans())
    item = {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": draw(st.sampled_from(["little", "Little"])) if little else draw(st.sampled_from(["big", "BIG"])),
        "reverse_bits": draw(st.booleans()),
    }
    if draw(st.integers(0, 3)) == 0:
        item["offset_bits"] = draw(st.integers(0, 260))
    return item


@st.composite
def cases(draw):
    names = draw(st.sampled_from([[f"f{i}" for i in range(12)], ["a", "b", "c"]]))
    recipe = [draw(items(names[i % len(names)] if len(names) > 3 else draw(st.sampled_from(names))))
              for i in range(draw(st.integers(1, 10)))]
    bodies = draw(st.lists(st.binary(min_size=1, max_size=36), min_size=1, max_size=6))
    # Text that decodes often enough to be seen, besides random bytes.
    bodies += [b"abcdefghijklmnopqrstuvwxyz0123456789"[: len(b)] for b in bodies[:2]]
    return recipe, bodies


def bits_of(value):
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    return (type(value).__name__, value)


def cell(column, k):
    v = column[k]
    if column.dtype.kind == "f":
        return float(v)
    if column.dtype.kind in "iu":
        return int(v)
    return v


def expected(pkt, recipe):
    """unpack_parameters' dict, or its error text and the failing item's index."""
    try:
        return kestrune.unpack_parameters(pkt, 0, recipe), None
    except ValueError as e:
        for j in range(len(recipe)):
            try:
                kestrune.unpack_parameters(pkt, 0, recipe[: j + 1])
            except ValueError:
                return kestrune.unpack_parameters(pkt, 0, recipe[:j]), (str(e), j)
        raise AssertionError("unreachable")


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases())
def test_columns_rows_and_failures_equal_unpack_parameters(case):
    check_against_unpack_parameters(*case)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases(), st.data())
def test_a_recipe_changed_between_calls_decodes_as_it_now_is(case, data):
    # Plans are kept per recipe content: a recipe changed in place, back and
    # forth, or to a value equal to the old one but of another type, must
    # never be decoded with the plan of what it was.
    recipe, bodies = case
    check_against_unpack_parameters(recipe, bodies)
    for _ in range(3):
        item = data.draw(st.sampled_from(recipe))
        fresh = data.draw(items(item["name"]))
        key = data.draw(st.sampled_from(sorted(fresh.keys() | {"offset_bits"})))
        if key == "reverse_bits" and data.draw(st.booleans()):
            item[key] = int(item[key])  # 1 == True, but unpack_parameters reads it otherwise
        elif key == "offset_bits" and data.draw(st.booleans()):
            item[key] = data.draw(st.sampled_from([True, False, np.int64(1)]))
        elif key in fresh:
            item[key] = fresh[key]
        else:
            item.pop(key, None)
        try:
            kestrune.unpack_parameters(bytes(64), 0, recipe)
        except Exception as want:
            # A recipe that is now wrong is refused (which of its faults is
            # named first is the business of the recipe error tests).
            with pytest.raises(type(want)):
                kc.decode(kc.read_packets(packet(7, 0, bytes(58))), {7: recipe})
            continue
        check_against_unpack_parameters(recipe, bodies)


def check_against_unpack_parameters(recipe, bodies):
    packets = [packet(7, i, body) for i, body in enumerate(bodies)]
    # Another APID in between, which the recipes do not cover.
    source = b"".join(p + packet(9, i, b"\xff") for i, p in enumerate(packets))
    stream = kc.read_packets(source)
    table = kc.decode(stream, {7: recipe}, errors="mask")[7]
    assert list(table.packet_index) == [2 * i for i in range(len(packets))]
    names = list(dict.fromkeys(item["name"] for item in recipe))
    assert list(table.columns) == names
    first_failure = None
    for k, pkt in enumerate(packets):
        values, failure = expected(pkt, recipe)
        errors = [e for e in table.errors if e[0] == 2 * k]
        if failure is None:
            assert errors == []
            good = names
        else:
            text, j = failure
            assert errors[0] == (2 * k, recipe[j]["name"], text)
            first_failure = first_failure or (k, j, text)
            # Columns whose every item comes before the failing one.
            good = [n for n in names if all(i < j for i, it in enumerate(recipe) if it["name"] == n)]
        for n in good:
            assert bits_of(cell(table.columns[n], k)) == bits_of(values[n]), (n, k)
            assert not table.mask.get(n, np.zeros(len(packets), bool))[k]
    # The same packets row by row, and with errors="raise".
    rows = kc.iter_packets(stream, {7: recipe})
    for k in range(len(packets) if first_failure is None else first_failure[0]):
        got = next(rows)
        want, _ = expected(packets[k], recipe)
        assert list(got) == list(want)
        assert [bits_of(v) for v in got.values()] == [bits_of(v) for v in want.values()]
    if first_failure is None:
        assert next(rows, None) is None
        kc.decode(stream, {7: recipe})
    else:
        k, j, text = first_failure
        for failing in (lambda: next(rows), lambda: kc.decode(stream, {7: recipe})):
            with pytest.raises(ValueError) as info:
                failing()
            assert str(info.value) == text
            assert info.value.__notes__ == [
                f"packet {2 * k} at byte offset {int(stream.offsets[2 * k])}, item '{recipe[j]['name']}'"
            ]


@pytest.mark.parametrize("encoding", ["utf8", "binary"])
@given(st.lists(st.tuples(st.integers(0, 12), st.binary(min_size=14, max_size=14)), min_size=1, max_size=5),
       st.integers(-8, 8))
@settings(max_examples=60, deadline=None)
def test_dynamic_sizes_follow_the_size_field(encoding, packets, intercept):
    # n, then a field of 8 * n + intercept bits, then 5 bits right after it.
    fields = [
        kc.FieldSpec("n", "unsigned", 8, offset_bits=48),
        kc.FieldSpec("data", encoding, 0, size_from=("n", 8, intercept)),
        kc.FieldSpec("tail", "unsigned", 5),
    ]
    plan = kc.compile_plan(fields)
    assert [plan.dtype(i) for i in range(3)] == [np.uint8, np.object_, np.uint8]
    stream = kc.read_packets(b"".join(packet(3, i, bytes([n]) + body) for i, (n, body) in enumerate(packets)))
    table = kc.decode_plan(stream, plan, np.arange(len(stream)), key="x", errors="mask")
    for k, (n, body) in enumerate(packets):
        width = 8 * n + intercept
        pkt = stream.packet(k)
        if width < 0:
            assert [e[1:] for e in table.errors if e[0] == k] == [
                ("data", f"ValueError: Field 'data' has an invalid size in this packet: 'n' = {n} gives {width} bits"),
                ("tail", "ValueError: Field 'tail' has no position in this packet: an earlier field's size is unknown"),
            ]
            continue
        recipe = [field("n", "unsigned", 8, offset_bits=48), field("data", "latin1", width), field("tail", "unsigned", 5)]
        values, failure = expected(pkt, recipe)
        errors = [(e[1], e[2]) for e in table.errors if e[0] == k]
        if failure is not None:
            assert errors[0] == (recipe[failure[1]]["name"], failure[0])
            continue
        data = values["data"].encode("latin1") if encoding == "binary" else values["data"]
        if encoding == "utf8":
            try:
                data = data.encode("latin1").decode("utf-8")
            except UnicodeDecodeError:
                assert errors and errors[0][0] == "data"
                continue
        assert errors == []
        assert (table.columns["data"][k], int(table.columns["tail"][k])) == (data, values["tail"])


def test_column_types_are_the_narrowest_that_hold_the_values():
    recipe = [
        field("u1", "unsigned", 1), field("u11", "unsigned", 11), field("u17", "unsigned", 17),
        field("u64", "unsigned", 64), field("s8", "twos_complement", 8), field("s12", "twos_complement", 12),
        field("m33", "sign_magnitude", 33), field("b", "bcd", 8), field("h", "ieee754_f16", 16),
        field("f", "ieee754_f32", 32), field("d", "ieee754_f64", 64), field("t", "utf8", 8),
    ]
    plan = kc.compile_plan(kc.recipe_fields(recipe))
    assert [plan.dtype(i).name for i in range(len(recipe))] == [
        "uint8", "uint16", "uint32", "uint64", "int8", "int16", "int64", "int64", "float32", "float32", "float64",
        "object",
    ]


BAD_ITEMS = [
    [5],
    [{"encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}],
    [field("x", "unsigned", 8, reverse_bits=1)],
    [field("x", "unsigned", -1)],
    [field("x", "unsigned", 1 << 32)],
    [field("x", "unsigned", 8, offset_bits=-1)],
    [field("x", "unsigned", 8, offset_bits=None)],
    [field("x", "unsigned", 8, byte_order="middle")],
    [field("x", "unsigned", 12, byte_order="little")],
    [field("x", "ieee754", 32)],
    [field("x", "binary", 8)],
    [field("x", "utf_16_le", 16)],
    [field(7, "unsigned", 8)],
    [field("ok", "unsigned", 8), field("x", None, 8)],
]


@pytest.mark.parametrize("recipe", BAD_ITEMS, ids=range(len(BAD_ITEMS)))
def test_recipe_errors_are_unpack_parameters_errors(recipe):
    # A packet long enough for every field: the recipe's own fault shows.
    with pytest.raises(Exception) as want:
        kestrune.unpack_parameters(bytes(64), 0, recipe)
    stream = kc.read_packets(packet(1, 0, bytes(58)))
    with pytest.raises(type(want.value)) as got:
        kc.decode(stream, {1: recipe})
    assert str(got.value) == str(want.value)
    # The same item named (unpack_parameters adds what it knew of its place).
    item, apid = got.value.__notes__
    assert want.value.__notes__[0].startswith(item)
    assert apid == "in the recipe of APID 1"


def test_accepted_key_types_decode_like_plain_ones():
    class Name(str):
        pass

    class Item(dict):
        def __missing__(self, key):
            return 8

    recipe = [Item(name=Name("a"), encoding="unsigned", bits=np.uint8(4), byte_order="big",
                   reverse_bits=np.bool_(True), offset_bits=np.int64(52))]
    stream = kc.read_packets(packet(1, 0, b"\x1f\x00"))
    table = kc.decode(stream, {1: tuple(recipe)})[1]
    assert table.columns == {"a": table.columns["a"]}
    assert int(table.columns["a"][0]) == kestrune.unpack_parameters(stream.packet(0), 0, recipe)["a"] == 15


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: kc.decode(s, {1: []}, errors="ignore"), ValueError, "errors must be 'raise' or 'mask', not 'ignore'"),
        (lambda s: kc.decode(s, {1: []}, values="cooked"), ValueError,
         "values must be 'engineering' or 'raw', not 'cooked'"),
        (lambda s: kc.decode(s, [[]]), TypeError, "recipes must map APIDs to recipes, not list"),
        (lambda s: kc.decode(s, {2048: []}), ValueError, "recipe keys must be APIDs (0 to 2047), not 2048"),
        (lambda s: kc.decode(s, {1: "abc"}), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
        (lambda s: kc.compile_plan([kc.FieldSpec("d", "utf8", 0, size_from=("t", 8, 0)),
                                    kc.FieldSpec("t", "unsigned", 8)]), ValueError,
         "Field 'd' takes its size from 't', which is not an earlier integer field"),
        (lambda s: kc.compile_plan([kc.FieldSpec("t", "utf8", 8), kc.FieldSpec("d", "binary", 0, size_from=("t", 8, 0))]),
         ValueError, "Field 'd' takes its size from 't', which is not an earlier integer field"),
        (lambda s: kc.compile_plan([kc.FieldSpec("t", "unsigned", 8),
                                    kc.FieldSpec("d", "binary", 0, size_from=("t", 1 << 63, 0))]), ValueError,
         "Field 'd': the slope and intercept of its size must be integers between -2**63 and 2**63 - 1"),
        (lambda s: kc.decode_plan(s, kc.compile_plan([]), np.array([0, 1])), ValueError,
         "row 1 does not index a packet inside the buffer"),
        (lambda s: list(kc.iter_packets(s, {1: [field("a", "unsigned", 8)]}))[0]["a"] + kc.decode_plan(
            s, kc.compile_plan([]), np.array([-1])), ValueError, "row 0 does not index a packet inside the buffer"),
        (lambda s: kc.decode_plan(s, kc.compile_plan([]), np.array([0]), errors="skip"), ValueError,
         "errors must be 'raise' or 'mask', not 'skip'"),
    ],
)
def test_argument_errors(call, error, message):
    stream = kc.read_packets(packet(1, 0, b"\x00"))
    with pytest.raises(error) as info:
        call(stream)
    assert str(info.value) == message


def test_tables_convert_with_nulls_types_and_metadata():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    recipe = [field("n", "unsigned", 16, offset_bits=48), field("t", "utf8", 16), field("f", "ieee754_f32", 32)]
    stream = kc.read_packets(packet(4, 0, b"\x12\x34\xff\xfe\x3f\x80\x00\x00\x99") + packet(4, 1, b"\x00\x10ab\x00"))
    table = kc.decode(stream, {4: recipe}, errors="mask")[4]
    assert [(k, n) for k, n, _ in table.errors] == [(0, "t"), (1, "f")]
    assert {n: m.tolist() for n, m in table.mask.items()} == {"t": [True, False], "f": [False, True]}
    frame = table.to_pandas()
    assert frame["n"].tolist() == [0x1234, 0x10]
    assert frame["t"].tolist() == [None, "ab"]
    assert frame["f"].iloc[0] == 1.0 and math.isnan(frame["f"].iloc[1])
    table.units["f"] = "V"
    table.descriptions["f"] = "bus voltage"
    arrow = table.to_arrow()
    assert arrow.column("t").to_pylist() == [None, "ab"]
    assert arrow.column("f").to_pylist() == [1.0, None]
    assert arrow.schema.field("t").type == pa.string()
    assert arrow.schema.field("f").metadata == {b"unit": b"V", b"description": b"bus voltage"}
    assert isinstance(frame, pd.DataFrame)
    # Packets longer than their layout are counted, not hidden.
    assert stream.report().longer_than_recipe == {4: 1}


def test_threads_decode_the_same_stream_alike(capsys):
    from concurrent.futures import ThreadPoolExecutor

    recipe = [field("x", "twos_complement", 16, offset_bits=48), field("t", "utf8", 16), field("y", "bcd", 8)]
    bodies = [bytes([i % 256, (7 * i) % 256]) + b"ok" + bytes([i % 10]) for i in range(3000)]
    stream = kc.read_packets(b"".join(packet(2, i, body) for i, body in enumerate(bodies)))
    serial = kc.decode(stream, {2: recipe})[2]
    has_tqdm = importlib.util.find_spec("tqdm") is not None
    with ThreadPoolExecutor(4) as pool:
        tables = list(pool.map(lambda i: kc.decode(stream, {2: recipe}, progress=has_tqdm and i == 0)[2], range(8)))
    for table in tables:
        assert all(np.array_equal(table.columns[n], serial.columns[n]) for n in serial.columns)
    assert serial.columns["t"][0] == "ok" and serial.columns["y"].tolist() == [i % 10 for i in range(3000)]
    if has_tqdm:
        # The progress bar counts the packets' bytes.
        assert "32.2k/32.2k" in capsys.readouterr().err
    else:
        with pytest.raises(ImportError) as info:
            kc.decode(stream, {2: recipe}, progress=True)
        assert str(info.value) == "progress=True needs tqdm: pip install 'kestrune[progress]'"


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases(), cases(), st.lists(st.integers(0, 2), min_size=1, max_size=12))
def test_rows_of_mixed_apids_come_in_stream_order(case_a, case_b, order):
    # APIDs 7 and 8 with their own recipes, and 9 without one, interleaved.
    (recipe_a, bodies_a), (recipe_b, bodies_b) = case_a, case_b
    bodies = {7: bodies_a, 8: bodies_b, 9: [b"\x00"]}
    packets = [(apid, packet(apid, i, bodies[apid][i % len(bodies[apid])]))
               for i, apid in enumerate(7 + k for k in order)]
    stream = kc.read_packets(b"".join(p for _, p in packets))
    recipes = {7: recipe_a, 8: recipe_b}
    rows = kc.iter_packets(stream, recipes)
    for index, (apid, pkt) in enumerate(packets):
        if apid == 9:
            continue
        want, failure = expected(pkt, recipes[apid])
        if failure is not None:
            with pytest.raises(ValueError) as info:
                next(rows)
            assert str(info.value) == failure[0]
            assert info.value.__notes__[0].startswith(f"packet {index} at byte offset {int(stream.offsets[index])},")
            return
        got = next(rows)
        assert [(k, bits_of(v)) for k, v in got.items()] == [(k, bits_of(v)) for k, v in want.items()]
    assert next(rows, None) is None
