"""Decoding a packet stream with a loaded definition.

Packets are classified column by column: the fields that the restrictions
test are decoded for all candidate packets with one plan, compared with
NumPy, and the packets are handed down the inheritance tree. Each concrete
container's packets are then decoded with one plan per layout variant (a
layout varies when entries have IncludeConditions), and the raw columns are
turned into engineering values in NumPy.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt

import kestrune

from ._model import (
    AllOf, AnyOf, Calibrator, Comparison, Condition, Container, Layout, Parameter, ParameterType,
    Polynomial, Slot, Spline, TimeScale, UnsupportedCalibrator,
)

if TYPE_CHECKING:
    from ..columns import FieldSpec, Plan, Table, _Progress
    from ..streams import PacketStream
    from ._definition import Definition

Array: TypeAlias = npt.NDArray[Any]
BoolArray: TypeAlias = npt.NDArray[np.bool_]
FloatArray: TypeAlias = npt.NDArray[np.float64]
IndexArray: TypeAlias = npt.NDArray[np.int64]
# The decoded fields a condition tests: qualified parameter name -> (slot, column).
Columns: TypeAlias = dict[str, tuple[Slot, Array]]
# An enumeration's labels by raw value (see _label_table).
LabelTable: TypeAlias = "tuple[int, Array, BoolArray] | None"

_TEXT_DECODERS = {
    "us-ascii": kestrune.decode_us_ascii, "iso-8859-1": kestrune.decode_iso_8859_1,
    "windows-1252": kestrune.decode_windows_1252, "utf-8": kestrune.decode_utf8,
    "utf-16": kestrune.decode_utf16, "utf-16le": kestrune.decode_utf16le,
    "utf-16be": kestrune.decode_utf16be, "utf-32": kestrune.decode_utf32,
    "utf-32le": kestrune.decode_utf32le, "utf-32be": kestrune.decode_utf32be,
}

_COMPARE = {
    "==": np.equal, "!=": np.not_equal, "<": np.less, "<=": np.less_equal,
    ">": np.greater, ">=": np.greater_equal,
}


class _CellErrors:
    """Per-cell failures: raised at once (errors="raise") or collected with a mask."""

    def __init__(self, errors: str, key: str):
        self.raise_ = errors == "raise"
        self.key = key
        self.items: list[tuple[int, str, str]] = []
        self.masks: dict[str, BoolArray] = {}

    def fail(self, packet_index: IndexArray, rows: BoolArray, column: str, message: str) -> None:
        """rows: bool array over the table's rows that failed with message."""
        if not rows.any():
            return
        first = int(packet_index[np.argmax(rows)])
        if self.raise_:
            raise ValueError(f"{self.key}: packet {first}: {column}: {message}")
        mask = self.masks.get(column)
        if mask is None:
            mask = self.masks[column] = np.zeros(len(packet_index), bool)
        mask |= rows
        for i in np.flatnonzero(rows):
            self.items.append((int(packet_index[i]), column, message))


def decode_definition(defn: Definition, stream: PacketStream, errors: str, progress: bool,
                      values: str) -> dict[str, Table]:
    if errors not in ("raise", "mask"):
        raise ValueError(f"errors must be 'raise' or 'mask', not {errors!r}")
    if values not in ("engineering", "raw"):
        raise ValueError(f"values must be 'engineering' or 'raw', not {values!r}")
    engineering = values == "engineering"
    chosen = {q: idx for q, idx in classify(defn, stream).items() if q is not None}
    # One progress bar over the bytes of every packet that is decoded.
    bar = None
    if progress:
        from ..columns import _progress_bar

        total = sum(int(stream.lengths[idx].sum(dtype=np.uint64)) for idx in chosen.values())
        bar = _progress_bar(total, True, getattr(stream, "source_name", "packets"))
    try:
        out: dict[str, Table] = {}
        for q, idx in chosen.items():
            name = defn.name_of(q)
            out[name] = _decode_container(defn, stream, defn._layout(q), idx, name, errors, bar,
                                          engineering)
    finally:
        if bar is not None:
            bar.close()
    return out


# -- classification ----------------------------------------------------------


