"""Reference-leak check of kestrune_ccsds's extension on a debug interpreter.

Run by scripts/refleak.sh after check_refleaks.py, with the same measurement:
each case is repeated in rounds until the total reference count and the
count of allocated blocks stop changing. The extension is called directly
with plain buffers (bytes, bytearray, array), so that NumPy, which a debug
interpreter rarely has, is not needed; text cells are covered by the row
dicts, which build the same objects."""

from __future__ import annotations

import array
import glob
import importlib
import types
import os
import sys

import check_refleaks as driver
import kestrune


def load_native():
    """The extension alone, from the build directory on the path: the
    package's own __init__ needs NumPy."""
    for entry in sys.path:
        for path in glob.glob(os.path.join(entry or ".", "kestrune_ccsds", "_native*.so")):
            # A bare package object stands in for the real one, so that the
            # import finds the extension in its folder without running __init__.
            package = types.ModuleType("kestrune_ccsds")
            package.__path__ = [os.path.dirname(path)]
            sys.modules["kestrune_ccsds"] = package
            return importlib.import_module("kestrune_ccsds._native")
    raise SystemExit("error: kestrune_ccsds/_native is not on the path")


native = load_native()

Case = driver.Case
WARMUP = 300
CASES: list[Case] = []


def case(label: str, call, fails: bool = False) -> None:
    expect = driver.outcome(call)
    assert (expect[0] == "raises") == fails, (label, expect)
    CASES.append(Case(label, label.split()[0], call, expect, fails))


def packet(apid: int, count: int, body: bytes) -> bytes:
    return bytes([apid >> 8, apid & 0xFF, 0xC0 | (count >> 8), count & 0xFF, 0, len(body) - 1]) + body


def field(name, kind, bits, offset=None, store=3, text=0, stub=0, size_from=-1, order="big"):
    return (name, kind, stub, text, store, bits, offset, order == "little", False, order, size_from, 1, 0)


SOURCE = packet(1, 0, b"\x12\x34ab\xff") + packet(1, 1, b"\x00\x10\xc3\xa9\x00")
OFFSETS = array.array("Q", [0, 11]).tobytes()
LENGTHS = array.array("I", [11, 11]).tobytes()
ROWS = array.array("q", [0, 1]).tobytes()
BAD_ROWS = array.array("q", [5, 0]).tobytes()

# unsigned 16 at 48, utf8 16 after it, BCD 8 after that (bad digit in packet 0)
TEXT_PLAN = native.compile([field("n", 0, 16, 48, store=1), field("t", 13, 16, store=10), field("b", 4, 8, store=7)])
NUMERIC_PLAN = native.compile([field("n", 0, 16, 48, store=1), field("b", 4, 8, 80, store=7),
                               field("x", 12, 32, 0, store=9, stub=10), field("past", 0, 8, 200, store=0)])
DYNAMIC_PLAN = native.compile([field("n", 0, 8, 48, store=0), field("d", 14, 0, store=10, size_from=0),
                               field("tail", 0, 4, store=0)])

case("scan ok", lambda: native.scan(SOURCE, 0))
case("scan truncated", lambda: native.scan(SOURCE[:-1], 2))
case("scan negative prefix", lambda: native.scan(SOURCE, -1), fails=True)
case("scan not a buffer", lambda: native.scan(42, 0), fails=True)
case("compile ok", lambda: type(native.compile([field("a", 0, 8), field("t", 13, 8, store=10)])).__name__)
case("compile bad tuple", lambda: native.compile([("a", 0)]), fails=True)
case("compile bad size reference", lambda: native.compile([field("a", 0, 8, size_from=0)]), fails=True)
case("compile bad store", lambda: native.compile([field("a", 13, 8, store=0)]), fails=True)
case("decode numeric with failures",
     lambda: native.decode(NUMERIC_PLAN, SOURCE, OFFSETS, LENGTHS, ROWS,
                           [bytearray(4), bytearray(16), bytearray(16), bytearray(2)], False))
case("decode stop at the first failure",
     lambda: native.decode(NUMERIC_PLAN, SOURCE, OFFSETS, LENGTHS, ROWS,
                           [bytearray(4), bytearray(16), bytearray(16), bytearray(2)], True))
case("decode wrong column size",
     lambda: native.decode(NUMERIC_PLAN, SOURCE, OFFSETS, LENGTHS, ROWS,
                           [bytearray(3), bytearray(16), bytearray(16), bytearray(2)], False), fails=True)
case("decode bad row",
     lambda: native.decode(NUMERIC_PLAN, SOURCE, OFFSETS, LENGTHS, BAD_ROWS,
                           [bytearray(4), bytearray(16), bytearray(16), bytearray(2)], False), fails=True)


class FloatArray:
    """Not an object array (a failed attribute lookup on None would do too,
    but the interpreter's own caches then grow for a while)."""

    __array_interface__ = {"typestr": "<f8", "shape": (2,), "strides": None, "data": (0, False)}


case("decode object column not an object array",
     lambda: native.decode(TEXT_PLAN, SOURCE, OFFSETS, LENGTHS, ROWS, [bytearray(4), FloatArray(), bytearray(16)],
                           False), fails=True)
case("rows text and failure", lambda: native.rows(TEXT_PLAN, SOURCE, OFFSETS, LENGTHS, ROWS))
case("rows ok", lambda: native.rows(TEXT_PLAN, SOURCE, OFFSETS, LENGTHS, ROWS[8:]))
case("rows dynamic", lambda: native.rows(DYNAMIC_PLAN, SOURCE, OFFSETS, LENGTHS, ROWS))
case("rows bad row", lambda: native.rows(TEXT_PLAN, SOURCE, OFFSETS, LENGTHS, BAD_ROWS), fails=True)
case("rows not a plan", lambda: native.rows(42, SOURCE, OFFSETS, LENGTHS, ROWS), fails=True)


def main() -> int:
    if not hasattr(sys, "gettotalrefcount"):
        print("error: this interpreter is not a debug build (no sys.gettotalrefcount)", file=sys.stderr)
        return 2
    idle = driver.growth(Case("nothing", "", lambda: None, ("returns", type(None), None), False), None)
    baseline = idle[-1]
    failures = 0
    for c in CASES:
        # A longer warm-up than the module's cases: a failure raised from
        # the extension fills some bounded interpreter caches for about two
        # hundred calls (it levels off at zero); a leak keeps growing.
        driver.run(c, WARMUP)
        deltas = driver.growth(c, baseline)
        if not (len(deltas) >= driver.STABLE and all(d == (0, 0) for d in deltas[-driver.STABLE:])):
            failures += 1
            print(f"LEAK  {c.label}: (references, blocks) gained per {driver.CALLS} calls: {deltas}")
    print(f"{len(CASES) - failures} of {len(CASES)} kestrune_ccsds extension cases stable over rounds of "
          f"{driver.CALLS} calls")
    return 1 if failures else 0


if __name__ == "__main__":
    assert kestrune.__name__ == "kestrune"  # loaded first, as in real use
    sys.exit(main())
