"""The objects a loaded definition is made of.

Everything here is immutable once the loader has built it: a Definition can
be shared between threads and decode any number of streams. The records a
large definition holds by the ten thousand (parameters, their types, entries
and layout slots) are named tuples: a frozen dataclass sets each field
through object.__setattr__, which made building them most of the load time.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple, TypeAlias

if TYPE_CHECKING:
    import numpy as np

# An lxml element: lxml ships no type annotations.
XmlElement: TypeAlias = Any

# A comparison's value, converted to what the decoded column is compared with
# (the set of raw values of an enumeration label).
CompareValue: TypeAlias = "int | float | str | bytes | frozenset[int]"


class DefinitionError(ValueError):
    """A definition file that cannot be loaded: names the element and its line."""

    def __init__(self, source: str, line: int | None, element: str, problem: str):
        self.source = source
        self.line = line
        self.element = element
        self.problem = problem
        where = f"{source}, line {line}" if line is not None else source
        super().__init__(f"{where}, {element}: {problem}")


@dataclass(frozen=True, slots=True)
class Polynomial:
    """y = sum(coefficient * x**exponent)."""

    terms: tuple[tuple[float, int], ...]


@dataclass(frozen=True, slots=True)
class Spline:
    """Piecewise function through (raw, calibrated) points, sorted by raw value.

    orders[i] is the interpolation order used from point i up to point i+1.
    """

    points: tuple[tuple[float, float], ...]
    orders: tuple[int, ...]
    extrapolate: bool


@dataclass(frozen=True, slots=True)
class UnsupportedCalibrator:
    """A calibrator the loader knows but cannot evaluate; raw values still decode."""

    kind: str
    line: int | None


Calibrator = Polynomial | Spline | UnsupportedCalibrator


@dataclass(frozen=True, slots=True)
class DynamicSize:
    """Size in bits = value(parameter) * slope + intercept, per packet."""

    parameter: str  # qualified name of the sizing parameter
    slope: int
    intercept: int
    line: int | None
    calibrated: bool = True  # the size is the sizing parameter's engineering value


@dataclass(frozen=True, slots=True)
class Encoding:
    """How a value lies in the packet.

    kind is "integer", "float", "string" or "binary"; name is the unpack
    encoding name the field is read with ("binary" for raw bytes). bits is
    None when the size comes from another parameter (size) or from a leading
    size tag (leading_size_bits).
    """

    kind: str
    name: str
    bits: int | None
    byte_order: str = "big"
    reverse_bits: bool = False
    size: DynamicSize | None = None
    leading_size_bits: int | None = None
    termination: bytes | None = None
    calibrator: Calibrator | None = None
    # The calibrators of a ContextCalibratorList; with the conditions that
    # choose them in Definition.context_calibrators.
    context_calibrators: tuple[Calibrator, ...] = ()
    line: int | None = None

    def describe(self) -> str:
        if self.leading_size_bits is not None:
            size = f"{self.leading_size_bits}-bit leading size"
        elif self.size is not None:
            size = f"size from {self.size.parameter}"
        else:
            size = f"{self.bits} bits"
        text = f"{self.name}, {size}"
        if self.byte_order != "big":
            text += ", little-endian"
        if self.termination is not None:
            text += f", terminated by 0x{self.termination.hex()}"
        return text


@dataclass(frozen=True, slots=True)
class TimeScale:
    """Engineering time = epoch + (calibrated raw * scale + offset) * unit_seconds."""

    epoch: np.datetime64 | None  # datetime64[ns] for absolute times, None for relative ones
    scale: float
    offset: float
    unit_seconds: float


class ParameterType(NamedTuple):
    """A parameter type as loaded, with the encoding and units it gives its parameters."""

    name: str
    qualified_name: str
    kind: str  # integer, float, string, binary, boolean, enumerated, absolute_time, relative_time
    encoding: Encoding | None
    units: str = ""
    enumeration: tuple[tuple[int, int, str], ...] = ()  # (low, high, label), high inclusive
    one_string: str = "True"
    zero_string: str = "False"
    time: TimeScale | None = None
    unsupported: str | None = None  # why a parameter of this type cannot be laid out
    line: int | None = None
    # An array or aggregate: its scalar parts in the order they are packed,
    # as (suffix of the parameter's name, type), e.g. ("[1][0]", T), (".volts", V).
    members: tuple[tuple[str, ParameterType], ...] = ()

    def __repr__(self) -> str:
        if self.members:
            return f"<ParameterType {self.qualified_name} ({self.kind}, {len(self.members)} parts)>"
        encoding = self.encoding.describe() if self.encoding else "no encoding"
        return f"<ParameterType {self.qualified_name} ({self.kind}, {encoding})>"


class Parameter(NamedTuple):
    """A parameter: its name, type, encoding, units and description."""

    name: str
    qualified_name: str
    type: ParameterType
    description: str = ""
    line: int | None = None

    @property
    def encoding(self) -> Encoding | None:
        return self.type.encoding

    @property
    def units(self) -> str:
        return self.type.units

    def __repr__(self) -> str:
        encoding = self.encoding.describe() if self.encoding else "no encoding"
        units = f", units {self.units!r}" if self.units else ""
        return (f"<Parameter {self.qualified_name}: {self.type.kind} type {self.type.name} "
                f"({encoding}){units}>")


@dataclass(frozen=True, slots=True)
class Comparison:
    """parameter <operator> value; value is already converted to what is compared.

    When raw is True the comparison is made on the raw (encoded) value,
    otherwise on the engineering value. value is a number, a str, bytes, a
    bool, or a frozenset of raw integers (an enumeration label that covers
    several values). other names a parameter compared against instead of a value.
    """

    parameter: str
    operator: str
    value: CompareValue | None  # None when compared with another parameter
    raw: bool
    other: str | None = None
    other_raw: bool = False
    line: int | None = None
    text: str = ""


@dataclass(frozen=True, slots=True)
class AllOf:
    terms: tuple["Condition", ...]


@dataclass(frozen=True, slots=True)
class AnyOf:
    terms: tuple["Condition", ...]


Condition = Comparison | AllOf | AnyOf


class Entry(NamedTuple):
    """One entry of a container's own entry list."""

    kind: str  # "parameter" or "container"
    target: str  # qualified name of the parameter or container
    location: int  # bits after the reference
    reference: str  # "previousEntry" or "containerStart"
    condition: Condition | None
    line: int | None


