"""Column plans: packet layouts compiled once and applied to many packets in
C++, writing straight into NumPy column buffers; and the tables they fill."""

from __future__ import annotations

import itertools
import operator
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Protocol

import kestrune
import numpy as np
import numpy.typing as npt

from . import _native
from .streams import PacketStream

# Decoder codes of the extension (kept in step with ccsds/plan.hpp).
(
    _UNSIGNED,
    _TWOS,
    _ONES,
    _SIGN_MAGNITUDE,
    _BCD,
    _BCD_SIGNED,
    _PACKED_BCD,
    _PACKED_BCD_SIGNED,
    _F16,
    _F32,
    _F64,
    _F128,
    _FLOAT_STUB,
    _TEXT,
    _BINARY,
) = range(15)
_U8, _U16, _U32, _U64, _I8, _I16, _I32, _I64, _SF32, _SF64, _OBJECT = range(11)
_STORE_DTYPES: tuple[type[np.generic], ...] = (
    np.uint8,
    np.uint16,
    np.uint32,
    np.uint64,
    np.int8,
    np.int16,
    np.int32,
    np.int64,
    np.float32,
    np.float64,
    np.object_,
)
_ERROR_TYPES: tuple[type[Exception], ...] = (ValueError, KeyError, TypeError, OverflowError, NotImplementedError)

# Floating-point formats without a decoder, by their code in the extension.
_STUBS = {
    "ieee754_1985_f32": 1,
    "ieee754_1985_f64": 2,
    "ieee754_1985_f80": 3,
    "mil_std_1750a_f32": 4,
    "mil_std_1750a_f48": 5,
    "dec_f32": 6,
    "dec_f64": 7,
    "ibm_f32": 8,
    "ibm_f64": 9,
    "ti_f32": 10,
    "ti_f40": 11,
}
# Text decoders, by their code in the extension.
_TEXTS = {
    "utf8": 0,
    "utf16": 1,
    "utf16le": 2,
    "utf16be": 3,
    "utf32": 4,
    "utf32le": 5,
    "utf32be": 6,
    "us_ascii": 7,
    "latin1": 8,
    "windows_1252": 9,
}


def _decoder_names() -> dict[str, tuple[int, int, int]]:
    """Every encoding name that unpack_parameters accepts (lower case), with
    (decoder, float stub, text decoder)."""
    names: dict[str, tuple[int, int, int]] = {}

    def add(kind: int, *spellings: str, stub: int = 0, text: int = 0) -> None:
        for s in spellings:
            names[s] = (kind, stub, text)

    add(_UNSIGNED, "unsigned")
    add(_TWOS, "twoscomplement", "twos_complement")
    add(_ONES, "onescomplement", "ones_complement")
    add(_SIGN_MAGNITUDE, "signmagnitude", "sign_magnitude")
    add(_BCD, "bcd")
    add(_BCD_SIGNED, "bcd_signed", "bcd-signed")
    add(_PACKED_BCD, "packed_bcd", "packed-bcd")
    add(_PACKED_BCD_SIGNED, "packed_bcd_signed", "packed-bcd-signed")
    for width, kind in ((16, _F16), (32, _F32), (64, _F64), (128, _F128)):
        add(kind, f"ieee754_f{width}", f"ieee754-f{width}")
    for name, code in _STUBS.items():
        add(_FLOAT_STUB, name, name.replace("_", "-"), stub=code)
    for name, code in _TEXTS.items():
        add(_TEXT, name, text=code)
    for name in ("utf-8", "utf-16", "utf-16le", "utf-16be", "utf-32", "utf-32le", "utf-32be", "us-ascii"):
        add(_TEXT, name, text=_TEXTS[name.replace("-", "").replace("usascii", "us_ascii")])
    add(_TEXT, "iso_8859_1", "iso-8859-1", text=_TEXTS["latin1"])
    add(_TEXT, "windows-1252", text=_TEXTS["windows_1252"])
    return names


_DECODERS = _decoder_names()


@dataclass(frozen=True)
class FieldSpec:
    """One field of a packet layout.

    `offset_bits` counts from the packet's first bit; None places the field
    right after the previous one. With `size_from` = (name, slope,
    intercept) the width is value(name) * slope + intercept bits in each
    packet, where `name` is an earlier integer field. `encoding` is any
    unpack_parameters encoding name, or "binary" for the field's bytes."""

    name: str
    encoding: str
    bits: int
    offset_bits: int | None = None
    byte_order: str = "big"
    reverse_bits: bool = False
    size_from: tuple[str, int, int] | None = None


