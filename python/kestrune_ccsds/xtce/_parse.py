"""Reading a definition file into parameter types, parameters and containers.

The XML is parsed with lxml without entity expansion, DTD loading or network
access. Elements are matched by local name in the namespace of the root
SpaceSystem (any namespace, or none), so the same code reads files with a
prefix, with a default namespace and without one; elements of other
namespaces are extensions and are skipped.

Names live in SpaceSystems: every item has a qualified name
"/Root/Sub/Name". A reference is absolute ("/Root/Sub/Name"), relative to the
SpaceSystem it is written in ("Sub/Name", "../Name"), or a bare name, which
is looked up in that SpaceSystem and then in its ancestors.
"""

from __future__ import annotations

import dataclasses
import datetime
import itertools
import math
import os
from collections.abc import Callable, Iterator, Mapping
from typing import IO, NoReturn, TypeAlias

import numpy as np

from ._model import (
    AllOf, AnyOf, Calibrator, CompareValue, Comparison, Condition, Container, DefinitionError,
    DynamicSize, Encoding, Entry, Parameter, ParameterType, Polynomial, Spline, TimeScale,
    UnsupportedCalibrator, XmlElement,
)

_INTEGER_ENCODINGS = {
    "unsigned": "unsigned",
    "twoscomplement": "twos_complement",
    "onescomplement": "ones_complement",
    "signmagnitude": "sign_magnitude",
    "bcd": "bcd",
    "packedbcd": "packed_bcd",
}

# (encoding, sizeInBits) -> unpack name. IEEE754_1985 reads the same as
# IEEE754 at 32 and 64 bits; the formats the codecs only recognise map to
# their not-implemented rows, which say so when such a field is decoded.
_FLOAT_ENCODINGS = {
    ("IEEE754", 16): "ieee754_f16", ("IEEE754", 32): "ieee754_f32",
    ("IEEE754", 64): "ieee754_f64", ("IEEE754", 128): "ieee754_f128",
    ("IEEE754_1985", 32): "ieee754_f32", ("IEEE754_1985", 64): "ieee754_f64",
    ("IEEE754_1985", 80): "ieee754_1985_f80", ("IEEE754_1985", 128): "ieee754_f128",
    ("MILSTD_1750A", 32): "mil_std_1750a_f32", ("MILSTD_1750A", 48): "mil_std_1750a_f48",
    ("DEC", 32): "dec_f32", ("DEC", 64): "dec_f64",
    ("IBM", 32): "ibm_f32", ("IBM", 64): "ibm_f64",
    ("TI", 32): "ti_f32", ("TI", 40): "ti_f40",
}

_STRING_ENCODINGS = {
    "us-ascii": "us-ascii", "iso-8859-1": "iso-8859-1", "windows-1252": "windows-1252",
    "utf-8": "utf-8", "utf-16": "utf-16", "utf-16le": "utf-16le", "utf-16be": "utf-16be",
    "utf-32": "utf-32", "utf-32le": "utf-32le", "utf-32be": "utf-32be",
}

_TYPE_KINDS = {
    "IntegerParameterType": "integer", "FloatParameterType": "float",
    "StringParameterType": "string", "BinaryParameterType": "binary",
    "BooleanParameterType": "boolean", "EnumeratedParameterType": "enumerated",
    "AbsoluteTimeParameterType": "absolute_time", "RelativeTimeParameterType": "relative_time",
    "ArrayParameterType": "array", "AggregateParameterType": "aggregate",
}

_ENCODING_TAGS = frozenset(("IntegerDataEncoding", "FloatDataEncoding", "StringDataEncoding",
                            "BinaryDataEncoding"))
_TIME_KINDS = frozenset(("absolute_time", "relative_time"))
_ALLOWED_ENCODINGS = {
    "integer": ("integer", "float"), "float": ("integer", "float"), "string": ("string",),
    "binary": ("binary",), "boolean": ("integer",), "enumerated": ("integer",),
    "absolute_time": ("integer", "float"), "relative_time": ("integer", "float"),
}

_EPOCHS = {
    "TAI": "1958-01-01T00:00:00", "J2000": "2000-01-01T12:00:00",
    "UNIX": "1970-01-01T00:00:00", "POSIX": "1970-01-01T00:00:00", "GPS": "1980-01-06T00:00:00",
}

_TIME_UNITS = {"seconds": 1.0, "picoSeconds": 1e-12, "days": 86400.0}

_OPERATOR_NAMES = {"==": "==", "!=": "!=", "<": "<", "<=": "<=", ">": ">", ">=": ">=",
                   "&lt;": "<", "&lt;=": "<=", "&gt;": ">", "&gt;=": ">=",
                   "eq": "==", "neq": "!=", "lt": "<", "leq": "<=", "gt": ">", "geq": ">="}

# The most fields an array or aggregate parameter is laid out as.
_MAX_PARTS = 65536

# The largest size, index or location in bits a definition may give (a
# packet holds at most 65542 bytes; no field is wider than this).
_MAX_BITS = (1 << 32) - 1

# The deepest chain of baseType, arrayTypeRef and typeRef references, and of
# containers included in one another, that a definition may have.
MAX_DEPTH = 100

# Entry kinds that change where later fields lie; refused with a clear error.
_UNSUPPORTED_ENTRIES = {
    "ParameterSegmentRefEntry", "ContainerSegmentRefEntry", "StreamSegmentEntry",
    "IndirectParameterRefEntry",
}


# Makes a named tuple from all its fields in order, without the Python-level
# __new__ of the class: the records made by the ten thousand are made this way.
_new = tuple.__new__

# What load_xtce reads: a path, the XML as bytes, or a binary file object.
Source: TypeAlias = "str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]"


def member_parameter(param: Parameter, suffix: str, ptype: ParameterType) -> Parameter:
    """A part of an aggregate or array parameter ("P.volts", "P[2]"), as a parameter of its own."""
    return _new(Parameter, (param.name + suffix, param.qualified_name + suffix, ptype,
                            param.description, param.line))


def _split(tag: str) -> tuple[str, str]:
    if tag[0] == "{":
        ns, _, local = tag[1:].partition("}")
        return ns, local
    return "", tag