def classify(defn: Definition, stream: PacketStream) -> dict[str | None, IndexArray]:
    """{qualified container name: packet indices}, and None: the packets no container takes."""
    assigned: dict[str, list[IndexArray]] = {}
    remaining = np.arange(len(stream), dtype=np.int64)
    for root in defn.roots:
        if len(remaining) == 0:
            break
        remaining = _descend(defn, stream, root, remaining, assigned)
    out: dict[str | None, IndexArray] = {}
    for q, parts in assigned.items():
        idx = np.sort(np.concatenate(parts)) if len(parts) > 1 else parts[0]
        if len(idx):
            out[q] = idx
    taken = np.zeros(len(stream), bool)
    for idx in out.values():
        taken[idx] = True
    out[None] = np.flatnonzero(~taken)
    return out


def _descend(defn: Definition, stream: PacketStream, cont: Container, idx: IndexArray,
             assigned: dict[str, list[IndexArray]]) -> IndexArray:
    """Hands the packets idx down from cont; returns the packets no container took."""
    children = defn.children(cont)
    if children and len(idx):
        needed: set[str] = set()
        for child in children:
            needed.update(_params(child.restriction))
        columns: Columns = {}
        ok = np.ones(len(idx), bool)
        if needed:
            columns, ok = _probe(defn, stream, defn._layout(cont.qualified_name), needed, idx)
        free = np.ones(len(idx), bool)
        for child in children:
            if child.restriction is None:
                match = free.copy()
            else:
                match = free & ok & _evaluate(defn, child.restriction, columns, len(idx))
            if match.any():
                # Packets that a child matches stay with it, even those that
                # nothing below it takes: they are in no table.
                free &= ~match
                _descend(defn, stream, child, idx[match], assigned)
        idx = idx[free]
    if len(idx) and not cont.abstract:
        assigned.setdefault(cont.qualified_name, []).append(idx)
        return idx[:0]
    return idx


def _params(cond: Condition | None) -> Iterator[str]:
    if cond is None:
        return
    if isinstance(cond, Comparison):
        yield cond.parameter
        if cond.other is not None:
            yield cond.other
    else:
        for term in cond.terms:
            yield from _params(term)


def _probe(defn: Definition, stream: PacketStream, layout: Layout, needed: set[str],
           idx: IndexArray) -> tuple[Columns, BoolArray]:
    """Decodes the fields a restriction needs; ok marks packets that hold them all."""
    from ..columns import decode_plan

    last = max(i for i, s in enumerate(layout.slots)
               if s.parameter is not None and s.parameter.qualified_name in needed)
    slots = layout.slots[:last + 1]
    if any(s.condition is not None for s in slots):
        raise ValueError(f"container '{defn.name_of(layout.container.qualified_name)}': "
                         "restrictions on fields after an IncludeCondition are not supported")
    table = decode_plan(stream, _plan(defn, slots), idx, key=None, errors="mask",
                        progress=False)
    ok = np.ones(len(idx), bool)
    by_param: Columns = {}
    for s in slots:
        if s.parameter is not None and s.parameter.qualified_name in needed:
            by_param[s.parameter.qualified_name] = (s, table.columns[s.column])
            m = table.mask.get(s.column)
            if m is not None:
                ok &= ~m
    return by_param, ok


def _evaluate(defn: Definition, cond: Condition, columns: Columns, n: int) -> BoolArray:
    if isinstance(cond, AllOf):
        out = np.ones(n, bool)
        for term in cond.terms:
            out &= _evaluate(defn, term, columns, n)
        return out
    if isinstance(cond, AnyOf):
        out = np.zeros(n, bool)
        for term in cond.terms:
            out |= _evaluate(defn, term, columns, n)
        return out
    left = _compared(defn, columns, cond.parameter, cond.raw)
    if cond.other is not None:
        right = _compared(defn, columns, cond.other, cond.other_raw)
        return np.asarray(_COMPARE[cond.operator](left, right), np.bool_)
    value = cond.value
    assert value is not None  # a comparison with no other parameter has a value
    if isinstance(value, frozenset):
        hit = np.isin(left, np.fromiter(value, np.int64, len(value)))
        return hit if cond.operator == "==" else ~hit
    if left.dtype == object:
        hit = np.fromiter((v == value for v in left), np.bool_, len(left))
        if cond.operator == "==":
            return hit
        if cond.operator == "!=":
            return ~hit
        return np.fromiter((_COMPARE[cond.operator](v, value) for v in left), np.bool_,
                           len(left))
    if isinstance(value, int) and left.dtype == np.uint64 and value < 0:
        left = left.astype(np.float64)
    return np.asarray(_COMPARE[cond.operator](left, value), np.bool_)


