"""Arbitrary recipes and packets: every failure is a clean exception.

Items mix valid and invalid keys, types and widths; whatever the input, the
packet functions either succeed or raise the documented kinds of exception
(and never crash; scripts/sanitize.sh runs this under the sanitizers).
"""

import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kestrune as k

NAMES = [
    "unsigned", "twos_complement", "ones-complement", "signmagnitude", "bcd", "bcd_signed", "packed_bcd",
    "packedbcdsigned", "ieee754", "ieee_754_1985", "mil_std-1750a", "ti", "dec", "ibm", "binary", "utf8", "utf16",
    "utf_16_le", "utf-16be", "utf32", "utf32le", "utf_32_be", "usascii", "iso8859_1", "windows-1252", "latin1",
    "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128", "ti_f40", "UTF-8", "foo", "",
]
values = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=12),
    st.binary(max_size=12), st.lists(st.integers(-5, 300), max_size=6), st.just([1, "a"]),
)
widths = st.one_of(st.integers(0, 140), st.sampled_from([2**32 - 1, 2**32, -1, None, 8.0, "8", True]))
offsets = st.one_of(st.integers(0, 200), st.sampled_from([2**64 - 1, 2**64 - 9, 2**63, 2**64, -1, None, "x"]))
item = st.fixed_dictionaries(
    {},
    optional={
        "name": st.one_of(st.text(max_size=4), st.integers()),
        "encoding": st.one_of(st.sampled_from(NAMES), st.integers()),
        "bits": widths,
        "offset_bits": offsets,
        "byte_order": st.sampled_from(["big", "little", "BIG", "Little", "middle", 3]),
        "reverse_bits": st.one_of(st.booleans(), st.integers(0, 1)),
        "value": values,
    },
)
recipes = st.lists(st.one_of(item, item, item, st.integers(), st.text(max_size=3)), max_size=5)


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(recipe=recipes, packet=st.binary(max_size=40), start=st.integers(0, 80))
def test_arbitrary_recipes_fail_cleanly(recipe, packet, start):
    try:
        assert isinstance(k.pack_parameters(recipe), bytes)
    except (ValueError, MemoryError) as error:
        check_note(error, recipe, lambda r: k.pack_parameters(r))
    try:
        assert isinstance(k.unpack_parameters(packet, start, recipe), dict)
    except ValueError as error:
        # Every failure of the recipe work arrives as "{type}: {text}".
        assert ": " in str(error)
        index = check_note(error, recipe, lambda r: k.unpack_parameters(packet, start, r), start)
        # Unpacking reads the items in turn: the ones before it succeed.
        k.unpack_parameters(packet, start, recipe[:index])


NOTE = re.compile(r"in recipe item (\d+)(?: '(.*)')?(?: \((?:([^,]*), )?(?:(\d+) bits(?: at bit (\d+))?)?\))?", re.S)


def check_note(error, recipe, call, start=0):
    """The failure's one note names an item, and what it tells of the item
    is the item's own; the recipe cut after that item fails the same way.
    Returns the item's index."""
    (note,) = error.__notes__
    index, name, encoding, bits, position = NOTE.fullmatch(note).groups()
    index = int(index)
    item = recipe[index]
    if name is not None:
        assert name == str(item["name"])
    if encoding is not None:
        assert encoding == item["encoding"].lower()
    if bits is not None:
        assert int(bits) == item["bits"]
    if position is not None and "offset_bits" in item:
        assert int(position) == start + item["offset_bits"]
    with pytest.raises(type(error)) as again:
        call(recipe[: index + 1])
    assert (str(again.value), again.value.__notes__) == (str(error), error.__notes__)
    return index



def item_of(**keys):
    d = {"name": "temp", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 1}
    d.update(keys)
    return {key: value for key, value in d.items() if value is not ...}


class Interrupting:
    def __index__(self):
        raise KeyboardInterrupt("stop")


@pytest.mark.parametrize("call, error_type, args, note", [
    (lambda: k.pack_parameters([item_of(), item_of(name="b", bits="x")]), ValueError,
     ("TypeError: 'str' object cannot be interpreted as an integer",), "in recipe item 1"),
    (lambda: k.pack_parameters([item_of(offset_bits=4), item_of(name="t", encoding="TWOS_complement", bits=12,
                                                                value=5000)]), ValueError,
     ("ValueError: Value 5000 out of range for 12 bits (range: -2048 to 2047)",),
     "in recipe item 1 't' (twos_complement, 12 bits at bit 12)"),
    (lambda: k.unpack_parameters(b"\x01\xe0\x00", 0, [item_of(), item_of(encoding="US-ASCII", bits=16)]), ValueError,
     ("ValueError: Invalid US-ASCII byte: 0xE0 (must be <= 0x7F)",), "in recipe item 1 'temp' (us-ascii, 16 bits at bit 8)"),
    (lambda: k.unpack_parameters(b"\x01", 0, [item_of(bits=Interrupting())]), KeyboardInterrupt, ("stop",),
     "in recipe item 0 'temp'"),
])
def test_failure_note_names_the_item_and_changes_nothing_else(call, error_type, args, note):
    with pytest.raises(BaseException) as info:
        call()
    error = info.value
    assert (type(error), error.args, error.__notes__) == (error_type, args, [note])
    assert str(error) == args[0]
    if error_type is ValueError:
        assert error.__cause__ is None and error.__context__ is None