def _normpath(path: str) -> str:
    parts: list[str] = []
    for part in path.split("/"):
        if part in ("", "."):
            continue
        if part == "..":
            if parts:
                parts.pop()
            continue
        parts.append(part)
    return "/" + "/".join(parts)


def _source_name(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "<bytes>"
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else "<file>"


def parse_document(source: Source) -> tuple[XmlElement, str]:
    """Parse the XML safely; returns (root element, source name)."""
    from lxml import etree  # type: ignore[import-untyped, unused-ignore]

    name = _source_name(source)
    # No entities expanded, nothing fetched, no DTD read. xml:id attributes
    # are not indexed: nothing looks elements up by id.
    parser = etree.XMLParser(resolve_entities=False, no_network=True, load_dtd=False,
                             huge_tree=False, remove_comments=True, remove_pis=True,
                             collect_ids=False)
    try:
        if isinstance(source, (bytes, bytearray, memoryview)):
            root = etree.fromstring(bytes(source), parser)
        else:
            root = etree.parse(os.fspath(source) if isinstance(source, os.PathLike) else source,
                               parser).getroot()
    except etree.XMLSyntaxError as exc:
        line = exc.lineno if exc.lineno else None
        raise DefinitionError(name, line, "document", f"not well-formed XML: {exc.msg}") from None
    except OSError as exc:
        raise DefinitionError(name, None, "document", f"cannot be read: {exc}") from None
    if root is None or not isinstance(root.tag, str) or _split(root.tag)[1] != "SpaceSystem":
        tag = _split(root.tag)[1] if root is not None and isinstance(root.tag, str) else "nothing"
        raise DefinitionError(name, getattr(root, "sourceline", None), tag,
                              "the root element must be a SpaceSystem")
    return root, name


class Loader:
    """Collects the items of every SpaceSystem, then resolves and checks them.

    Children are walked as a slice (el[:], which lxml builds faster than an
    iterator) with a table of their tags' local names; the long lists of the
    sets with lxml's tag filters, which skip other elements without making
    Python objects for them (a filter costs more than a short loop: it is
    parsed again on every call). What large files repeat is read once:
    childless data encodings per set of attributes, enumeration lists and
    calibrated encodings per XML text.
    """

    def __init__(self, root: XmlElement, source: str):
        from lxml import etree  # type: ignore[import-untyped, unused-ignore]

        self.source = source
        self.ns = _split(root.tag)[0]
        self._prefix = "{" + self.ns + "}"
        self._tostring: Callable[..., bytes] = etree.tostring
        # The elements and the SpaceSystem path they were found in; types
        # also keep their local tag name.
        self.type_elements: dict[str, tuple[XmlElement, str, str]] = {}
        self.param_elements: dict[str, tuple[XmlElement, str]] = {}
        self.container_elements: dict[str, tuple[XmlElement, str]] = {}
        self.types: dict[str, ParameterType] = {}
        self.parameters: dict[str, Parameter] = {}
        self.containers: dict[str, Container] = {}
        # Parts of aggregate and array parameters that conditions name.
        self.members: dict[str, Parameter] = {}
        # id(encoding) -> (encoding, its context matches as (element, SpaceSystem path)).
        self.context_matches: dict[int, tuple[Encoding, tuple[tuple[XmlElement, str], ...]]] = {}
        self._resolving: list[str] = []
        # Tag -> local name, "" for what is not of the definition's namespace.
        self._local_of: dict[object, str] = {}
        self._encodings: dict[object, Encoding] = {}
        self._enumerations: dict[bytes, tuple[tuple[int, int, str], ...]] = {}
        self._collect(root, "")

    # -- helpers -----------------------------------------------------------

    def error(self, el: XmlElement | None, problem: str,
              element: str | None = None) -> DefinitionError:
        if element is None:
            element = self.local(el) if el is not None else "document"
            name = el.get("name") if el is not None else None
            if name:
                element = f"{element} '{name}'"
        return DefinitionError(self.source, getattr(el, "sourceline", None), element, problem)

    def local(self, el: XmlElement) -> str:
        return _split(el.tag)[1]

    def _learn(self, tag: object) -> str:
        """The local name of a child's tag; "" for other namespaces, entities and the like."""
        local = ""
        if isinstance(tag, str):
            ns, name = _split(tag)
            if ns == self.ns:
                local = name
        self._local_of[tag] = local
        return local

    def kids(self, el: XmlElement) -> Iterator[tuple[str, XmlElement]]:
        """The children of el in the definition's namespace, as (local name, element)."""
        local_of = self._local_of
        for child in el[:]:
            local = local_of.get(child.tag)
            if local is None:
                local = self._learn(child.tag)
            if local:
                yield local, child

    def child(self, el: XmlElement, name: str) -> XmlElement | None:
        for local, c in self.kids(el):
            if local == name:
                return c
        return None

    def _collect(self, ss: XmlElement, parent: str) -> None:
        name = ss.get("name")
        if not name:
            raise self.error(ss, "a SpaceSystem needs a name")
        path = f"{parent}/{name}"
        for local, el in self.kids(ss):
            if local in ("TelemetryMetaData", "CommandMetaData"):
                for sub, set_el in self.kids(el):
                    if sub == "ParameterTypeSet":
                        self._register_types(set_el, path)
                    elif sub == "ParameterSet":
                        self._register(set_el, path, self.param_elements, "Parameter")
                    elif sub == "ContainerSet" and local == "TelemetryMetaData":
                        self._register(set_el, path, self.container_elements, "SequenceContainer")
            elif local == "SpaceSystem":
                self._collect(el, path)

    def _register(self, set_el: XmlElement, path: str,
                  registry: dict[str, tuple[XmlElement, str]], only: str) -> None:
        for el in set_el.iterchildren(self._prefix + only):
            name = el.get("name")
            if not name:
                raise self.error(el, "the name attribute is missing")
            qualified = f"{path}/{name}"
            if qualified in registry:
                raise self.error(el, f"the name is already defined in SpaceSystem {path}")
            registry[qualified] = (el, path)

    def _register_types(self, set_el: XmlElement, path: str) -> None:
        registry = self.type_elements
        local_of = self._local_of
        for el in set_el.iterchildren(self._prefix + "*"):
            local = local_of.get(el.tag)
            if local is None:
                local = self._learn(el.tag)
            name = el.get("name")
            if not name:
                raise self.error(el, "the name attribute is missing")
            qualified = f"{path}/{name}"
            if qualified in registry:
                raise self.error(el, f"the name is already defined in SpaceSystem {path}")
            registry[qualified] = (el, path, local)

    def resolve(self, ref: str | None, ss: str, registry: Mapping[str, object], el: XmlElement,
                what: str, attribute: str) -> str:
        if not ref:
            raise self.error(el, f"the {attribute} attribute is missing")
        ref = ref.strip()
        if "/" not in ref:
            # A bare name: this SpaceSystem's item of that name, else its ancestors'.
            path = ss
            while path:
                found = f"{path}/{ref}"
                if found in registry:
                    return found
                path = path.rpartition("/")[0]
        else:
            found = _normpath(ref if ref.startswith("/") else f"{ss}/{ref}")
            if found in registry:
                return found
        raise self.error(el, f"{attribute} '{ref}' names no {what} (looked up from {ss})")

    def integer_attr(self, el: XmlElement, name: str, default: int | None = None,
                     minimum: int = 0) -> int:
        text = el.get(name)
        if text is None:
            if default is None:
                raise self.error(el, f"the {name} attribute is missing")
            return default
        try:
            value = int(text.strip())
        except ValueError:
            raise self.error(el, f"{name} '{text}' is not an integer") from None
        if value < minimum:
            raise self.error(el, f"{name} {value} is below {minimum}")
        return value

    def float_attr(self, el: XmlElement, name: str, default: float | None = None) -> float:
        text = el.get(name)
        if text is None:
            if default is None:
                raise self.error(el, f"the {name} attribute is missing")
            return default
        try:
            value = float(text.strip())
        except ValueError:
            raise self.error(el, f"{name} '{text}' is not a number") from None
        if not math.isfinite(value):
            raise self.error(el, f"{name} '{text}' is not a finite number")
        return value

    def description(self, el: XmlElement) -> str:
        text: str | None = el.get("shortDescription")
        if text:
            return text.strip()
        if not len(el):
            return ""
        long = self.child(el, "LongDescription")
        if long is not None and long.text:
            return " ".join(str(long.text).split())
        return ""

    # -- parameter types ---------------------------------------------------

    def parameter_type(self, qualified: str) -> ParameterType:
        found = self.types.get(qualified)
        if found is not None:
            return found
        el, ss, local = self.type_elements[qualified]
        if qualified in self._resolving:
            cycle = " -> ".join(self._resolving[self._resolving.index(qualified):] + [qualified])
            raise self.error(el, f"circular baseType: {cycle}")
        ptype = self._parse_type(el, ss, qualified, local)
        self.types[qualified] = ptype
        return ptype

    def _parse_type(self, el: XmlElement, ss: str, qualified: str, local: str) -> ParameterType:
        kind = _TYPE_KINDS.get(local)
        name = qualified[len(ss) + 1:]
        line: int | None = el.sourceline
        if kind is None:
            return ParameterType(name, qualified, "unknown", None,
                                 unsupported=f"{local} is not a parameter type", line=line)
        if kind == "array":
            return self._array_type(el, ss, qualified, name, line)
        if kind == "aggregate":
            return self._aggregate_type(el, ss, qualified, name, line)
        encoding: Encoding | None = None
        units = ""
        enumeration: tuple[tuple[int, int, str], ...] = ()
        time: TimeScale | None = None
        one, zero = "True", "False"
        base_ref = el.get("baseType")
        if base_ref is not None:
            base_q = self.resolve(base_ref, ss, self.type_elements, el, "parameter type",
                                  "baseType")
            # The chain of types whose bases are being read, for a cycle's message.
            self._deeper(el)
            self._resolving.append(qualified)
            try:
                base = self.parameter_type(base_q)
            finally:
                self._resolving.pop()
            if base.kind != kind:
                raise self.error(el, f"baseType '{base_ref}' is a {base.kind} type, "
                                     f"not a {kind} type")
            encoding, units, enumeration, time = (base.encoding, base.units, base.enumeration,
                                                  base.time)
            one, zero = base.one_string, base.zero_string
        local_of = self._local_of
        for child in el[:]:
            sub = local_of.get(child.tag)
            if sub is None:
                sub = self._learn(child.tag)
            if sub in _ENCODING_TAGS:
                if not len(child):
                    # The usual encoding: attributes only, read once per set of them.
                    encoding = self._encodings.get((sub, tuple(child.items())))
                    if encoding is not None:
                        continue
                encoding = self.encoding(child, ss, sub)
            elif sub == "UnitSet":
                if len(child):
                    units = self._units(child)
            elif sub == "EnumerationList":
                enumeration = self._enumeration(child)
            elif sub == "Encoding" and kind in _TIME_KINDS:
                encoding, time = self._time_encoding(child, ss, time)
            elif sub == "ReferenceTime" and kind == "absolute_time":
                epoch = self._epoch(child)
                time = (TimeScale(epoch, time.scale, time.offset, time.unit_seconds) if time
                        else TimeScale(epoch, 1.0, 0.0, 1.0))
        if kind in _TIME_KINDS:
            if time is None:
                time = TimeScale(None, 1.0, 0.0, 1.0)
            elif kind == "relative_time" and time.epoch is not None:
                time = TimeScale(None, time.scale, time.offset, time.unit_seconds)
        if kind == "boolean":
            one = el.get("oneStringValue", one)
            zero = el.get("zeroStringValue", zero)
        else:
            one, zero = "True", "False"
        if encoding is not None and encoding.kind not in _ALLOWED_ENCODINGS[kind]:
            self._check_kind(el, kind, encoding)
        return _new(ParameterType, (name, qualified, kind, encoding, units, enumeration, one, zero,
                                    time, None, line, ()))

    def _deeper(self, el: XmlElement) -> None:
        if len(self._resolving) >= MAX_DEPTH:
            raise self.error(el, f"types are derived or nested more than {MAX_DEPTH} levels deep")

    def _part_type(self, el: XmlElement, ss: str, qualified: str, attribute: str) -> ParameterType:
        """The type an array's elements or an aggregate's member have."""
        part_q = self.resolve(el.get(attribute), ss, self.type_elements, el, "parameter type",
                              attribute)
        if part_q == qualified or part_q in self._resolving:
            chain = self._resolving[self._resolving.index(part_q):] if part_q != qualified else []
            raise self.error(el, f"circular {attribute}: "
                                 + " -> ".join(chain + [qualified, part_q]))
        self._deeper(el)
        self._resolving.append(qualified)
        try:
            return self.parameter_type(part_q)
        finally:
            self._resolving.pop()

    def _array_type(self, el: XmlElement, ss: str, qualified: str, name: str,
                    line: int | None) -> ParameterType:
        # The elements are packed one after the other, the last index
        # changing fastest; each becomes a field named "P[i][j]".
        element = self._part_type(el, ss, qualified, "arrayTypeRef")
        dimensions = self.child(el, "DimensionList")
        unsupported = element.unsupported
        shape: list[range] = []
        if dimensions is None:
            unsupported = unsupported or ("an ArrayParameterType without a DimensionList "
                                          "is not supported")
        else:
            for sub, dim in self.kids(dimensions):
                if sub != "Dimension":
                    continue
                bounds = []
                for part in ("StartingIndex", "EndingIndex"):
                    index_el = self.child(dim, part)
                    if index_el is None:
                        raise self.error(dim, f"the {part} element is missing")
                    bounds.append(self._integer_value(index_el, ss, "index")[0])
                first, last = bounds
                if first is None or last is None:
                    unsupported = unsupported or ("an array whose size comes from another "
                                                  "parameter is not supported")
                    continue
                if last < first:
                    raise self.error(dim, f"EndingIndex {last} is below StartingIndex {first}")
                shape.append(range(first, last + 1))
            if not shape and unsupported is None:
                raise self.error(dimensions, "the DimensionList has no Dimension")
        members: tuple[tuple[str, ParameterType], ...] = ()
        if unsupported is None:
            count = math.prod(len(r) for r in shape) * max(len(element.members), 1)
            if count > _MAX_PARTS:
                raise self.error(el, f"an array of {count} fields is more than the {_MAX_PARTS} "
                                     "a container can hold")
            parts = element.members or (("", element),)
            members = tuple((f"[{']['.join(map(str, index))}]{suffix}", part)
                            for index in itertools.product(*shape) for suffix, part in parts)
        return ParameterType(name, qualified, "array", None, element.units,
                             unsupported=unsupported, line=line, members=members)

    def _aggregate_type(self, el: XmlElement, ss: str, qualified: str, name: str,
                        line: int | None) -> ParameterType:
        # The members are packed in the order they are listed; each becomes
        # a field named "P.member" (an array or aggregate member, "P.m[0]"...).
        member_list = self.child(el, "MemberList")
        if member_list is None:
            raise self.error(el, "the MemberList element is missing")
        members: list[tuple[str, ParameterType]] = []
        unsupported = None
        for sub, member in self.kids(member_list):
            if sub != "Member":
                continue
            member_name = member.get("name")
            if not member_name:
                raise self.error(member, "the name attribute is missing")
            part = self._part_type(member, ss, qualified, "typeRef")
            unsupported = unsupported or part.unsupported
            members.extend((f".{member_name}{suffix}", t)
                           for suffix, t in (part.members or (("", part),)))
            if len(members) > _MAX_PARTS:
                raise self.error(el, f"an aggregate of more than {_MAX_PARTS} fields is more "
                                     "than a container can hold")
        if not members:
            raise self.error(member_list, "the MemberList has no Member")
        return ParameterType(name, qualified, "aggregate", None, unsupported=unsupported,
                             line=line, members=() if unsupported else tuple(members))

    def _check_kind(self, el: XmlElement, kind: str, encoding: Encoding) -> NoReturn:
        if kind == "boolean" and encoding.kind in ("binary", "string"):
            raise self.error(el, "a boolean type is supported with an integer data encoding only")
        raise self.error(el, f"a {kind} type cannot have a {encoding.kind} data encoding")

    def _units(self, el: XmlElement) -> str:
        parts = []
        local_of = self._local_of
        for unit in el[:]:
            sub = local_of.get(unit.tag)
            if sub is None:
                sub = self._learn(unit.tag)
            if sub == "Unit" and unit.get("form", "calibrated") == "calibrated":
                text = (unit.text or "").strip()
                if text:
                    parts.append(text)
        return " ".join(parts)

    def _enumeration(self, el: XmlElement) -> tuple[tuple[int, int, str], ...]:
        # Types often repeat the same list: it is read once per distinct text.
        key: bytes = self._tostring(el, with_tail=False)
        found = self._enumerations.get(key)
        if found is not None:
            return found
        out = []
        for item in el.iterchildren(self._prefix + "Enumeration"):
            try:
                value = int(item.get("value"))
                high = value if item.get("maxValue") is None else int(item.get("maxValue"))
            except (TypeError, ValueError):
                value = self.integer_attr(item, "value", minimum=-(1 << 63))
                high = self.integer_attr(item, "maxValue", value, minimum=-(1 << 63))
            if high < value:
                raise self.error(item, f"maxValue {high} is below value {value}")
            label = item.get("label")
            if label is None:
                raise self.error(item, "the label attribute is missing")
            out.append((value, high, label))
        found = self._enumerations[key] = tuple(out)
        return found

    def _epoch(self, el: XmlElement) -> np.datetime64 | None:
        epoch = self.child(el, "Epoch")
        if epoch is None:
            return None  # OffsetFrom: engineering values are refused when decoded
        text = (epoch.text or "").strip()
        iso = _EPOCHS.get(text.upper(), text)
        try:
            moment = datetime.datetime.fromisoformat(iso)
        except ValueError:
            raise self.error(epoch, f"epoch '{text}' is neither TAI, J2000, UNIX, GPS, "
                                    "a date nor a dateTime") from None
        if moment.tzinfo is not None:
            moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
        return np.datetime64(moment.isoformat(), "ns")

    def _time_encoding(self, el: XmlElement, ss: str,
                       time: TimeScale | None) -> tuple[Encoding | None, TimeScale]:
        unit_name = el.get("units", "seconds")
        unit = _TIME_UNITS.get(unit_name)
        if unit is None:
            raise self.error(el, f"time units '{unit_name}' are not supported "
                                 "(seconds, picoSeconds and days are)")
        scale = self.float_attr(el, "scale", 1.0)
        offset = self.float_attr(el, "offset", 0.0)
        encoding = None
        for sub, child in self.kids(el):
            if sub in ("IntegerDataEncoding", "FloatDataEncoding"):
                encoding = self.encoding(child, ss, sub)
            elif sub in ("StringDataEncoding", "BinaryDataEncoding"):
                raise self.error(child, "a time type is supported with an integer or float "
                                        "encoding only")
        epoch = time.epoch if time else None
        return encoding, TimeScale(epoch, scale, offset, unit)

    # -- data encodings ----------------------------------------------------

    def encoding(self, el: XmlElement, ss: str, local: str) -> Encoding:
        # Encodings are often repeated: one without child elements is read
        # once per set of attributes, an integer or float one with children
        # (a calibrator) once per XML text. Sizes from other parameters and
        # context calibrators keep the element they were read from (their
        # messages name its line) and are read every time.
        key: object
        if not len(el):
            key = (local, tuple(el.items()))
        elif local == "IntegerDataEncoding" or local == "FloatDataEncoding":
            key = (ss, self._tostring(el, with_tail=False))
        else:
            return self._encoding(el, ss, local)
        found = self._encodings.get(key)
        if found is None:
            found = self._encoding(el, ss, local)
            if not found.context_calibrators:
                self._encodings[key] = found
        return found

    def _encoding(self, el: XmlElement, ss: str, local: str) -> Encoding:
        line: int | None = el.sourceline
        byte_order = self._byte_order(el)
        reverse = el.get("bitOrder", "mostSignificantBitFirst") == "leastSignificantBitFirst"
        if local == "IntegerDataEncoding":
            text = el.get("encoding", "unsigned")
            name = _INTEGER_ENCODINGS.get(text.lower())
            if name is None:
                raise self.error(el, f"unsupported integer encoding '{text}'")
            bits = self.integer_attr(el, "sizeInBits", 8, minimum=1)
            if bits > 64:
                raise self.error(el, f"sizeInBits {bits} is more than the 64 bits an "
                                     "integer field can have")
            self._check_order(el, byte_order, bits)
            calibrator, contexts = self._calibrators(el, ss)
            return self._contexts_of(Encoding("integer", name, bits, byte_order, reverse,
                                              calibrator=calibrator, line=line), contexts)
        if local == "FloatDataEncoding":
            text = el.get("encoding", "IEEE754_1985")
            bits = self.integer_attr(el, "sizeInBits", 32, minimum=1)
            name = _FLOAT_ENCODINGS.get((text.upper(), bits))
            if name is None:
                raise self.error(el, f"unsupported float encoding '{text}' of {bits} bits")
            self._check_order(el, byte_order, bits)
            calibrator, contexts = self._calibrators(el, ss)
            return self._contexts_of(Encoding("float", name, bits, byte_order, reverse,
                                              calibrator=calibrator, line=line), contexts)
        if local == "StringDataEncoding":
            return self._string_encoding(el, ss, line)
        # BinaryDataEncoding
        size_el = self.child(el, "SizeInBits")
        if size_el is None:
            raise self.error(el, "the SizeInBits element is missing")
        bits_or_none, size = self._integer_value(size_el, ss)
        binary_calibrator: Calibrator | None = None
        if self.child(el, "FromBinaryTransformAlgorithm") is not None:
            binary_calibrator = UnsupportedCalibrator("FromBinaryTransformAlgorithm", line)
        return Encoding("binary", "binary", bits_or_none, "big", reverse, size=size,
                        calibrator=binary_calibrator, line=line)

    def _check_order(self, el: XmlElement, byte_order: str, bits: int) -> None:
        if byte_order == "little" and bits % 8:
            raise self.error(el, f"a little-endian field needs a whole number of bytes, "
                                 f"not {bits} bits")

    def _byte_order(self, el: XmlElement) -> str:
        text = el.get("byteOrder")
        significances: list[int] | None = None
        if text is not None:
            text = text.strip()
            if text == "mostSignificantByteFirst":
                return "big"
            if text == "leastSignificantByteFirst":
                return "little"
            try:
                significances = [int(part) for part in text.split(",")]
            except ValueError:
                raise self.error(el, f"unknown byteOrder '{text}'") from None
        listed = self.child(el, "ByteOrderList")
        if listed is not None:
            significances = [self.integer_attr(b, "byteSignificance")
                             for sub, b in self.kids(listed) if sub == "Byte"]
        if significances is None:
            return "big"
        n = len(significances)
        if significances == list(range(n - 1, -1, -1)):
            return "big"
        if significances == list(range(n)):
            return "little"
        raise self.error(el, "byte order " + ",".join(map(str, significances))
                         + " is not supported (only most or least significant byte first)")

    def _string_encoding(self, el: XmlElement, ss: str, line: int | None) -> Encoding:
        text = el.get("encoding", "UTF-8")
        name = _STRING_ENCODINGS.get(text.lower())
        if name is None:
            raise self.error(el, f"unsupported string encoding '{text}'")
        bits: int | None = None
        size: DynamicSize | None = None
        leading: int | None = None
        termination: bytes | None = None
        found = False
        for sub, child in self.kids(el):
            if sub not in ("SizeInBits", "Variable"):
                continue
            found = True
            for part, item in self.kids(child):
                if part == "Fixed":
                    bits, size = self._integer_value(item, ss)
                elif part in ("FixedValue", "DynamicValue", "DiscreteLookupList"):
                    bits, size = self._integer_value(child, ss)
                elif part == "TerminationChar":
                    try:
                        termination = bytes.fromhex((item.text or "00").strip())
                    except ValueError:
                        raise self.error(item, f"'{item.text}' is not hexadecimal") from None
                    if not termination:
                        raise self.error(item, "the termination character is empty")
                elif part == "LeadingSize":
                    leading = self.integer_attr(item, "sizeInBitsOfSizeTag", 16, minimum=1)
                    if leading > 64:
                        raise self.error(item, f"sizeInBitsOfSizeTag {leading} is more than 64")
        if not found:
            raise self.error(el, "the SizeInBits or Variable element is missing")
        if bits is None and size is None and leading is None:
            if termination is not None:
                raise self.error(el, "a string that ends only at its TerminationChar is not "
                                     "supported (give a FixedValue or DynamicValue size)")
            raise self.error(el, "the string has no size (FixedValue, DynamicValue or "
                                 "LeadingSize)")
        if leading is not None and bits is None:
            size = None  # the size tag decides, read in front of the text
        return Encoding("string", name, bits, "big", False, size=size, leading_size_bits=leading,
                        termination=termination, line=line)

    def _integer_value(self, el: XmlElement, ss: str,
                       what: str = "size") -> tuple[int | None, DynamicSize | None]:
        """A size (or index) given as FixedValue or DynamicValue: returns (value, DynamicSize)."""
        for sub, child in self.kids(el):
            if sub == "FixedValue":
                try:
                    value = int((child.text or "").strip())
                except ValueError:
                    raise self.error(child, f"'{child.text}' is not an integer") from None
                if value < 0:
                    raise self.error(child, f"{what} {value} is negative")
                if value > _MAX_BITS:
                    raise self.error(child, f"{what} {value} is more than {_MAX_BITS}")
                return value, None
            if sub == "DynamicValue":
                return None, self._dynamic(child, ss)
            if sub == "DiscreteLookupList":
                raise self.error(child, "a size from a DiscreteLookupList is not supported")
        raise self.error(el, "the FixedValue or DynamicValue element is missing")

    def _dynamic(self, el: XmlElement, ss: str) -> DynamicSize:
        ref = self.child(el, "ParameterInstanceRef")
        if ref is None:
            raise self.error(el, "the ParameterInstanceRef element is missing")
        target = self.resolve(ref.get("parameterRef"), ss, self.param_elements, ref,
                              "parameter", "parameterRef")
        if self.integer_attr(ref, "instance", 0, minimum=-(1 << 63)) != 0:
            raise self.error(ref, "only instance 0 (the value in the same packet) is supported")
        slope, intercept = 1, 0
        adjust = self.child(el, "LinearAdjustment")
        if adjust is not None:
            slope_f = self.float_attr(adjust, "slope", 1.0)
            intercept_f = self.float_attr(adjust, "intercept", 0.0)
            if slope_f != int(slope_f) or intercept_f != int(intercept_f):
                raise self.error(adjust, "a size needs a whole-number slope and intercept, not "
                                         f"{slope_f:g} and {intercept_f:g}")
            slope, intercept = int(slope_f), int(intercept_f)
            if abs(slope) > _MAX_BITS or abs(intercept) > _MAX_BITS:
                raise self.error(adjust, f"a size's slope and intercept must lie within "
                                         f"±{_MAX_BITS}, not {slope_f:g} and {intercept_f:g}")
        calibrated = ref.get("useCalibratedValue", "true").strip() in ("true", "1")
        return DynamicSize(target, slope, intercept, el.sourceline, calibrated)

    def _contexts_of(self, encoding: Encoding,
                     contexts: tuple[tuple[XmlElement, str, Calibrator], ...]) -> Encoding:
        """The encoding with its context calibrators. Their match criteria are
        read once every parameter is known (Definition.context_calibrators):
        until then the loader keeps their elements, so that the definition
        holds no part of the XML tree."""
        if not contexts:
            return encoding
        encoding = dataclasses.replace(encoding, context_calibrators=tuple(c for _, _, c in contexts))
        self.context_matches[id(encoding)] = (encoding, tuple((m, ss) for m, ss, _ in contexts))
        return encoding

    def _calibrators(
            self, el: XmlElement, ss: str,
    ) -> tuple[Calibrator | None, tuple[tuple[XmlElement, str, Calibrator], ...]]:
        default = None
        contexts = []
        for sub, child in self.kids(el):
            if sub == "DefaultCalibrator":
                default = self._calibrator(child)
            elif sub == "ContextCalibratorList":
                for part, ctx in self.kids(child):
                    if part != "ContextCalibrator":
                        continue
                    match = self.child(ctx, "ContextMatch")
                    cal = self.child(ctx, "Calibrator")
                    if match is None or cal is None:
                        raise self.error(ctx, "ContextMatch and Calibrator are both needed")
                    contexts.append((match, ss, self._calibrator(cal)))
        return default, tuple(contexts)

    def _calibrator(self, el: XmlElement) -> Calibrator:
        for sub, child in self.kids(el):
            if sub == "PolynomialCalibrator":
                terms = []
                for part, term in self.kids(child):
                    if part == "Term":
                        terms.append((self.float_attr(term, "coefficient"),
                                      self.integer_attr(term, "exponent")))
                if not terms:
                    raise self.error(child, "a polynomial needs at least one Term")
                return Polynomial(tuple(terms))
            if sub == "SplineCalibrator":
                order = self.integer_attr(child, "order", 1)
                extrapolate = child.get("extrapolate", "false").strip() in ("true", "1")
                points = []
                for part, point in self.kids(child):
                    if part == "SplinePoint":
                        points.append((self.float_attr(point, "raw"),
                                       self.float_attr(point, "calibrated"),
                                       self.integer_attr(point, "order", order), point))
                if len(points) < 2:
                    raise self.error(child, "a spline needs at least 2 points")
                points.sort(key=lambda p: p[0])
                for a, b in zip(points, points[1:]):
                    if a[0] == b[0]:
                        raise self.error(b[3], f"two spline points have the raw value {a[0]:g}")
                for p in points:
                    if p[2] > 3:
                        raise self.error(p[3] if p[2] != order else child,
                                         f"spline order {p[2]} is not supported (0 to 3 are)")
                return Spline(tuple((p[0], p[1]) for p in points), tuple(p[2] for p in points),
                              extrapolate)
            if sub == "MathOperationCalibrator":
                return UnsupportedCalibrator("MathOperationCalibrator", child.sourceline)
        raise self.error(el, "no PolynomialCalibrator, SplineCalibrator or "
                             "MathOperationCalibrator in the calibrator")

    # -- parameters --------------------------------------------------------

    def parameter(self, qualified: str) -> Parameter:
        found = self.parameters.get(qualified)
        if found is not None:
            return found
        el, ss = self.param_elements[qualified]
        return self._parameter(qualified, el, ss)

    def load_parameters(self) -> None:
        """Reads every parameter (and the types they use), in document order."""
        parameters = self.parameters
        for qualified, (el, ss) in self.param_elements.items():
            if qualified not in parameters:
                self._parameter(qualified, el, ss)

    def _parameter(self, qualified: str, el: XmlElement, ss: str) -> Parameter:
        ref = el.get("parameterTypeRef")
        # A bare name of this SpaceSystem is found at once; resolve() does the rest.
        type_q = f"{ss}/{ref.strip()}" if ref else ""
        if type_q not in self.type_elements or "/" in ref:
            type_q = self.resolve(ref, ss, self.type_elements, el, "parameter type",
                                  "parameterTypeRef")
        ptype = self.types.get(type_q)
        if ptype is None:
            ptype = self.parameter_type(type_q)
        text = el.get("shortDescription")
        if text:
            description = text.strip()
        else:
            description = self.description(el) if len(el) else ""
        param = _new(Parameter, (qualified[len(ss) + 1:], qualified, ptype, description,
                                 el.sourceline))
        self.parameters[qualified] = param
        return param

    # -- containers --------------------------------------------------------

    def container(self, qualified: str) -> Container:
        found = self.containers.get(qualified)
        if found is not None:
            return found
        el, ss = self.container_elements[qualified]
        base = None
        restriction = None
        entries: list[Entry] = []
        for sub, child in self.kids(el):
            if sub == "BaseContainer":
                base = self.resolve(child.get("containerRef"), ss, self.container_elements, child,
                                    "container", "containerRef")
                criteria = self.child(child, "RestrictionCriteria")
                if criteria is not None:
                    following = self.child(criteria, "NextContainer")
                    if following is not None:
                        raise self.error(following, "NextContainer restrictions are not supported")
                    restriction = self.match_criteria(criteria, ss)
            elif sub == "EntryList":
                self._entries(child, ss, entries)
        abstract = el.get("abstract", "false").strip() in ("true", "1")
        cont = Container(el.get("name"), qualified, abstract, base, restriction, tuple(entries),
                         self.description(el), el.sourceline)
        self.containers[qualified] = cont
        return cont

    def _entries(self, entry_list: XmlElement, ss: str, entries: list[Entry]) -> None:
        params = self.param_elements
        local_of = self._local_of
        for el in entry_list[:]:
            kind = local_of.get(el.tag)
            if kind is None:
                kind = self._learn(el.tag)
            if not kind:
                continue
            if kind == "ParameterRefEntry" and not len(el):
                # The common entry: a parameter of this SpaceSystem, right after
                # the previous entry.
                ref = el.get("parameterRef")
                target = f"{ss}/{ref.strip()}" if ref else ""
                if target not in params or "/" in ref:
                    target = self.resolve(ref, ss, params, el, "parameter", "parameterRef")
                entries.append(_new(Entry, ("parameter", target, 0, "previousEntry", None,
                                            el.sourceline)))
            else:
                entries.append(self._entry(kind, el, ss))

    def _entry(self, kind: str, el: XmlElement, ss: str) -> Entry:
        if kind == "ParameterRefEntry":
            target = self.resolve(el.get("parameterRef"), ss, self.param_elements, el,
                                  "parameter", "parameterRef")
            kind = "parameter"
        elif kind == "ContainerRefEntry":
            target = self.resolve(el.get("containerRef"), ss, self.container_elements, el,
                                  "container", "containerRef")
            kind = "container"
        elif kind == "ArrayParameterRefEntry":
            dimensions = self.child(el, "DimensionList")
            if dimensions is not None:
                raise self.error(dimensions, "an ArrayParameterRefEntry with a DimensionList is "
                                             "not supported (arrays are laid out as their "
                                             "type's DimensionList gives them)")
            target = self.resolve(el.get("parameterRef"), ss, self.param_elements, el,
                                  "parameter", "parameterRef")
            kind = "parameter"
        elif kind in _UNSUPPORTED_ENTRIES:
            raise self.error(el, f"{kind} is not supported")
        else:
            raise self.error(el, f"unknown entry {kind}")
        location, reference, condition = 0, "previousEntry", None
        for sub, child in self.kids(el):
            if sub == "LocationInContainerInBits":
                reference = child.get("referenceLocation", "previousEntry").strip()
                if reference not in ("previousEntry", "containerStart"):
                    raise self.error(child, f"referenceLocation '{reference}' is not supported "
                                            "(containerStart and previousEntry are)")
                value = self.child(child, "FixedValue")
                if value is None:
                    raise self.error(child, "only a FixedValue location is supported")
                try:
                    location = int((value.text or "").strip())
                except ValueError:
                    raise self.error(value, f"'{value.text}' is not an integer") from None
                if reference == "containerStart" and location < 0:
                    raise self.error(child, f"location {location} lies before the container start")
                if abs(location) > _MAX_BITS:
                    raise self.error(value, f"location {location} is more than {_MAX_BITS} bits "
                                            "away")
            elif sub == "RepeatEntry":
                raise self.error(child, "RepeatEntry is not supported")
            elif sub == "IncludeCondition":
                condition = self.match_criteria(child, ss)
        return Entry(kind, target, location, reference, condition, el.sourceline)

    # -- conditions --------------------------------------------------------

    def match_criteria(self, el: XmlElement, ss: str) -> Condition:
        for sub, child in self.kids(el):
            if sub == "Comparison":
                return self._comparison(child, ss)
            if sub == "ComparisonList":
                terms = tuple(self._comparison(c, ss) for s, c in self.kids(child)
                              if s == "Comparison")
                if not terms:
                    raise self.error(child, "the ComparisonList is empty")
                return AllOf(terms)
            if sub == "BooleanExpression":
                return self._boolean(child, ss)
            if sub == "CustomAlgorithm":
                raise self.error(child, "CustomAlgorithm conditions are not supported")
        raise self.error(el, "no Comparison, ComparisonList or BooleanExpression in the criteria")

    def _boolean(self, el: XmlElement, ss: str) -> Condition:
        terms: list[Condition] = []
        for sub, child in self.kids(el):
            if sub == "Condition":
                terms.append(self._check(child, ss))
            elif sub in ("ANDedConditions", "ORedConditions"):
                terms.append(self._boolean(child, ss))  # an AllOf or an AnyOf
        if not terms:
            raise self.error(el, "the expression has no conditions")
        if self.local(el) == "ORedConditions":
            return AnyOf(tuple(terms))
        if self.local(el) == "ANDedConditions":
            return AllOf(tuple(terms))
        return terms[0] if len(terms) == 1 else AllOf(tuple(terms))

    def _instance(self, ref: XmlElement, ss: str) -> tuple[Parameter, bool]:
        text = ref.get("parameterRef")
        try:
            param = self.parameter(self.resolve(text, ss, self.param_elements, ref,
                                                "parameter", "parameterRef"))
        except DefinitionError:
            member = self._member(text, ss, ref)
            if member is None:
                raise
            param = member
        if self.integer_attr(ref, "instance", 0, minimum=-(1 << 63)) != 0:
            raise self.error(ref, "only instance 0 (the value in the same packet) is supported")
        raw = ref.get("useCalibratedValue", "true").strip() in ("false", "0")
        return param, raw

    def _member(self, text: str | None, ss: str, ref: XmlElement) -> Parameter | None:
        """The part of an aggregate or array parameter that a reference such
        as "Header.apid" or "../Gains[1][0]" names, or None."""
        head, _, last = (text or "").strip().rpartition("/")
        cut = min((i for i in (last.find("."), last.find("[")) if i > 0), default=-1)
        if cut < 0:
            return None
        try:
            base_q = self.resolve(f"{head}/{last[:cut]}" if head else last[:cut], ss,
                                  self.param_elements, ref, "parameter", "parameterRef")
        except DefinitionError:
            return None
        base = self.parameter(base_q)
        suffix = last[cut:]
        for part_suffix, part in base.type.members:
            if part_suffix == suffix:
                found = self.members.get(base_q + suffix)
                if found is None:
                    found = self.members[base_q + suffix] = member_parameter(base, suffix, part)
                return found
        return None

    def _operator(self, el: XmlElement, text: str) -> str:
        op = _OPERATOR_NAMES.get(text.strip())
        if op is None:
            raise self.error(el, f"unknown comparison operator '{text}'")
        return op

    def _comparison(self, el: XmlElement, ss: str) -> Comparison:
        param, raw = self._instance(el, ss)
        op = self._operator(el, el.get("comparisonOperator", "=="))
        text = el.get("value")
        if text is None:
            raise self.error(el, "the value attribute is missing")
        value = self.compare_value(el, param, op, text, raw)
        return Comparison(param.qualified_name, op, value, raw, line=el.sourceline,
                          text=f"{param.name} {op} {text}")

    def _check(self, el: XmlElement, ss: str) -> Comparison:
        refs = [c for s, c in self.kids(el) if s == "ParameterInstanceRef"]
        op_el = self.child(el, "ComparisonOperator")
        if not refs or op_el is None:
            raise self.error(el, "ParameterInstanceRef and ComparisonOperator are both needed")
        param, raw = self._instance(refs[0], ss)
        op = self._operator(op_el, op_el.text or "")
        if len(refs) > 1:
            other, other_raw = self._instance(refs[1], ss)
            return Comparison(param.qualified_name, op, None, raw, other.qualified_name,
                              other_raw, el.sourceline, f"{param.name} {op} {other.name}")
        value_el = self.child(el, "Value")
        if value_el is None:
            raise self.error(el, "the Value element is missing")
        text = (value_el.text or "")
        value = self.compare_value(value_el, param, op, text, raw)
        return Comparison(param.qualified_name, op, value, raw, line=el.sourceline,
                          text=f"{param.name} {op} {text.strip()}")

    def compare_value(self, el: XmlElement, param: Parameter, op: str, text: str,
                      raw: bool) -> CompareValue:
        """Converts a comparison's value to what the decoded column is compared with."""
        ptype = param.type
        enc = ptype.encoding
        kind = ptype.kind
        stripped = text.strip()
        if kind == "enumerated" and not raw:
            values = [v for lo, hi, label in ptype.enumeration if label == stripped
                      for v in range(lo, hi + 1)]
            if not values:
                raise self.error(el, f"'{stripped}' is not a label of {param.name}'s enumeration")
            if op not in ("==", "!="):
                raise self.error(el, f"enumeration labels compare with == and != only, not {op}")
            return frozenset(values)
        if kind == "boolean" and not raw:
            if stripped in (ptype.one_string, "true", "1"):
                return True
            if stripped in (ptype.zero_string, "false", "0"):
                return False
            raise self.error(el, f"'{stripped}' is neither {ptype.one_string} nor "
                                 f"{ptype.zero_string}")
        if kind in ("absolute_time", "relative_time") and not raw:
            raise self.error(el, "comparisons of time values are supported on raw values only "
                                 "(useCalibratedValue=\"false\")")
        if enc is None:
            raise self.error(el, f"{param.name} has no data encoding to compare")
        if enc.kind == "string" and kind == "string":
            return text
        if enc.kind == "binary":
            try:
                return bytes.fromhex(stripped.removeprefix("0x").removeprefix("0X"))
            except ValueError:
                raise self.error(el, f"'{stripped}' is not hexadecimal") from None
        number = _number(stripped)
        if number is None:
            raise self.error(el, f"'{stripped}' is not a number")
        return number


def _number(text: str) -> int | float | None:
    try:
        return int(text, 10)
    except ValueError:
        pass
    try:
        return int(text, 0)
    except ValueError:
        pass
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None
