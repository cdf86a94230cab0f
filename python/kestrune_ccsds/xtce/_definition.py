"""The loaded definition: containers flattened into layouts, restrictions checked."""

from __future__ import annotations

import gc
import math
import os
import uuid
from collections import Counter
from types import MappingProxyType
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Final, Literal, TypeAlias, TypeVar

from ._model import (
    AllOf, Calibrator, CompareValue, Comparison, Condition, Container, DefinitionError,
    DynamicSize, Encoding, Entry, Layout, Parameter, Polynomial, Slot,
)
from ._parse import MAX_DEPTH, Loader, Source, _new, member_parameter, parse_document

if TYPE_CHECKING:
    from collections.abc import Sequence

    import numpy as np
    import numpy.typing as npt

    from ..columns import Plan, Table
    from ..streams import PacketStream
    from ._decode import LabelTable, LayoutInfo

_Named = TypeVar("_Named", Parameter, Container)

_SIGNED_RANGE = {"twos_complement", "ones_complement", "sign_magnitude"}


def load_xtce(source: Source) -> Definition:
    """Load a definition file: a path, a binary file object, or the XML as bytes."""
    if isinstance(source, str) and source.lstrip().startswith("<"):
        raise TypeError("load_xtce takes a path, a binary file or bytes; pass XML text as bytes "
                        "(text.encode())")
    if not isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview)) \
            and not callable(getattr(source, "read", None)):
        raise TypeError("load_xtce takes a path, a binary file or bytes, not "
                        f"{type(source).__name__}")
    # Tens of thousands of small objects are made and none is garbage: the
    # cyclic collector would only walk them again and again.
    enabled = gc.isenabled()
    gc.disable()
    try:
        root, name = parse_document(source)
        return Definition(Loader(root, name))
    finally:
        if enabled:
            gc.enable()


def _value_range(encoding: Encoding | None) -> tuple[int, int] | None:
    """The raw values an integer field can hold, or None for other encodings."""
    if encoding is None or encoding.kind != "integer" or encoding.bits is None:
        return None
    bits = encoding.bits
    name = encoding.name
    if name == "unsigned":
        return 0, (1 << bits) - 1
    if name == "twos_complement":
        return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if name in _SIGNED_RANGE:
        return -((1 << (bits - 1)) - 1), (1 << (bits - 1)) - 1
    digits = bits // 8 if name == "bcd" else bits // 4
    return 0, 10 ** digits - 1


def condition_parameters(cond: Condition | None) -> Iterator[str]:
    if cond is None:
        return
    if isinstance(cond, Comparison):
        yield cond.parameter
        if cond.other is not None:
            yield cond.other
    else:
        for term in cond.terms:
            yield from condition_parameters(term)


def _and(a: Condition | None, b: Condition | None) -> Condition | None:
    if a is None:
        return b
    if b is None:
        return a
    return AllOf((a, b))


# A slot before the columns are named: the fields of a Slot after its column,
# with size_from holding the index of the sizing draft. A plain tuple: ten
# thousand of them are made for a large definition, then become Slots.
_Draft: TypeAlias = tuple[
    Parameter | None,  # parameter
    str,  # encoding
    int,  # bits
    int | None,  # offset
    int,  # gap
    str,  # byte_order
    bool,  # reverse_bits
    tuple[int, int, int] | None,  # size_from
    Condition | None,  # condition
    bool,  # hidden
    int | None,  # line
]
_PARAMETER: Final = 0
_SIZE_FROM: Final = 7


def _entry_element(entry: Entry) -> str:
    """How an entry is named in messages."""
    kind = "ParameterRefEntry" if entry.kind == "parameter" else "ContainerRefEntry"
    return f"{kind} '{entry.target.rpartition('/')[2]}'"