def _item_note(index: int, name: object) -> str:
    """The note that names a refused recipe item by its position."""
    if isinstance(name, str):
        return f"in recipe item {index} '{name}'"
    return f"in recipe item {index}"


def _compile_error(message: str) -> ValueError:
    return ValueError(f"ValueError: {message}")


def _store(kind: int, bits: int, dynamic: bool) -> int:
    if kind in (_TEXT, _BINARY):
        return _OBJECT
    if kind in (_F16, _F32):
        return _SF32
    if kind in (_F64, _F128, _FLOAT_STUB):
        return _SF64
    if kind in (_BCD, _BCD_SIGNED, _PACKED_BCD, _PACKED_BCD_SIGNED):
        return _I64
    widths = (8, 16, 32)
    if kind == _UNSIGNED:
        if not dynamic:
            for w, code in zip(widths, (_U8, _U16, _U32)):
                if bits <= w:
                    return code
        return _U64
    if not dynamic:
        for w, code in zip(widths, (_I8, _I16, _I32)):
            if bits <= w:
                return code
    return _I64


class Plan:
    """A compiled packet layout: its fields and their column types."""

    def __init__(self, fields: Sequence[FieldSpec]) -> None:
        self.fields: tuple[FieldSpec, ...] = tuple(fields)
        rows: list[tuple[object, ...]] = []
        stores: list[int] = []
        kinds: list[int] = []
        index: dict[str, int] = {}
        for i, f in enumerate(self.fields):
            try:
                order = f.byte_order.lower()
                if order not in ("big", "little"):
                    raise _compile_error(f"Invalid byte_order '{f.byte_order}': must be 'big' or 'little'")
                dynamic = f.size_from is not None
                if order == "little" and not dynamic and f.bits % 8:
                    raise _compile_error(
                        f"Invalid byte_order '{f.byte_order}': little-endian fields must be a whole number of bytes "
                        f"(got {f.bits} bits)"
                    )
                lowered = f.encoding.lower()
                if lowered == "binary":
                    kind, stub, text = _BINARY, 0, 0
                elif lowered in _DECODERS:
                    kind, stub, text = _DECODERS[lowered]
                else:
                    raise _compile_error(f"Unsupported encoding type: {f.encoding}")
                size_ref, slope, intercept = -1, 1, 0
                if f.size_from is not None:
                    ref_name, slope, intercept = f.size_from
                    ref = index.get(ref_name)
                    if ref is None or stores[ref] not in (_U8, _U16, _U32, _U64, _I8, _I16, _I32, _I64):
                        raise ValueError(
                            f"Field '{f.name}' takes its size from '{ref_name}', which is not an earlier integer field"
                        )
                    size_ref = ref
                    if not all(type(v) is int and -(1 << 63) <= v < 1 << 63 for v in (slope, intercept)):
                        raise ValueError(
                            f"Field '{f.name}': the slope and intercept of its size must be integers "
                            "between -2**63 and 2**63 - 1"
                        )
                if not 0 <= f.bits < 1 << 64 or (f.offset_bits is not None and not 0 <= f.offset_bits < 1 << 64):
                    raise ValueError(f"Field '{f.name}': bits and offset_bits must be between 0 and 2**64 - 1")
                store = _store(kind, f.bits, dynamic)
                rows.append(
                    (
                        f.name,
                        kind,
                        stub,
                        text,
                        store,
                        f.bits,
                        f.offset_bits,
                        order == "little",
                        bool(f.reverse_bits),
                        f.byte_order,
                        size_ref,
                        slope,
                        intercept,
                    )
                )
                stores.append(store)
                kinds.append(kind)
                index[f.name] = i
            except Exception as e:
                e.add_note(_item_note(i, f.name))
                raise
        self._native = _native.compile(rows)
        # What every decode with the plan needs: the column types, and for
        # each name its field (the last one of that name) and object type.
        self._dtypes = tuple(np.dtype(_STORE_DTYPES[store]) for store in stores)
        self._source = {f.name: i for i, f in enumerate(self.fields)}
        self._object_types = {
            name: "binary" if kinds[i] == _BINARY else "text"
            for name, i in self._source.items()
            if stores[i] == _OBJECT
        }

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(f.name for f in self.fields)

    def dtype(self, i: int) -> np.dtype[Any]:
        """The NumPy type of field i's column."""
        return self._dtypes[i]

    def __repr__(self) -> str:
        return f"<Plan of {len(self.fields)} fields>"