@dataclass(frozen=True, slots=True, repr=False)
class Container:
    """A sequence container as written, with its base and restriction."""

    name: str
    qualified_name: str
    abstract: bool
    base: str | None  # qualified name of the base container
    restriction: Condition | None
    entries: tuple[Entry, ...]
    description: str = ""
    line: int | None = None

    def __repr__(self) -> str:
        kind = "abstract container" if self.abstract else "container"
        base = f" extends {self.base}" if self.base else ""
        return f"<{kind} {self.qualified_name}{base}: {len(self.entries)} entries>"


class Slot(NamedTuple):
    """One field of a container's flattened layout (inherited and included entries in place).

    offset is the absolute bit offset from the packet's first bit, or None
    when the field follows the previous one at gap bits after its end (a
    field after a dynamically sized one). hidden slots (leading size tags,
    padding) are read but give no column.
    """

    column: str
    parameter: Parameter | None
    encoding: str
    bits: int
    offset: int | None
    gap: int = 0
    byte_order: str = "big"
    reverse_bits: bool = False
    size_from: tuple[str, int, int] | None = None
    condition: Condition | None = None
    hidden: bool = False
    line: int | None = None


@dataclass(frozen=True, slots=True)
class Layout:
    container: Container
    slots: tuple[Slot, ...]
    columns: dict[str, Parameter] = field(default_factory=dict)  # column -> parameter

    @property
    def fixed(self) -> bool:
        return all(s.offset is not None and s.size_from is None and s.condition is None
                   for s in self.slots)