def _compared(defn: Definition, columns: Columns, qualified: str, raw: bool) -> Array:
    """The column a comparison tests: raw, or engineering (calibrated, boolean)."""
    slot, column = columns[qualified]
    param = slot.parameter
    assert param is not None  # the columns hold parameters' slots only
    ptype = param.type
    if raw or ptype.kind in ("enumerated", "string", "binary"):
        return column
    if ptype.kind == "boolean":
        return np.asarray(column != 0, np.bool_)
    assert param.encoding is not None  # a parameter without an encoding has no column
    cal = param.encoding.calibrator
    if cal is None or isinstance(cal, UnsupportedCalibrator):
        if isinstance(cal, UnsupportedCalibrator):
            raise ValueError(f"parameter '{param.name}': a {cal.kind} cannot be evaluated; "
                             "compare its raw value (useCalibratedValue=\"false\")")
        return column
    values, bad = _calibrate(cal, column.astype(np.float64))
    values[bad] = np.nan
    return values


# -- plans -------------------------------------------------------------------


def _plan(defn: Definition, slots: Sequence[Slot]) -> Plan:
    """The compiled plan of these slots, compiled once per definition."""
    from ..columns import compile_plan

    key = tuple(map(id, slots))
    plan = defn._plans.get(key)
    if plan is None:
        plan = defn._plans[key] = (compile_plan(_fieldspecs(slots)), slots)
    return plan[0]


def _fieldspecs(slots: Sequence[Slot]) -> list[FieldSpec]:
    from ..columns import FieldSpec

    specs = []
    for i, s in enumerate(slots):
        if s.offset is None and s.gap:
            specs.append(FieldSpec(f" gap {i}", "unsigned" if s.gap <= 64 else "binary", s.gap,
                                   None))
        specs.append(FieldSpec(s.column, s.encoding, s.bits, s.offset, s.byte_order,
                               s.reverse_bits, s.size_from))
    return specs


def _variants(defn: Definition, stream: PacketStream, layout: Layout,
              idx: IndexArray) -> list[tuple[list[Slot], IndexArray]]:
    """Splits the packets by which conditional entries are present.

    Returns [(slots present, packet indices)]. Conditions are evaluated in
    layout order, each on the fields before it, so that the fields a
    condition reads are decoded with the entries present that precede them.
    """
    from ..columns import decode_plan

    pending: list[tuple[int, list[Slot], IndexArray]] = [(0, [], idx)]
    done: list[tuple[list[Slot], IndexArray]] = []
    slots = layout.slots
    while pending:
        start, present, packets = pending.pop()
        i = start
        while i < len(slots) and slots[i].condition is None:
            present = present + [slots[i]]
            i += 1
        if i == len(slots) or len(packets) == 0:
            done.append((present, packets))
            continue
        cond = slots[i].condition
        assert cond is not None  # the loop above stops at a conditional slot
        needed = set(_params(cond))
        table = decode_plan(stream, _plan(defn, present), packets, key=None, errors="mask",
                            progress=False)
        columns: Columns = {}
        ok = np.ones(len(packets), bool)
        for s in present:
            if s.parameter is not None and s.parameter.qualified_name in needed:
                columns[s.parameter.qualified_name] = (s, table.columns[s.column])
                m = table.mask.get(s.column)
                if m is not None:
                    ok &= ~m
        hit = ok & _evaluate(defn, cond, columns, len(packets))
        # Consecutive entries under the same condition (an included
        # container) are present or absent together.
        j = i
        while j < len(slots) and slots[j].condition is cond:
            j += 1
        pending.append((j, present + list(slots[i:j]), packets[hit]))
        pending.append((j, present, packets[~hit]))
    return done