def compile_plan(fields: Sequence[FieldSpec]) -> Plan:
    """Compiles a layout once; decode_plan() applies it to packets."""
    return Plan(fields)


_MISSING = object()
_U32_LIMIT = 1 << 32
_U64_LIMIT = 1 << 64


def _plain_str(value: object) -> bool:
    if type(value) is not str:
        return False
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _item_field(item: object) -> FieldSpec:
    """The field of one unpack recipe item. Its keys are read as
    unpack_parameters reads them; a key that unpack_parameters would refuse
    is refused with unpack_parameters' own error."""
    if isinstance(item, dict):
        name = dict.get(item, "name", _MISSING)
        encoding = dict.get(item, "encoding", _MISSING)
        bits = dict.get(item, "bits", _MISSING)
        byte_order = dict.get(item, "byte_order", _MISSING)
        reverse = dict.get(item, "reverse_bits", _MISSING)
        offset = dict.get(item, "offset_bits", _MISSING)
        plain = (
            _plain_str(name)
            and _plain_str(encoding)
            and _plain_str(byte_order)
            and type(bits) is int
            and 0 <= bits < _U32_LIMIT
            and type(reverse) is bool
            and (offset is _MISSING or (type(offset) is int and 0 <= offset < _U64_LIMIT))
        )
        if plain:
            return FieldSpec(
                name=name,
                encoding=encoding,
                bits=bits,
                offset_bits=None if offset is _MISSING else offset,
                byte_order=byte_order,
                reverse_bits=reverse,
            )
    # Something unusual (a missing key, another type, a value out of range):
    # unpack_parameters reads the keys before it looks at the packet, so an
    # empty packet makes it report exactly what is wrong with them.
    try:
        kestrune.unpack_parameters(b"", 0, [item])  # type: ignore[list-item]
    except ValueError as e:
        text = str(e)
        if not text.startswith(("ValueError: ", "NotImplementedError: ")):
            raise
    # The keys converted: they are values of other accepted types (a str
    # subclass, a NumPy integer or boolean).
    assert isinstance(item, dict)
    offset = dict.get(item, "offset_bits", _MISSING)
    return FieldSpec(
        name=str.__str__(dict.__getitem__(item, "name")),
        encoding=str.__str__(dict.__getitem__(item, "encoding")),
        bits=operator.index(dict.__getitem__(item, "bits")),
        offset_bits=None if offset is _MISSING else operator.index(offset),
        byte_order=str.__str__(dict.__getitem__(item, "byte_order")),
        reverse_bits=bool(dict.__getitem__(item, "reverse_bits")),
    )


def recipe_fields(recipe: object) -> list[FieldSpec]:
    """The fields of a kestrune unpack recipe (offset 0 = the packet's first
    bit), checked as unpack_parameters checks them."""
    if isinstance(recipe, Sequence) and not isinstance(recipe, str):
        items: list[object] = list(recipe)
    else:
        # unpack_parameters refuses it at its argument boundary (a str
        # included): raise that same error.
        kestrune.unpack_parameters(b"", 0, recipe)  # type: ignore[arg-type]
        raise TypeError(f"a recipe is a sequence of dicts, not {type(recipe).__name__}")
    fields: list[FieldSpec] = []
    for i, item in enumerate(items):
        try:
            field = _item_field(item)
            if field.encoding.lower() == "binary":
                raise _compile_error(f"Unsupported encoding type: {field.encoding}")
        except Exception as e:
            # unpack_parameters was asked about this item alone: its note
            # names position 0, so it gives way to one naming the item's
            # place in the whole recipe.
            notes = getattr(e, "__notes__", None)
            if notes:
                notes[:] = [n for n in notes if not n.startswith("in recipe item ")]
            name = dict.get(item, "name") if isinstance(item, dict) else None
            e.add_note(_item_note(i, name))
            raise
        fields.append(field)
    return fields


