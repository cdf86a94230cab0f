"""Arbitrary recipes and packets: every failure is a clean exception.

Items mix valid and invalid keys, types and widths; whatever the input, the
packet functions either succeed or raise the documented kinds of exception
(and never crash; scripts/sanitize.sh runs this under the sanitizers).
"""

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
    except (ValueError, MemoryError):
        pass
    try:
        assert isinstance(k.unpack_parameters(packet, start, recipe), dict)
    except ValueError as error:
        # Every failure of the recipe work arrives as "{type}: {text}".
        assert ": " in str(error)