def _decode_container(defn: Definition, stream: PacketStream, layout: Layout, idx: IndexArray,
                      name: str, errors: str, bar: _Progress | None, engineering: bool) -> Table:
    from ..columns import _decode_plan

    info = _layout_info(defn, layout)
    if not info.conditional:
        parts = [(list(layout.slots), idx)]
    else:
        parts = _variants(defn, stream, layout, idx)
    tables: list[tuple[list[Slot], Table]] = []
    for slots, packets in parts:
        if len(packets) == 0:
            continue
        table = _decode_plan(stream, _plan(defn, slots), np.ascontiguousarray(packets),
                             name, errors, bar)
        tables.append((slots, table))
    columns, mask, packet_index, errs = _merge(layout, tables, len(idx))
    longer = sum(t.packets_longer for _, t in tables)
    note = getattr(stream, "note_longer", None)
    if note is not None:
        note(name, longer)
    cells = _CellErrors(errors, name)
    for column in info.texts:
        columns[column] = _finish_text(info.slots[column], columns[column], packet_index,
                                       cells, mask.get(column))
    out: dict[str, Array] = {column: columns[column] for column in layout.columns}
    if engineering:
        for column in info.converted:
            out[column] = _engineering(defn, layout.columns[column], column, columns[column],
                                       packet_index, cells, mask.get(column), columns, layout)
    for column, m in cells.masks.items():
        mask[column] = mask[column] | m if column in mask else m
    errs.extend(cells.items)
    errs.sort(key=lambda e: e[0])
    object_types = {column: kind for column, kind in info.object_columns
                    if out[column].dtype == object}
    return _make_table(name, out, packet_index, errs, mask,
                       dict(info.units) if engineering else {}, dict(info.descriptions),
                       object_types, longer)


class LayoutInfo(NamedTuple):
    """What every decode of a layout needs, worked out once per definition."""

    conditional: bool  # an entry has an IncludeCondition
    slots: dict[str, Slot]  # column -> slot
    texts: list[str]  # text read as bytes: cut at a terminator or by a size tag, then decoded
    converted: list[str]  # columns whose engineering values differ from their raw values
    object_columns: list[tuple[str, str]]  # columns that may hold objects, and what kind
    units: dict[str, str]
    descriptions: dict[str, str]


def _layout_info(defn: Definition, layout: Layout) -> LayoutInfo:
    key = layout.container.qualified_name
    found = defn._layout_info.get(key)
    if found is not None:
        return found
    slots = {s.column: s for s in layout.slots}
    params = layout.columns
    info = LayoutInfo(
        conditional=any(s.condition is not None for s in layout.slots),
        slots=slots,
        texts=[c for c in params if _read_as_text(slots[c])],
        converted=[c for c, p in params.items() if _converted(defn, p)],
        object_columns=[(c, "binary" if p.encoding is not None and p.encoding.kind == "binary"
                         else "text")
                        for c, p in params.items() if _may_hold_objects(p, slots[c])],
        units={c: p.units for c, p in params.items() if p.units},
        descriptions={c: p.description for c, p in params.items() if p.description},
    )
    defn._layout_info[key] = info
    return info


def _may_hold_objects(param: Parameter, slot: Slot) -> bool:
    """Text, bytes and enumeration labels are object columns; numbers, booleans and times are not."""
    enc = param.encoding
    return (slot.encoding == "binary" or param.type.kind in ("string", "binary", "enumerated")
            or (enc is not None and enc.kind in ("string", "binary")))


def _converted(defn: Definition, param: Parameter) -> bool:
    """Whether _engineering changes (or checks) this parameter's raw values."""
    enc = param.encoding
    if param.type.kind not in ("integer", "string", "binary") or enc is None:
        return True
    return (enc.calibrator is not None
            or param.type.qualified_name in defn.context_calibrators)


def _read_as_text(slot: Slot) -> bool:
    enc = slot.parameter.encoding if slot.parameter is not None else None
    return enc is not None and enc.kind == "string" and slot.encoding == "binary"