class Table:
    """The decoded packets of one key: one NumPy column per field."""

    def __init__(
        self,
        key: object,
        columns: dict[str, npt.NDArray[Any]],
        packet_index: npt.NDArray[np.int64],
        errors: list[tuple[int, str, str]],
        mask: dict[str, npt.NDArray[np.bool_]],
        object_types: dict[str, str] | None = None,
        units: dict[str, str] | None = None,
        descriptions: dict[str, str] | None = None,
        packets_longer: int = 0,
    ) -> None:
        self.key = key
        self.columns = columns
        self.packet_index = packet_index
        self.errors = errors
        self.mask = mask
        self.units: dict[str, str] = units if units is not None else {}
        self.descriptions: dict[str, str] = descriptions if descriptions is not None else {}
        # Object columns: "text" (str) or "binary" (bytes).
        self.object_types: dict[str, str] = object_types if object_types is not None else {}
        # Packets with bytes after the last field of the layout.
        self.packets_longer = packets_longer

    def __len__(self) -> int:
        return len(self.packet_index)

    def __repr__(self) -> str:
        return f"<Table {self.key!r}: {len(self)} rows, {len(self.columns)} columns>"

    def to_pandas(self) -> Any:
        """A DataFrame of the columns; masked integer cells are nulls of
        pandas' nullable integer types, masked float cells NaN, masked text
        None."""
        try:
            import pandas as pd  # type: ignore[import-untyped, unused-ignore]
        except ImportError as e:
            raise ImportError("Table.to_pandas() needs pandas: pip install 'kestrune[pandas]'") from e
        data: dict[str, Any] = {}
        for name, column in self.columns.items():
            mask = self.mask.get(name)
            if mask is not None and column.dtype.kind in "iu":
                data[name] = pd.arrays.IntegerArray(column, mask.copy())
            elif column.dtype == object:
                # Kept as Python objects: a null stays None.
                data[name] = pd.Series(column, dtype=object, copy=False)
            else:
                data[name] = column
        return pd.DataFrame(data, index=pd.RangeIndex(len(self)), columns=list(self.columns))

    def to_arrow(self) -> Any:
        """An Arrow table: masked cells are null, text columns Arrow strings,
        units and descriptions field metadata."""
        try:
            import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        except ImportError as e:
            raise ImportError("Table.to_arrow() needs pyarrow: pip install 'kestrune[arrow]'") from e
        arrays = []
        fields = []
        for name, column in self.columns.items():
            mask = self.mask.get(name)
            if column.dtype == object:
                kind = pa.binary() if self.object_types.get(name) == "binary" else pa.string()
                array = pa.array(column, type=kind, from_pandas=True)
            else:
                array = pa.array(column, mask=mask)
            metadata = {}
            if name in self.units:
                metadata[b"unit"] = self.units[name].encode()
            if name in self.descriptions:
                metadata[b"description"] = self.descriptions[name].encode()
            arrays.append(array)
            fields.append(pa.field(name, array.type, metadata=metadata or None))
        return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


class _Progress(Protocol):
    def update(self, n: int) -> object: ...

    def close(self) -> object: ...


_CHUNK_ROWS = 1 << 16


def _failure(kind: int, message: str) -> str:
    """The text of unpack_parameters' error for a failure of this kind."""
    exc_type = _ERROR_TYPES[kind]
    return f"{exc_type.__qualname__}: {exc_type(message)}"


def _raise_cell_error(
    stream: PacketStream, plan: Plan, k: int, field: int, kind: int, message: str
) -> None:
    exc = ValueError(_failure(kind, message))
    exc.add_note(
        f"packet {k} at byte offset {int(stream.offsets[k])}, item '{plan.fields[field].name}'"
    )
    raise exc


def _decode_plan(
    stream: PacketStream,
    plan: Plan,
    packet_index: npt.NDArray[np.int64],
    key: object,
    errors: str,
    bar: _Progress | None,
) -> Table:
    rows = np.ascontiguousarray(packet_index, dtype=np.int64)
    n = len(rows)
    # Object columns start as None everywhere; the extension replaces the
    # cells that have a value.
    arrays = [np.empty(n, dtype=dtype) for dtype in plan._dtypes]
    failed: list[tuple[int, int, str]] = []  # (row, field, message)
    longer = 0
    stop_first = errors == "raise"
    for start in range(0, n, _CHUNK_ROWS):
        end = min(start + _CHUNK_ROWS, n)
        chunk = rows[start:end]
        views = [c[start:end] for c in arrays]
        cell_errors, chunk_longer, _done = _native.decode(
            plan._native, stream.buffer, stream.offsets, stream.lengths, chunk, views, stop_first
        )
        if stop_first and cell_errors:
            r, field, kind, message = cell_errors[0]
            _raise_cell_error(stream, plan, int(chunk[r]), field, kind, message)
        for r, field, kind, message in cell_errors:
            failed.append((start + r, field, _failure(kind, message)))
        longer += chunk_longer
        if bar is not None:
            bar.update(int(stream.lengths[chunk].sum(dtype=np.uint64)))  # rows checked by the extension
    source = plan._source
    columns: dict[str, npt.NDArray[Any]] = {name: arrays[i] for name, i in source.items()}
    object_types = dict(plan._object_types)
    mask: dict[str, npt.NDArray[np.bool_]] = {}
    table_errors: list[tuple[int, str, str]] = []
    for r, field, text in failed:
        name = plan.fields[field].name
        table_errors.append((int(rows[r]), name, text))
        if source[name] == field:
            m = mask.get(name)
            if m is None:
                m = mask[name] = np.zeros(n, dtype=np.bool_)
            m[r] = True
    return Table(
        key,
        columns,
        rows,
        table_errors,
        mask,
        object_types=object_types,
        packets_longer=longer,
    )


