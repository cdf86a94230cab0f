"""Objects that interrupt the module halfway or lie about their size.

Where the module ignores or replaces an ordinary failure (a sizing hint that
cannot be had, a failure's text that cannot be read, a probe of a value's
type), an interrupt raised in the same place (KeyboardInterrupt, SystemExit:
anything that does not derive from Exception) propagates unchanged.
"""

import pytest

from kestrune import encode_packed_bcd, pack_parameters, unpack_parameters


class Interrupt(BaseException):
    """A BaseException that is not an Exception, as KeyboardInterrupt is."""


def item(**changes):
    return {"name": "p", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
            "value": 1, **changes}


class Recipe:
    """A sequence (by __getitem__) whose __len__ says `length` or raises it."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("from __len__")
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class Failure(Exception):
    """A failure whose text cannot be read: str() raises args[0]."""

    def __str__(self):
        raise self.args[0]("from __str__")


class FailingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise Failure(self.exc)


def flag(exc):
    """A value whose type's __module__ (read to recognise NumPy booleans) raises exc."""

    class Meta(type):
        @property
        def __module__(cls):
            raise exc("from __module__")

    return Meta("Flag", (), {})()


def pack(recipe):
    return pack_parameters(recipe)


def unpack(recipe):
    return unpack_parameters(b"\x01", 0, recipe)


NOT_A_BOOL = "TypeError: 'Flag' object cannot be cast as 'bool'"
NO_TEXT = "Failure: <exception str() failed>"


@pytest.mark.parametrize("call, make, ordinary", [
    # len() of the recipe only sizes the copy: an ordinary failure is ignored.
    (pack, lambda exc: Recipe([item()], exc), b"\x01"),
    (unpack, lambda exc: Recipe([item()], exc), {"p": 1}),
    # The text of a failure that the packet functions wrap.
    (pack, lambda exc: [item(bits=FailingIndex(exc))], ValueError(NO_TEXT)),
    (unpack, lambda exc: [item(bits=FailingIndex(exc))], ValueError(NO_TEXT)),
    # The NumPy probe of a bool value.
    (pack, lambda exc: [item(reverse_bits=flag(exc))], ValueError(NOT_A_BOOL)),
    (unpack, lambda exc: [item(reverse_bits=flag(exc))], ValueError(NOT_A_BOOL)),
    (lambda signed: encode_packed_bcd(1, 8, signed=signed), flag,
     TypeError("argument 'signed': 'Flag' object cannot be cast as 'bool'")),
], ids=["len-pack", "len-unpack", "str-pack", "str-unpack", "probe-pack", "probe-unpack", "probe-argument"])
def test_interrupts_propagate_where_ordinary_failures_are_handled(call, make, ordinary):
    if isinstance(ordinary, Exception):
        with pytest.raises(type(ordinary)) as info:
            call(make(LookupError))
        assert str(info.value) == str(ordinary)
    else:
        assert call(make(LookupError)) == ordinary
    with pytest.raises(Interrupt) as info:
        call(make(Interrupt))
    assert str(info.value).startswith("from __")


@pytest.mark.parametrize("length", [0, 2**31, 2**40, 2**59])
def test_len_is_only_a_sizing_hint(length):
    recipe = Recipe([item(value=0xA5)], length)
    assert pack_parameters(recipe) == b"\xa5"
    assert unpack_parameters(b"\x5a", 0, recipe) == {"p": 0x5A}


@pytest.mark.parametrize("recipe", [range(2**62), Recipe([item()], 2**62)], ids=["range", "claimed"])
def test_length_that_no_list_can_hold_fails_as_list_does(recipe):
    with pytest.raises(MemoryError):
        list(recipe)
    with pytest.raises(MemoryError):
        pack_parameters(recipe)
    with pytest.raises(MemoryError):
        unpack_parameters(b"", 0, recipe)