def _merge(
        layout: Layout, tables: list[tuple[list[Slot], Table]], n: int,
) -> tuple[dict[str, Array], dict[str, BoolArray], IndexArray, list[tuple[int, str, str]]]:
    """One set of columns over all packets, in stream order, from the variant tables."""
    by_column = {s.column: s for s in layout.slots}
    if len(tables) == 1:
        slots, table = tables[0]
        present = {s.column for s in slots}
        columns = {c: table.columns[c] for c in layout.columns if c in present}
        mask = {c: m for c, m in table.mask.items() if c in layout.columns}
        packet_index = np.asarray(table.packet_index)
        for c in layout.columns:
            if c not in present:
                columns[c] = _empty_like(by_column[c], len(packet_index))
                mask[c] = np.ones(len(packet_index), bool)
        return columns, mask, packet_index, list(table.errors)
    packet_index = np.concatenate([np.asarray(t.packet_index) for _, t in tables])
    order = np.argsort(packet_index, kind="stable")
    packet_index = packet_index[order]
    columns = {}
    mask = {}
    errs: list[tuple[int, str, str]] = []
    for _, t in tables:
        errs.extend(t.errors)
    for c in layout.columns:
        pieces: list[Array] = []
        masks: list[BoolArray] = []
        for _, t in tables:
            count = len(t.packet_index)
            if c in t.columns:
                pieces.append(np.asarray(t.columns[c]))
                m = t.mask.get(c)
                masks.append(m if m is not None else np.zeros(count, bool))
            else:
                pieces.append(_empty_like(by_column[c], count))
                masks.append(np.ones(count, bool))
        dtype = _common_dtype(pieces)
        columns[c] = np.concatenate([p.astype(dtype, copy=False) for p in pieces])[order]
        m = np.concatenate(masks)[order]
        if m.any():
            mask[c] = m
    return columns, mask, packet_index, errs


def _common_dtype(pieces: list[Array]) -> npt.DTypeLike:
    kinds = {p.dtype for p in pieces}
    if len(kinds) == 1:
        return kinds.pop()
    if any(k == object for k in kinds):
        return object
    return np.result_type(*kinds)


def _empty_like(slot: Slot, n: int) -> Array:
    enc = slot.encoding
    param = slot.parameter
    if enc == "binary" or (param is not None and param.encoding is not None
                           and param.encoding.kind == "string"):
        out = np.empty(n, object)
        out[:] = None
        return out
    if enc.startswith(("ieee", "mil", "dec", "ibm", "ti")):
        return np.full(n, np.nan)
    if enc == "unsigned":
        return np.zeros(n, np.uint64)
    return np.zeros(n, np.int64)


def _make_table(key: str, columns: dict[str, Array], packet_index: IndexArray,
                errs: list[tuple[int, str, str]], mask: dict[str, BoolArray],
                units: dict[str, str], descriptions: dict[str, str],
                object_types: dict[str, str], longer: int) -> Table:
    from ..columns import Table

    return Table(key, columns, packet_index, errs, mask, object_types=object_types, units=units,
                 descriptions=descriptions, packets_longer=longer)


# -- values ------------------------------------------------------------------


def _finish_text(slot: Slot, values: Array, packet_index: IndexArray, cells: _CellErrors,
                 mask: BoolArray | None) -> Array:
    """Strings read as bytes: cut at the terminator or by the leading size, then decoded."""
    param = slot.parameter
    enc = param.encoding if param is not None else None
    if enc is None or not _read_as_text(slot):
        return values
    decoder = _TEXT_DECODERS[enc.name]
    out = np.empty(len(values), object)
    bad = np.zeros(len(values), bool)
    messages: dict[int, str] = {}
    term = enc.termination
    for i, raw in enumerate(values):
        if raw is None or (mask is not None and mask[i]):
            out[i] = None
            continue
        data = bytes(raw)
        if enc.leading_size_bits is not None:
            tag_bytes = enc.leading_size_bits // 8
            size = int.from_bytes(data[:tag_bytes], "big")
            data = data[tag_bytes:]
            if size > len(data):
                bad[i] = True
                messages.setdefault(i, f"the size tag says {size} bytes, the field holds "
                                       f"{len(data)}")
                continue
            data = data[:size]
        if term is not None:
            step = len(term)
            pos = data.find(term)
            while pos >= 0 and pos % step:
                pos = data.find(term, pos + 1)
            if pos >= 0:
                data = data[:pos]
        try:
            out[i] = decoder(data)
        except ValueError as exc:
            bad[i] = True
            messages.setdefault(i, str(exc))
    if bad.any():
        for k in np.flatnonzero(bad).tolist():
            row = np.zeros(len(values), bool)
            row[k] = True
            cells.fail(packet_index, row, slot.column, messages[k])
    return out