def _progress_bar(total: int, enabled: bool, description: str) -> _Progress | None:
    if not enabled:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError as e:
        raise ImportError("progress=True needs tqdm: pip install 'kestrune[progress]'") from e
    bar: _Progress = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, desc=description)
    return bar


def _check_errors(errors: str) -> None:
    if errors not in ("raise", "mask"):
        raise ValueError(f"errors must be 'raise' or 'mask', not {errors!r}")


def decode_plan(
    stream: PacketStream,
    plan: Plan,
    packet_index: npt.NDArray[np.integer[Any]],
    *,
    key: object = None,
    errors: Literal["raise", "mask"] = "raise",
    progress: bool = False,
) -> Table:
    """Applies a plan to the packets `packet_index` of a stream."""
    _check_errors(errors)
    rows = np.ascontiguousarray(packet_index, dtype=np.int64)
    bar = None
    if progress:
        total = int(stream.lengths[rows[(rows >= 0) & (rows < len(stream))]].sum(dtype=np.uint64))
        bar = _progress_bar(total, progress, str(key))
    try:
        return _decode_plan(stream, plan, rows, key, errors, bar)
    finally:
        if bar is not None:
            bar.close()


class _Definition(Protocol):
    def _decode(self, stream: PacketStream, errors: str, progress: bool, values: str) -> dict[str, Table]: ...


Recipes = Mapping[int, Sequence[Mapping[str, Any]]]


# Plans compiled from recipes, keyed by the recipe's exact content, so that
# decoding a few packets at a time (a live stream) does not check and compile
# the same recipe on every call. Bounded: emptied when full.
_RECIPE_PLANS: dict[tuple[tuple[object, ...], ...], Plan] = {}
_RECIPE_PLANS_MAX = 256


def _recipe_key(recipe: object) -> tuple[tuple[object, ...], ...] | None:
    """What a plan compiled from this recipe depends on, or None when an item
    is not a plain dict of plain values (those recipes are compiled each time).

    The types are checked exactly: values that compare equal but are read
    differently (1 and True, a str and a str subclass) never share a plan."""
    if type(recipe) is not list and type(recipe) is not tuple:
        return None
    key = []
    get = dict.get
    for item in recipe:
        if type(item) is not dict:
            return None
        name = get(item, "name")
        encoding = get(item, "encoding")
        bits = get(item, "bits")
        byte_order = get(item, "byte_order")
        reverse = get(item, "reverse_bits")
        offset = get(item, "offset_bits", _MISSING)
        if (
            type(name) is not str
            or type(encoding) is not str
            or type(bits) is not int
            or type(byte_order) is not str
            or type(reverse) is not bool
            or (offset is not _MISSING and type(offset) is not int)
        ):
            return None
        key.append((name, encoding, bits, byte_order, reverse, None if offset is _MISSING else offset))
    return tuple(key)


def _recipe_plan(recipe: object) -> Plan:
    key = _recipe_key(recipe)
    if key is not None:
        plan = _RECIPE_PLANS.get(key)
        if plan is not None:
            return plan
    plan = compile_plan(recipe_fields(recipe))
    if key is not None:
        if len(_RECIPE_PLANS) >= _RECIPE_PLANS_MAX:
            _RECIPE_PLANS.clear()
        _RECIPE_PLANS[key] = plan
    return plan