class Definition:
    """A loaded definition: its parameters and containers, and the layouts read from them.

    ``decode(stream, definition)`` decodes a packet stream with it; ``recipe``
    gives the equivalent ``kestrune`` recipe of a fixed-layout container.
    """

    def __init__(self, loader: Loader):
        self._loader: Loader | None = loader
        self.source = loader.source
        loader.load_parameters()
        for qualified in loader.container_elements:
            loader.container(qualified)
        self._params_q = loader.parameters
        # Parameters and the parts of aggregates and arrays that conditions name.
        self._compared_q: Mapping[str, Parameter] = (
            {**loader.parameters, **loader.members} if loader.members else loader.parameters)
        self._containers_q = loader.containers
        self.parameters = MappingProxyType(self._keyed(loader.parameters))
        self.containers = MappingProxyType(self._keyed(loader.containers))
        self._names: dict[str, str] = {c.qualified_name: name for name, c in self.containers.items()}
        self.context_calibrators = self._contexts()
        self._children: dict[str | None, list[Container]] = {}
        self._layouts: dict[str, Layout] = {}
        self._chains: dict[str, list[Container]] = {}
        included: set[str] = set()
        for cont in loader.containers.values():
            self._children.setdefault(cont.base, []).append(cont)
            included.update(e.target for e in cont.entries if e.kind == "container")
        # Every container is laid out now, which checks it; its slots are made
        # when its layout is first asked for.
        self._drafts: dict[str, list[_Draft]] = {}
        for cont in loader.containers.values():
            self._drafts[cont.qualified_name] = self._emit(cont.qualified_name)
        for cont in loader.containers.values():
            self._check_restriction(cont)
        # Packets are matched from the containers that extend no other one and
        # that no container includes: the roots of the inheritance trees.
        self.roots = tuple(c for c in self._children.get(None, ())
                           if c.qualified_name not in included)
        self._loader = None
        # Filled while decoding: compiled plans and enumeration lookup tables.
        self._plans: dict[tuple[int, ...], tuple[Plan, Sequence[Slot]]] = {}
        self._enum_tables: dict[str, LabelTable] = {}
        # Filled while decoding too: what each layout's decode needs (layouts are made once).
        self._layout_info: dict[str, LayoutInfo] = {}
        # Names this loaded definition (and its pickled copies) in Dask's
        # task graphs, which would otherwise pickle it to name every task.
        self._token = uuid.uuid4().hex

    @staticmethod
    def _keyed(items: dict[str, _Named]) -> dict[str, _Named]:
        by_name = {item.name: item for item in items.values()}
        if len(by_name) == len(items):
            return by_name
        counts = Counter(item.name for item in items.values())
        return {(item.name if counts[item.name] == 1 else q): item for q, item in items.items()}

    def __repr__(self) -> str:
        return (f"<Definition {self.source!r}: {len(self.parameters)} parameters, "
                f"{len(self.containers)} containers>")

    def __dask_tokenize__(self) -> tuple[str, str]:
        return ("kestrune_ccsds.Definition", self._token)

    def __getstate__(self) -> dict[str, object]:
        # A definition travels to worker processes (Dask) as plain data; its
        # compiled plans and label tables are made again where it is used.
        state = dict(self.__dict__)
        state["parameters"] = dict(self.parameters)
        state["containers"] = dict(self.containers)
        state["_plans"] = {}
        state["_enum_tables"] = {}
        state["_layout_info"] = {}
        return state

    def __setstate__(self, state: dict[str, object]) -> None:
        self.__dict__.update(state)
        self.parameters = MappingProxyType(self.parameters)
        self.containers = MappingProxyType(self.containers)

    def _contexts(self) -> dict[str, tuple[tuple[Condition, Calibrator], ...]]:
        loader = self._loader
        assert loader is not None  # the contexts are read while loading
        out = {}
        for ptype in loader.types.values():
            enc = ptype.encoding
            if enc is None or not enc.context_calibrators:
                continue
            matches = loader.context_matches[id(enc)][1]
            out[ptype.qualified_name] = tuple(
                (loader.match_criteria(match, ss), cal)
                for (match, ss), cal in zip(matches, enc.context_calibrators, strict=True))
        return out

    def _error(self, line: int | None, element: str, problem: str) -> DefinitionError:
        return DefinitionError(self.source, line, element, problem)

    def name_of(self, qualified: str) -> str:
        """The key of a container in ``containers`` (and in decode's result)."""
        return self._names[qualified]

    # -- layouts -----------------------------------------------------------

    def chain(self, qualified: str) -> list[Container]:
        """The container and its bases, the root first."""
        found = self._chains.get(qualified)
        if found is not None:
            return found
        chain: list[Container] = []
        seen: list[str] = []
        q: str | None = qualified
        while q is not None:
            cont = self._containers_q[q]
            if q in seen:
                names = " -> ".join(self._containers_q[s].name for s in seen[seen.index(q):])
                raise self._error(cont.line, f"SequenceContainer '{cont.name}'",
                                  f"circular inheritance: {names} -> {cont.name}")
            seen.append(q)
            chain.append(cont)
            q = cont.base
        chain.reverse()
        self._chains[qualified] = chain
        return chain

    def layout(self, container: str | Container) -> Layout:
        return self._layout(self._qualified(container))

    def _qualified(self, container: str | Container) -> str:
        if isinstance(container, Container):
            return container.qualified_name
        found = self.containers.get(container)
        if found is None:
            found = self._containers_q.get(container)
        if found is None:
            raise KeyError(f"no container named {container!r}")
        return found.qualified_name

    def _layout(self, qualified: str) -> Layout:
        found = self._layouts.get(qualified)
        if found is not None:
            return found
        drafts = self._drafts.pop(qualified, None)
        if drafts is None:
            drafts = self._emit(qualified)
        layout = self._finish(self._containers_q[qualified], drafts)
        self._layouts[qualified] = layout
        return layout

    def _emit(self, qualified: str) -> list[_Draft]:
        drafts: list[_Draft] = []
        self._emit_container(qualified, drafts, 0, 0, 0, None, [])
        return drafts

    def _emit_container(self, qualified: str, drafts: list[_Draft], start: int | None,
                        end: int | None, pending: int, cond: Condition | None,
                        including: list[str]) -> tuple[int | None, int]:
        """Appends the container's fields; start/end are absolute bit offsets or None.

        end is where the previous entry ended (None after a field of varying
        size or presence, pending then holds the bits to skip after it).
        Returns the new (end, pending).
        """
        if qualified in including:
            cont = self._containers_q[qualified]
            raise self._error(cont.line, f"SequenceContainer '{cont.name}'",
                              "the container includes itself through ContainerRefEntry")
        if len(including) >= MAX_DEPTH:
            cont = self._containers_q[including[0]]
            raise self._error(cont.line, f"SequenceContainer '{cont.name}'",
                              f"containers are included more than {MAX_DEPTH} levels deep")
        including = including + [qualified]
        params = self._params_q
        for cont in self.chain(qualified):
            for entry in cont.entries:
                pos: int | None
                if entry.reference == "containerStart":
                    if start is None:
                        raise self._error(entry.line, _entry_element(entry),
                                          "a containerStart location in a container that starts "
                                          "after a field of varying size is not supported")
                    pos, gap = start + entry.location, 0
                elif end is None:
                    pos, gap = None, pending + entry.location
                    if gap < 0:
                        raise self._error(entry.line, _entry_element(entry),
                                          "a negative location after a field of varying size "
                                          "is not supported")
                else:
                    pos, gap = end + entry.location, 0
                    if pos < 0:
                        raise self._error(entry.line, _entry_element(entry),
                                          f"the entry would start {-pos} bits before the packet")
                econd = cond
                if entry.condition is not None:
                    known = {d[_PARAMETER].qualified_name for d in drafts
                             if d[_PARAMETER] is not None}
                    for p in condition_parameters(entry.condition):
                        if p not in known:
                            raise self._error(entry.line, _entry_element(entry),
                                              "the IncludeCondition uses parameter "
                                              f"'{self._compared_q[p].name}' before it "
                                              "exists in the container")
                    econd = _and(cond, entry.condition)
                if entry.kind == "parameter":
                    param = params[entry.target]
                    enc = param.type.encoding
                    if (enc is not None and enc.bits is not None and enc.kind != "string"
                            and param.type.unsupported is None):
                        # The usual field, of a fixed size (_emit_parameter does the rest).
                        drafts.append((param, enc.name, enc.bits, pos, gap, enc.byte_order,
                                       enc.reverse_bits, None, econd, False, entry.line))
                        end = pos + enc.bits if pos is not None else None
                    else:
                        end = self._emit_parameter(param, pos, gap, econd, drafts, entry)
                    pending = 0
                else:
                    end, pending = self._emit_container(entry.target, drafts, pos, pos, gap,
                                                        econd, including)
                    if entry.condition is not None:
                        end = None
                if econd is not None:
                    end = None
        return end, pending

    def _emit_parameter(self, param: Parameter, pos: int | None, gap: int,
                        cond: Condition | None, drafts: list[_Draft],
                        entry: Entry) -> int | None:
        ptype = param.type
        enc = ptype.encoding
        if ptype.members and ptype.unsupported is None:
            # An array or aggregate: its scalar parts one after the other,
            # each a field of its own.
            end = pos
            for suffix, part in ptype.members:
                end = self._emit_parameter(member_parameter(param, suffix, part), pos, gap,
                                           cond, drafts, entry)
                pos, gap = end, 0
            return end
        if ptype.unsupported is not None:
            raise self._error(entry.line, _entry_element(entry),
                              f"parameter '{param.name}': {ptype.unsupported}")
        if enc is None:
            raise self._error(entry.line, _entry_element(entry),
                              f"parameter '{param.name}' has no data encoding")
        name = enc.name
        bits = enc.bits
        leading = enc.leading_size_bits
        if leading is not None and bits is not None and (bits % 8 or leading % 8):
            raise self._error(entry.line, _entry_element(entry),
                              f"parameter '{param.name}': a string with a leading size inside a "
                              "fixed size needs whole bytes for both")
        if enc.kind == "string" and (enc.termination is not None
                                     or (leading is not None and bits is not None)):
            name = "binary"  # cut at the terminator or size tag, then decoded as text
        line = entry.line
        if bits is not None:
            drafts.append((param, name, bits, pos, gap, enc.byte_order, enc.reverse_bits, None,
                           cond, False, line))
            return pos + bits if pos is not None else None
        if enc.size is not None:
            size_from = self._size_from(param, enc.size, drafts)
            drafts.append((param, name, 0, pos, gap, enc.byte_order, enc.reverse_bits, size_from,
                           cond, False, line))
            return None
        # A leading size tag (hidden, named after the text it sizes: the next
        # draft), then as many bytes of text as it says.
        assert leading is not None  # a string without one has a size (checked when loaded)
        drafts.append((None, "unsigned", leading, pos, gap, "big", False, None, cond, True, line))
        drafts.append((param, name, 0, None, 0, enc.byte_order, enc.reverse_bits,
                       (len(drafts) - 1, 8, 0), cond, False, line))
        return None

    def _size_from(self, param: Parameter, size: DynamicSize,
                   drafts: list[_Draft]) -> tuple[int, int, int]:
        sizing = self._params_q[size.parameter]
        index = None
        for i in range(len(drafts) - 1, -1, -1):
            p = drafts[i][_PARAMETER]
            if p is not None and p.qualified_name == size.parameter:
                index = i
                break
        if index is None:
            raise self._error(size.line, "DynamicValue",
                              f"the size of '{param.name}' uses parameter '{sizing.name}' before "
                              "it exists in the container")
        enc = sizing.encoding
        # Every parameter laid out in a container has an encoding (the others
        # are refused when their entry is laid out).
        assert enc is not None
        if enc.kind != "integer":
            raise self._error(size.line, "DynamicValue",
                              f"the size of '{param.name}' comes from '{sizing.name}', which is "
                              f"not an integer ({enc.name})")
        slope, intercept = size.slope, size.intercept
        cal = enc.calibrator
        if size.calibrated and cal is not None:
            terms: dict[int, float] = {}
            ok = isinstance(cal, Polynomial)
            if isinstance(cal, Polynomial):
                for coefficient, exponent in cal.terms:
                    terms[exponent] = terms.get(exponent, 0.0) + coefficient
                ok = set(terms) <= {0, 1} and all(float(c).is_integer() for c in terms.values())
            if not ok:
                raise self._error(size.line, "DynamicValue",
                                  f"the size of '{param.name}' uses the calibrated value of "
                                  f"'{sizing.name}', whose calibrator is not a line with whole-"
                                  "number coefficients; use useCalibratedValue=\"false\"")
            a, b = int(terms.get(0, 0)), int(terms.get(1, 0))
            slope, intercept = b * slope, a * slope + intercept
            if max(abs(slope), abs(intercept)) >= 1 << 63:
                raise self._error(size.line, "DynamicValue",
                                  f"the size of '{param.name}' through the calibrator of "
                                  f"'{sizing.name}' has a slope or intercept beyond 64 bits")
        return index, slope, intercept

    def _finish(self, container: Container, drafts: list[_Draft]) -> Layout:
        # Columns are named by the parameters' names, or by their qualified
        # names where two parameters of the layout share a name; a parameter
        # placed again gets "#2", "#3"... A hidden size tag is named after the
        # text it sizes, which follows it.
        names = [d[_PARAMETER].name if d[_PARAMETER] is not None else "" for d in drafts]
        if len(set(names)) != len(names):
            names = self._column_names(drafts)
        for i, d in enumerate(drafts):
            if d[_PARAMETER] is None:
                names[i] = f"{names[i + 1]} size {i}"
        columns: dict[str, Parameter] = {}
        slots = []
        for column, d in zip(names, drafts):
            param = d[_PARAMETER]
            if param is not None:
                columns[column] = param
            size_from = d[_SIZE_FROM]
            if size_from is not None:
                index, slope, intercept = size_from
                slots.append(Slot(column, param, d[1], d[2], d[3], d[4], d[5], d[6],
                                  (names[index], slope, intercept), d[8], d[9], d[10]))
            else:
                slots.append(_new(Slot, (column, *d)))
        return Layout(container, tuple(slots), columns)

    @staticmethod
    def _column_names(drafts: list[_Draft]) -> list[str]:
        first: dict[str, str] = {}
        shared: set[str] = set()
        for d in drafts:
            p = d[_PARAMETER]
            if p is not None and first.setdefault(p.name, p.qualified_name) != p.qualified_name:
                shared.add(p.name)
        seen: dict[str, int] = {}
        names: list[str] = []
        for d in drafts:
            p = d[_PARAMETER]
            if p is None:
                names.append("")
                continue
            base = p.qualified_name if p.name in shared else p.name
            n = seen.get(base, 0) + 1
            seen[base] = n
            names.append(base if n == 1 else f"{base}#{n}")
        return names

    # -- restrictions ------------------------------------------------------

    def _check_restriction(self, cont: Container) -> None:
        if cont.restriction is None or cont.base is None:
            return
        base_layout = self._layout(cont.base)
        present = {s.parameter.qualified_name for s in base_layout.slots if s.parameter is not None}
        for q in condition_parameters(cont.restriction):
            if q not in present:
                raise self._error(cont.line, f"SequenceContainer '{cont.name}'",
                                  f"the restriction uses parameter '{self._compared_q[q].name}', "
                                  f"which base container '{self._containers_q[cont.base].name}' "
                                  "does not hold")
        # Intersect what the equalities and bounds along the inheritance chain allow.
        allowed: dict[str, _Allowed] = {}
        texts: dict[str, list[str]] = {}
        for c in self.chain(cont.qualified_name):
            for comp in _conjuncts(c.restriction):
                param = self._compared_q[comp.parameter]
                enc = param.encoding
                span = _value_range(enc)
                if (enc is None or span is None or comp.other is not None
                        or isinstance(comp.value, bool)
                        or not (comp.raw or enc.calibrator is None)):
                    continue
                state = allowed.get(comp.parameter)
                if state is None:
                    state = allowed[comp.parameter] = _Allowed(*span)
                texts.setdefault(comp.parameter, []).append(comp.text)
                state.narrow(comp.operator, comp.value)
                if state.empty():
                    lo, hi = span
                    raise self._error(comp.line, f"Comparison '{comp.text}'",
                                      f"the restriction of '{cont.name}' can never match: "
                                      f"{param.name} holds {lo} to {hi} ({enc.describe()}) and no "
                                      "value satisfies " + " and ".join(texts[comp.parameter]))

    # -- recipes -----------------------------------------------------------

    def recipe(self, container: str | Container) -> list[dict[str, object]]:
        """The ``kestrune`` unpack recipe of a fixed-layout container (offsets from the packet start)."""
        layout = self._layout(self._qualified(container))
        name = self.name_of(layout.container.qualified_name)
        out = []
        for s in layout.slots:
            why = None
            if s.condition is not None:
                why = f"'{s.column}' is present only when its IncludeCondition holds"
            elif s.size_from is not None or s.offset is None:
                why = (f"the size of '{s.column}' comes from '{s.size_from[0]}'"
                       if s.size_from is not None
                       else f"'{s.column}' follows a field of varying size")
            elif s.encoding == "binary":
                why = f"'{s.column}' is read as raw bytes, which unpack_parameters does not give"
            if why is not None:
                raise ValueError(f"container '{name}' has no fixed recipe: {why}")
            out.append({"name": s.column, "encoding": s.encoding, "bits": s.bits,
                        "offset_bits": s.offset, "byte_order": s.byte_order,
                        "reverse_bits": s.reverse_bits})
        return out

    def children(self, container: Container) -> list[Container]:
        return self._children.get(container.qualified_name, [])

    def classify(self, stream: PacketStream) -> dict[str | None, npt.NDArray[np.int64]]:
        """Which packets of a stream each concrete container takes.

        Returns {container name: packet indices (int64, stream order)}, only
        for containers that take packets, and under the key None the packets
        that no container takes.
        """
        from ._decode import classify

        return {(self.name_of(q) if q is not None else None): idx
                for q, idx in classify(self, stream).items()}

    def _decode(self, stream: PacketStream, errors: str = "raise", progress: bool = False,
                values: str = "engineering") -> dict[str, Table]:
        from ._decode import decode_definition

        return decode_definition(self, stream, errors, progress, values)