def _engineering(defn: Definition, param: Parameter, column: str, values: Array,
                 packet_index: IndexArray, cells: _CellErrors, mask: BoolArray | None,
                 columns: dict[str, Array], layout: Layout) -> Array:
    ptype = param.type
    kind = ptype.kind
    enc = param.encoding
    assert enc is not None  # a parameter without an encoding has no column
    cal = enc.calibrator
    contexts = defn.context_calibrators.get(ptype.qualified_name, ())
    if kind in ("string",):
        return values
    if kind == "binary":
        if isinstance(cal, UnsupportedCalibrator):
            cells.fail(packet_index, _valid(mask, len(values)), column,
                       f"a {cal.kind} cannot be evaluated; decode with values='raw'")
        return values
    if kind == "enumerated":
        out, found = _labels(defn, ptype, values)
        missing = ~found & _valid(mask, len(values))
        if missing.any():
            first = values[np.argmax(missing)]
            cells.fail(packet_index, missing, column, f"value {first} has no label")
        return out
    if kind == "boolean":
        return np.asarray(values != 0, np.bool_)
    # Numbers and times: calibrators first.
    if cal is not None or contexts:
        x = values.astype(np.float64)
        done = np.zeros(len(values), bool)
        result = np.full(len(values), np.nan)
        for cond, ccal in contexts:
            needed = set(_params(cond))
            cols: Columns = {}
            for s in layout.slots:
                if s.parameter is not None and s.parameter.qualified_name in needed:
                    cols[s.parameter.qualified_name] = (s, columns[s.column])
            if needed - set(cols):
                raise ValueError(f"parameter '{param.name}': its context calibrator tests "
                                 "parameters that its container does not hold")
            hit = _evaluate(defn, cond, cols, len(values)) & ~done
            _apply(ccal, x, hit, result, packet_index, cells, column)
            done |= hit
        if cal is not None:
            _apply(cal, x, ~done, result, packet_index, cells, column)
        else:
            result[~done] = x[~done]
        values = result
    elif kind == "float" and values.dtype != np.float64:
        values = values.astype(np.float64)
    if kind in ("absolute_time", "relative_time"):
        assert ptype.time is not None  # every time type has its scale (set when loaded)
        return _time(ptype.time, values, packet_index, cells, column, mask, kind)
    return values


def _label_table(ptype: ParameterType) -> LabelTable:
    """(lowest raw value, label of each value from it, which values have one), or None
    when the values span too wide a range for a table."""
    low = min((lo for lo, _, _ in ptype.enumeration), default=0)
    high = max((hi for _, hi, _ in ptype.enumeration), default=-1)
    if high - low >= 1 << 16:
        return None
    labels = np.empty(high - low + 1, object)
    known = np.zeros(high - low + 1, np.bool_)
    for lo, hi, label in reversed(ptype.enumeration):  # the first listed label wins
        labels[lo - low:hi - low + 1] = label
        known[lo - low:hi - low + 1] = True
    return low, labels, known


def _labels(defn: Definition, ptype: ParameterType, values: Array) -> tuple[Array, BoolArray]:
    """(labels, found): the enumeration label of each raw value, by table lookup."""
    tables = defn._enum_tables
    if ptype.qualified_name not in tables:
        tables[ptype.qualified_name] = _label_table(ptype)
    table = tables[ptype.qualified_name]
    # Raw values as int64; unsigned values above its range have no label.
    huge = np.zeros(len(values), np.bool_)
    if values.dtype == np.uint64:
        huge = values > np.uint64((1 << 63) - 1)
        values = np.where(huge, np.uint64(0), values).astype(np.int64)
    if table is not None:
        low, labels, known = table
        raw = values.astype(np.int64) - low
        inside = (raw >= 0) & (raw < len(labels)) & ~huge
        pos = np.where(inside, raw, 0)
        found = inside & known[pos]
        out = labels[pos]  # a copy: indexed by an array
        out[~found] = None
        return out, found
    out = np.empty(len(values), object)
    out[:] = None
    found = np.zeros(len(values), np.bool_)
    for lo, hi, label in ptype.enumeration:
        sel = (values >= lo) & (values <= hi) & ~found & ~huge
        out[sel] = label
        found |= sel
    return out, found