def _plans(recipes: Recipes) -> dict[int, Plan]:
    if not isinstance(recipes, Mapping):
        raise TypeError(f"recipes must map APIDs to recipes, not {type(recipes).__name__}")
    plans: dict[int, Plan] = {}
    for apid, recipe in recipes.items():
        if isinstance(apid, bool) or not isinstance(apid, (int, np.integer)) or not 0 <= int(apid) < 2048:
            raise ValueError(f"recipe keys must be APIDs (0 to 2047), not {apid!r}")
        try:
            plans[int(apid)] = _recipe_plan(recipe)
        except Exception as e:
            e.add_note(f"in the recipe of APID {int(apid)}")
            raise
    return plans


def decode(
    stream: PacketStream,
    recipes: Recipes | _Definition,
    *,
    errors: Literal["raise", "mask"] = "raise",
    progress: bool = False,
    values: Literal["engineering", "raw"] = "engineering",
) -> dict[Any, Table]:
    """Decodes the packets of a stream into one Table per APID of `recipes`
    (or per container of an XTCE definition)."""
    _check_errors(errors)
    if values not in ("engineering", "raw"):
        raise ValueError(f"values must be 'engineering' or 'raw', not {values!r}")
    decode_definition: Callable[..., dict[str, Table]] | None = getattr(recipes, "_decode", None)
    if decode_definition is not None and not isinstance(recipes, Mapping):
        return dict(decode_definition(stream, errors, progress, values))
    plans = _plans(recipes)  # type: ignore[arg-type]
    selections = {apid: np.flatnonzero(stream.apids == apid) for apid in plans}
    bar = None
    if progress:
        total = sum(int(stream.lengths[rows].sum(dtype=np.uint64)) for rows in selections.values())
        bar = _progress_bar(total, progress, stream.source_name)
    tables: dict[Any, Table] = {}
    try:
        for apid, plan in plans.items():
            table = _decode_plan(stream, plan, selections[apid], apid, errors, bar)
            stream.note_longer(apid, table.packets_longer)
            tables[apid] = table
    finally:
        if bar is not None:
            bar.close()
    return tables


_ITER_CHUNK = 4096


def _row_batches(stream: PacketStream, recipes: Recipes) -> Iterator[list[dict[str, object]]]:
    """The dicts of iter_packets in stream order, a list per batch of
    packets; a failing packet raises after the list of the rows before it."""
    plans = _plans(recipes)
    wanted = np.asarray(sorted(plans), dtype=np.int64)
    selected = np.flatnonzero(np.isin(stream.apids, wanted))
    for start in range(0, len(selected), _ITER_CHUNK):
        chunk = selected[start : start + _ITER_CHUNK]
        apids = stream.apids[chunk]
        if len(plans) == 1 or (apids == apids[0]).all():
            # One APID: its dicts are already in stream order.
            plan = plans[int(apids[0])]
            dicts, error = _native.rows(plan._native, stream.buffer, stream.offsets, stream.lengths, chunk)
            yield dicts
            if error is not None:
                r, field, kind, message = error
                _raise_cell_error(stream, plan, int(chunk[r]), field, kind, message)
            continue
        out: list[dict[str, object]] = [{}] * len(chunk)
        first_error: tuple[int, int, Plan, int, int, str] | None = None  # (position, k, plan, field, kind, msg)
        for apid in np.unique(apids).tolist():
            positions = np.flatnonzero(apids == apid)
            plan = plans[apid]
            dicts, error = _native.rows(plan._native, stream.buffer, stream.offsets, stream.lengths, chunk[positions])
            for p, d in zip(positions.tolist(), dicts):
                out[p] = d
            if error is not None:
                r, field, kind, message = error
                p = int(positions[r])
                if first_error is None or p < first_error[0]:
                    first_error = (p, int(chunk[p]), plan, field, kind, message)
        if first_error is None:
            yield out
        else:
            # The rows before the first failure in stream order (a later
            # APID's rows after it were decoded, and are dropped).
            yield out[: first_error[0]]
            _, k, plan, field, kind, message = first_error
            _raise_cell_error(stream, plan, k, field, kind, message)


def iter_packets(stream: PacketStream, recipes: Recipes) -> Iterator[dict[str, object]]:
    """One dict per packet whose APID has a recipe, in stream order: the
    dict that unpack_parameters gives for that packet."""
    # The batches are decoded natively and flattened by chain: no Python
    # frame runs per row. Nothing is checked before the first next().
    return itertools.chain.from_iterable(_row_batches(stream, recipes))