def _conjuncts(cond: Condition | None) -> Iterator[Comparison]:
    if cond is None:
        return
    if isinstance(cond, Comparison):
        yield cond
    elif isinstance(cond, AllOf):
        for term in cond.terms:
            yield from _conjuncts(term)


class _Allowed:
    """The raw values of one field that a chain of restrictions still allows."""

    __slots__ = ("low", "high", "excluded", "only")

    def __init__(self, low: int, high: int):
        self.low = low
        self.high = high
        self.excluded: set[int] = set()
        self.only: frozenset[int] | None = None  # an enumeration label's values

    def narrow(self, op: str, value: CompareValue | None) -> None:
        """Narrows the values by one comparison."""
        if isinstance(value, frozenset):
            if op == "==":
                self.only = value if self.only is None else self.only & value
            else:
                self.excluded.update(value)
            return
        if value is None or isinstance(value, (str, bytes)):
            return
        if op == "==":
            if float(value).is_integer():
                self.low = max(self.low, int(value))
                self.high = min(self.high, int(value))
            else:
                self.low, self.high = 1, 0
        elif op == "!=":
            if float(value).is_integer():
                self.excluded.add(int(value))
        elif op == "<":
            self.high = min(self.high, math.ceil(value) - 1)
        elif op == "<=":
            self.high = min(self.high, math.floor(value))
        elif op == ">":
            self.low = max(self.low, math.floor(value) + 1)
        elif op == ">=":
            self.low = max(self.low, math.ceil(value))

    def empty(self) -> bool:
        lo, hi, excluded = self.low, self.high, self.excluded
        if lo > hi:
            return True
        if self.only is not None:
            return not any(lo <= v <= hi and v not in excluded for v in self.only)
        if hi - lo < len(excluded) + 1:
            return all(v in excluded for v in range(lo, hi + 1))
        return False


__all__ = ["Definition", "DefinitionError", "load_xtce"]