def _valid(mask: BoolArray | None, n: int) -> BoolArray:
    return np.ones(n, bool) if mask is None else ~mask


def _apply(cal: Calibrator, x: FloatArray, rows: BoolArray, result: FloatArray,
           packet_index: IndexArray, cells: _CellErrors, column: str) -> None:
    if not rows.any():
        return
    if isinstance(cal, UnsupportedCalibrator):
        cells.fail(packet_index, rows, column,
                   f"a {cal.kind} cannot be evaluated; decode with values='raw'")
        return
    values, bad = _calibrate(cal, x[rows])
    result[rows] = values
    if isinstance(cal, Spline) and bad.any():  # only a spline leaves raw values uncovered
        full = np.zeros(len(x), bool)
        full[np.flatnonzero(rows)[bad]] = True
        lo, hi = cal.points[0][0], cal.points[-1][0]
        cells.fail(packet_index, full, column,
                   f"raw value {x[full][0]:g} is outside the spline's points ({lo:g} to {hi:g})")


def _calibrate(cal: Polynomial | Spline, x: FloatArray) -> tuple[FloatArray, BoolArray]:
    """Returns (values, bad) where bad marks raw values the calibrator does not cover."""
    if isinstance(cal, Polynomial):
        y = np.zeros(len(x))
        for coefficient, exponent in cal.terms:
            y += coefficient * x ** exponent
        return y, np.zeros(len(x), bool)
    return _spline(cal, x)


def _spline(cal: Spline, x: FloatArray) -> tuple[FloatArray, BoolArray]:
    px = np.array([p[0] for p in cal.points])
    py = np.array([p[1] for p in cal.points])
    n = len(px)
    # Interval of each value: i such that px[i] <= x < px[i+1], clamped at the ends.
    i = np.clip(np.searchsorted(px, x, side="right") - 1, 0, n - 2)
    bad = ((x < px[0]) | (x > px[-1])) if not cal.extrapolate else np.zeros(len(x), bool)
    orders = np.array(cal.orders)[i]
    y = np.empty(len(x))
    for order in np.unique(orders):
        sel = orders == order
        xi, ii = x[sel], i[sel]
        if order == 0:
            # Flat from a point up to the next; the last point holds its own value.
            y[sel] = np.where(xi >= px[-1], py[-1], py[ii])
            continue
        # A polynomial of the given order through order+1 consecutive points
        # that start at the interval (moved back at the end of the table).
        k = min(int(order), n - 1)
        first = np.clip(ii, 0, n - 1 - k)
        acc = np.zeros(len(xi))
        for a in range(k + 1):
            term = py[first + a].astype(np.float64)
            for b in range(k + 1):
                if b != a:
                    term = term * (xi - px[first + b]) / (px[first + a] - px[first + b])
            acc += term
        y[sel] = acc
    return y, bad


def _time(scale: TimeScale, values: Array, packet_index: IndexArray, cells: _CellErrors,
          column: str, mask: BoolArray | None, kind: str) -> Array:
    seconds = values.astype(np.float64) * scale.scale + scale.offset
    seconds = seconds * scale.unit_seconds
    valid = np.isfinite(seconds)
    whole = np.floor(np.where(valid, seconds, 0.0))
    limit = 9.2e9  # seconds that fit in int64 nanoseconds
    over = valid & (np.abs(whole) > limit)
    if over.any():
        cells.fail(packet_index, over, column, "the time is out of the range of datetime64[ns]")
    whole = np.where(over, 0.0, whole)
    ns = whole.astype(np.int64) * 1_000_000_000 + np.round(
        (np.where(valid & ~over, seconds, 0.0) - whole) * 1e9).astype(np.int64)
    delta = ns.astype("timedelta64[ns]")
    delta[~valid | over] = np.timedelta64("NaT", "ns")
    if kind == "relative_time":
        return delta
    if scale.epoch is None:
        cells.fail(packet_index, _valid(mask, len(values)), column,
                   "the time type has no epoch; decode with values='raw'")
        return np.full(len(values), np.datetime64("NaT", "ns"))
    times: Array = scale.epoch + delta
    return times
