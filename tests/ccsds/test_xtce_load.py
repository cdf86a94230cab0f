"""Loading definitions: what the loader builds, and every way a definition is refused."""

import pathlib
import re

import pytest

pytest.importorskip("lxml")
np = pytest.importorskip("numpy")
import kestrune  # noqa: E402
from hypothesis import given, settings, strategies as st  # noqa: E402

from kestrune_ccsds.xtce import DefinitionError, load_xtce  # noqa: E402
from .xtce_large import generate  # noqa: E402
from .xtce_packets import pack  # noqa: E402

HERE = pathlib.Path(__file__).parent / "xtce"
FEATURES = HERE / "features.xml"
NS = "http://www.omg.org/space/xtce"


def _without_prefix(text: str, namespace: bool) -> bytes:
    text = text.replace("xtce:", "")
    text = text.replace(f'xmlns="{NS}"', "").replace(f"xmlns:xtce=\"{NS}\"",
                                                     f'xmlns="{NS}"' if namespace else "")
    return text.encode()


def _shape(defn):
    """Everything a layout decides, for comparing two loads of the same definition."""
    return {name: [(s.column, s.encoding, s.bits, s.offset, s.gap, s.byte_order, s.size_from,
                    s.condition is not None) for s in defn.layout(name).slots]
            for name in defn.containers}


def test_namespace_prefix_default_or_none_read_the_same():
    text = FEATURES.read_text()
    with_prefix = load_xtce(FEATURES)
    default_ns = load_xtce(_without_prefix(text, namespace=True))
    no_ns = load_xtce(_without_prefix(text, namespace=False))
    assert _shape(with_prefix) == _shape(default_ns) == _shape(no_ns)
    # A file object reads like the path, and elements of other namespaces are skipped.
    extended = text.replace("<xtce:Header", '<ext:Note xmlns:ext="urn:x"><xtce:ParameterSet/>'
                            '</ext:Note><xtce:Header')
    with open(FEATURES, "rb") as f:
        assert _shape(load_xtce(f)) == _shape(load_xtce(extended.encode())) == _shape(with_prefix)


def test_parameters_and_containers_as_loaded():
    d = load_xtce(FEATURES)
    assert set(d.containers) == {"CCSDSPacket", "TimeBlock", "PowerHK", "ScienceBase",
                                 "ScienceWave", "ScienceName"}
    apid = d.parameters["APID"]
    assert (apid.qualified_name, apid.description, apid.type.name) == \
        ("/Sat/APID", "Application process identifier", "U11")
    assert d.parameters["PktLen"].description == "Packet data length, minus one."
    volt = d.parameters["BatVolt"]
    assert (volt.units, volt.encoding.describe(), volt.description) == \
        ("V", "unsigned, 12 bits", "Battery voltage")
    # baseType: Delta's type extends Oc8, keeps its units, replaces its encoding.
    delta = d.parameters["Delta"]
    assert (delta.units, delta.encoding.name) == ("count", "sign_magnitude")
    assert d.parameters["Energy"].encoding.describe() == "ieee754_f64, 64 bits, little-endian"
    assert d.parameters["Label"].encoding.describe() == \
        "us-ascii, 64 bits, terminated by 0x00"
    assert d.parameters["Waveform"].encoding.describe() == "binary, size from /Sat/PktLen"
    assert d.parameters["Name"].encoding.describe() == "utf-8, 8-bit leading size"
    assert [c.name for c in d.roots] == ["CCSDSPacket"]
    assert d.containers["PowerHK"].base == "/Sat/CCSDSPacket"
    assert d.containers["ScienceBase"].abstract


def test_layout_places_inherited_included_and_located_entries():
    d = load_xtce(FEATURES)
    offsets = {s.column: (s.offset, s.bits) for s in d.layout("PowerHK").slots}
    # Header 0-47, the included TimeBlock 48-95, then the own entries; Heater
    # 7 bits after BatTemp's end, Offset at containerStart + 344.
    assert offsets["Stamp"] == (48, 32) and offsets["Window"] == (80, 16)
    assert offsets["BatTemp"] == (112, 16) and offsets["Heater"] == (135, 1)
    assert offsets["Offset"] == (344, 8)
    wave = {s.column: s for s in d.layout("ScienceWave").slots}
    assert (wave["Waveform"].offset, wave["Waveform"].size_from) == (72, ("PktLen", 8, -24))
    assert (wave["Trailer"].offset, wave["Trailer"].gap) == (None, 0)
    name = d.layout("ScienceName").slots
    assert [s.column for s in name if s.hidden] == ["Name size 8"]
    assert [s.column for s in name if s.condition is not None] == ["Extra"]


def test_recipe_of_fixed_containers_and_refusal_of_varying_ones():
    d = load_xtce(FEATURES)
    header = d.recipe("CCSDSPacket")
    assert [(r["name"], r["bits"], r["offset_bits"]) for r in header] == [
        ("Version", 3, 0), ("Type", 1, 3), ("SecHdrFlag", 1, 4), ("APID", 11, 5),
        ("SeqFlags", 2, 16), ("SeqCount", 14, 18), ("PktLen", 16, 32)]
    assert d.recipe("TimeBlock") == [
        {"name": "Stamp", "encoding": "unsigned", "bits": 32, "offset_bits": 0,
         "byte_order": "big", "reverse_bits": False},
        {"name": "Window", "encoding": "twos_complement", "bits": 16, "offset_bits": 32,
         "byte_order": "big", "reverse_bits": False}]
    cases = {
        "PowerHK": "'Label' is read as raw bytes, which unpack_parameters does not give",
        "ScienceWave": "the size of 'Waveform' comes from 'PktLen'",
        "ScienceName": "the size of 'Name' comes from 'Name size 8'",
    }
    for container, why in cases.items():
        with pytest.raises(ValueError) as info:
            d.recipe(container)
        assert str(info.value) == f"container '{container}' has no fixed recipe: {why}"
    with pytest.raises(KeyError, match="no container named 'Nope'"):
        d.recipe("Nope")


_LARGE = load_xtce(generate(parameters=407, containers=4))


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 3), st.data())
def test_recipes_unpack_what_the_layout_packs(container, data):
    """The recipe of a generated container reads back the raw values laid by its layout."""
    name = f"Packet{container:02d}"
    layout = _LARGE.layout(name)
    values = {}
    for s in layout.slots:
        enc = s.parameter.encoding
        if enc.kind == "float":
            values[s.column] = data.draw(st.floats(width=32, allow_nan=False))
        elif enc.name == "unsigned":
            values[s.column] = data.draw(st.integers(0, (1 << s.bits) - 1))
        else:
            values[s.column] = data.draw(st.integers(-(1 << (s.bits - 1)), (1 << (s.bits - 1)) - 1))
    values["APID"] = 100 + container
    packet = pack(layout, values)
    assert kestrune.unpack_parameters(packet, 0, _LARGE.recipe(name)) == values


# Parts that large files repeat word for word, which the loader reads once,
# and near repeats that must not be taken for them: (XML, what it reads as).
_ENCODINGS = [
    ('sizeInBits="8"', ("unsigned", 8, "big")),
    ('sizeInBits="8" encoding="twosComplement"', ("twos_complement", 8, "big")),
    ('encoding="twosComplement" sizeInBits="8"', ("twos_complement", 8, "big")),
    ('sizeInBits="16" byteOrder="leastSignificantByteFirst"', ("unsigned", 16, "little")),
]
_LISTS = [[(0, "OFF"), (1, "ON")], [(0, "OFF"), (1, "On")], [(1, "ON"), (0, "OFF")], [(0, "OFF")]]
_TERMS = [[(0.5, 1)], [(0.25, 1)], [(0.5, 1), (1.0, 0)], [(1.0, 0), (0.5, 1)]]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 3), st.integers(0, 3), st.integers(0, 3), st.booleans()),
                min_size=1, max_size=10),
       st.sampled_from(["prefix", "default", "none"]))
def test_repeated_parts_of_types_are_each_types_own(picks, namespace):
    """Every type gets exactly its encoding, labels and calibrator, however many
    other types repeat them or nearly repeat them."""
    types, params = [], []
    for i, (enc, labels, terms, spaced) in enumerate(picks):
        gap = "\n  " if spaced else ""
        items = gap.join(f'<xtce:Enumeration value="{v}" label="{t}"/>' for v, t in _LISTS[labels])
        poly = gap.join(f'<xtce:Term coefficient="{c}" exponent="{e}"/>' for c, e in _TERMS[terms])
        types.append(f'<xtce:EnumeratedParameterType name="E{i}"><xtce:IntegerDataEncoding '
                     f'{_ENCODINGS[enc][0]}/><xtce:EnumerationList>{items}'
                     '</xtce:EnumerationList></xtce:EnumeratedParameterType>\n'
                     f'<xtce:FloatParameterType name="C{i}"><xtce:IntegerDataEncoding '
                     f'{_ENCODINGS[enc][0]}><xtce:DefaultCalibrator><xtce:PolynomialCalibrator>'
                     f'{poly}</xtce:PolynomialCalibrator></xtce:DefaultCalibrator>'
                     '</xtce:IntegerDataEncoding></xtce:FloatParameterType>')
        params.append(f'<xtce:Parameter name="PE{i}" parameterTypeRef="E{i}"/>'
                      f'<xtce:Parameter name="PC{i}" parameterTypeRef="C{i}"/>')
    text = (f'<xtce:SpaceSystem xmlns:xtce="{NS}" name="R"><xtce:TelemetryMetaData>'
            f'<xtce:ParameterTypeSet>{"".join(types)}</xtce:ParameterTypeSet>'
            f'<xtce:ParameterSet>{"".join(params)}</xtce:ParameterSet>'
            '</xtce:TelemetryMetaData></xtce:SpaceSystem>')
    if namespace != "prefix":
        text = _without_prefix(text, namespace == "default").decode()
    d = load_xtce(text.encode())
    for i, (enc, labels, terms, _) in enumerate(picks):
        for name in (f"PE{i}", f"PC{i}"):
            e = d.parameters[name].encoding
            assert (e.name, e.bits, e.byte_order) == _ENCODINGS[enc][1]
        labelled = tuple((v, v, t) for v, t in _LISTS[labels])
        assert d.parameters[f"PE{i}"].type.enumeration == labelled
        assert d.parameters[f"PC{i}"].encoding.calibrator.terms == tuple(_TERMS[terms])


def test_loading_is_safe_with_entities(tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("TOP-SECRET")
    text = FEATURES.read_text().replace(
        '<?xml version="1.0" encoding="UTF-8"?>',
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<!DOCTYPE xtce:SpaceSystem [<!ENTITY leak SYSTEM "file://{secret}">'
        '<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
        '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]>', 1).replace(
        "Packet data length, minus one.", "&leak;&c;")
    d = load_xtce(text.encode())
    assert "SECRET" not in d.parameters["PktLen"].description
    assert "aaaa" not in d.parameters["PktLen"].description


def _doc(types="", params="", containers="", ns=True):
    head = f'<SpaceSystem xmlns="{NS}" name="T">' if ns else '<SpaceSystem name="T">'
    return (f'{head}\n<TelemetryMetaData>\n<ParameterTypeSet>\n'
            '<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/>'
            '</IntegerParameterType>\n'
            '<IntegerParameterType name="U11"><IntegerDataEncoding sizeInBits="11"/>'
            '</IntegerParameterType>\n'
            f'{types}\n</ParameterTypeSet>\n<ParameterSet>\n'
            '<Parameter name="A" parameterTypeRef="U11"/>\n'
            '<Parameter name="B" parameterTypeRef="U8"/>\n'
            f'{params}\n</ParameterSet>\n<ContainerSet>\n'
            '<SequenceContainer name="Root" abstract="true"><EntryList>'
            '<ParameterRefEntry parameterRef="A"/><ParameterRefEntry parameterRef="B"/>'
            '</EntryList></SequenceContainer>\n'
            f'{containers}\n</ContainerSet>\n</TelemetryMetaData>\n</SpaceSystem>\n')


def _child(name, restriction="", entries='<ParameterRefEntry parameterRef="B"/>', base="Root"):
    criteria = f"<RestrictionCriteria>{restriction}</RestrictionCriteria>" if restriction else ""
    return (f'<SequenceContainer name="{name}"><EntryList>{entries}</EntryList>'
            f'<BaseContainer containerRef="{base}">{criteria}</BaseContainer>'
            '</SequenceContainer>')


def _cmp(param, value, op="=="):
    return f'<Comparison parameterRef="{param}" value="{value}" comparisonOperator="{op}"/>'


_DYN = ('<BinaryParameterType name="Blob"><BinaryDataEncoding><SizeInBits><DynamicValue>'
        '<ParameterInstanceRef parameterRef="{}"/>{}</DynamicValue></SizeInBits>'
        '</BinaryDataEncoding></BinaryParameterType>')

_ARRAY = ('<ArrayParameterType name="Arr" arrayTypeRef="{}"><DimensionList><Dimension>'
          '<StartingIndex><FixedValue>0</FixedValue></StartingIndex>'
          '<EndingIndex>{}</EndingIndex></Dimension></DimensionList></ArrayParameterType>')

BAD = [
    ("unknown type", dict(params='<Parameter name="P" parameterTypeRef="Nope"/>'),
     '<Parameter name="P"', "Parameter 'P'",
     "parameterTypeRef 'Nope' names no parameter type (looked up from /T)"),
    ("missing type", dict(params='<Parameter name="P"/>'), '<Parameter name="P"',
     "Parameter 'P'", "the parameterTypeRef attribute is missing"),
    ("unknown parameter", dict(containers=_child("C", entries='<ParameterRefEntry parameterRef="Z"/>')),
     "<ParameterRefEntry parameterRef=\"Z\"", "ParameterRefEntry",
     "parameterRef 'Z' names no parameter (looked up from /T)"),
    ("absolute path", dict(params='<Parameter name="P" parameterTypeRef="/Other/U8"/>'),
     '<Parameter name="P"', "Parameter 'P'",
     "parameterTypeRef '/Other/U8' names no parameter type (looked up from /T)"),
    ("size before it exists",
     dict(types=_DYN.format("P", ""), params='<Parameter name="W" parameterTypeRef="Blob"/>'
          '<Parameter name="P" parameterTypeRef="U8"/>',
          containers=_child("C", entries='<ParameterRefEntry parameterRef="W"/>'
                                         '<ParameterRefEntry parameterRef="P"/>')),
     "<DynamicValue>", "DynamicValue",
     "the size of 'W' uses parameter 'P' before it exists in the container"),
    ("size slope too large",
     dict(types=_DYN.format("B", '<LinearAdjustment slope="1e30"/>'),
          params='<Parameter name="W" parameterTypeRef="Blob"/>'),
     "<LinearAdjustment", "LinearAdjustment",
     "a size's slope and intercept must lie within ±4294967295, not 1e+30 and 0"),
    ("size through a steep calibrator",
     dict(types=_DYN.format("V", "") + '<IntegerParameterType name="Steep"><IntegerDataEncoding '
                'sizeInBits="8"><DefaultCalibrator><PolynomialCalibrator><Term coefficient="1e20" '
                'exponent="1"/></PolynomialCalibrator></DefaultCalibrator></IntegerDataEncoding>'
                '</IntegerParameterType>',
          params='<Parameter name="V" parameterTypeRef="Steep"/>'
                 '<Parameter name="W" parameterTypeRef="Blob"/>',
          containers=_child("C", entries='<ParameterRefEntry parameterRef="V"/>'
                                         '<ParameterRefEntry parameterRef="W"/>')),
     "<DynamicValue>", "DynamicValue",
     "the size of 'W' through the calibrator of 'V' has a slope or intercept beyond 64 bits"),
    ("restriction before it exists",
     dict(params='<Parameter name="P" parameterTypeRef="U8"/>',
          containers=_child("C", _cmp("P", 1), '<ParameterRefEntry parameterRef="P"/>')),
     '<SequenceContainer name="C"', "SequenceContainer 'C'",
     "the restriction uses parameter 'P', which base container 'Root' does not hold"),
    ("condition before it exists",
     dict(params='<Parameter name="P" parameterTypeRef="U8"/>',
          containers=_child("C", entries='<ParameterRefEntry parameterRef="B"><IncludeCondition>'
                            + _cmp("P", 1) + '</IncludeCondition></ParameterRefEntry>'
                            '<ParameterRefEntry parameterRef="P"/>')),
     '<ParameterRefEntry parameterRef="B"><Incl', "ParameterRefEntry 'B'",
     "the IncludeCondition uses parameter 'P' before it exists in the container"),
    ("circular inheritance",
     dict(containers=_child("X", base="Y") + "\n" + _child("Y", base="X")),
     '<SequenceContainer name="X"', "SequenceContainer 'X'",
     "circular inheritance: X -> Y -> X"),
    ("circular baseType",
     dict(types='<IntegerParameterType name="T1" baseType="T2"/>\n'
                '<IntegerParameterType name="T2" baseType="T1"/>',
          params='<Parameter name="P" parameterTypeRef="T1"/>'),
     '<IntegerParameterType name="T1"', "IntegerParameterType 'T1'",
     "circular baseType: /T/T1 -> /T/T2 -> /T/T1"),
    ("integer encoding",
     dict(types='<IntegerParameterType name="Z"><IntegerDataEncoding encoding="zigzag"/>'
                '</IntegerParameterType>', params='<Parameter name="P" parameterTypeRef="Z"/>'),
     '<IntegerDataEncoding encoding="zigzag"', "IntegerDataEncoding",
     "unsupported integer encoding 'zigzag'"),
    ("float size",
     dict(types='<FloatParameterType name="F"><FloatDataEncoding encoding="IEEE754" '
                'sizeInBits="24"/></FloatParameterType>',
          params='<Parameter name="P" parameterTypeRef="F"/>'),
     '<FloatDataEncoding encoding="IEEE754"', "FloatDataEncoding",
     "unsupported float encoding 'IEEE754' of 24 bits"),
    ("string encoding",
     dict(types='<StringParameterType name="S"><StringDataEncoding encoding="EBCDIC">'
                '<SizeInBits><Fixed><FixedValue>8</FixedValue></Fixed></SizeInBits>'
                '</StringDataEncoding></StringParameterType>',
          params='<Parameter name="P" parameterTypeRef="S"/>'),
     '<StringDataEncoding encoding="EBCDIC"', "StringDataEncoding",
     "unsupported string encoding 'EBCDIC'"),
    ("terminator only",
     dict(types='<StringParameterType name="S"><StringDataEncoding><SizeInBits>'
                '<TerminationChar>00</TerminationChar></SizeInBits></StringDataEncoding>'
                '</StringParameterType>', params='<Parameter name="P" parameterTypeRef="S"/>'),
     "<StringDataEncoding><SizeInBits><Term", "StringDataEncoding",
     "a string that ends only at its TerminationChar is not supported (give a FixedValue or "
     "DynamicValue size)"),
    ("little-endian bits",
     dict(types='<IntegerParameterType name="L"><IntegerDataEncoding sizeInBits="12" '
                'byteOrder="leastSignificantByteFirst"/></IntegerParameterType>',
          params='<Parameter name="P" parameterTypeRef="L"/>'),
     '<IntegerDataEncoding sizeInBits="12"', "IntegerDataEncoding",
     "a little-endian field needs a whole number of bytes, not 12 bits"),
    ("byte order",
     dict(types='<IntegerParameterType name="L"><IntegerDataEncoding sizeInBits="32" '
                'byteOrder="1,0,3,2"/></IntegerParameterType>',
          params='<Parameter name="P" parameterTypeRef="L"/>'),
     '<IntegerDataEncoding sizeInBits="32"', "IntegerDataEncoding",
     "byte order 1,0,3,2 is not supported (only most or least significant byte first)"),
    ("repeat", dict(containers=_child("C", entries='<ParameterRefEntry parameterRef="B">'
                                     '<RepeatEntry><Count><FixedValue>2</FixedValue></Count>'
                                     '</RepeatEntry></ParameterRefEntry>')),
     "<RepeatEntry>", "RepeatEntry", "RepeatEntry is not supported"),
    ("container end", dict(containers=_child("C", entries='<ParameterRefEntry parameterRef="B">'
                                            '<LocationInContainerInBits referenceLocation='
                                            '"containerEnd"><FixedValue>0</FixedValue>'
                                            '</LocationInContainerInBits></ParameterRefEntry>')),
     "<LocationInContainerInBits", "LocationInContainerInBits",
     "referenceLocation 'containerEnd' is not supported (containerStart and previousEntry are)"),
    ("array size from a parameter",
     dict(types=_ARRAY.format("U8", "<DynamicValue><ParameterInstanceRef parameterRef=\"B\"/>"
                                    "</DynamicValue>"),
          params='<Parameter name="P" parameterTypeRef="Arr"/>',
          containers=_child("C", entries='<ParameterRefEntry parameterRef="P"/>')),
     '<ParameterRefEntry parameterRef="P"', "ParameterRefEntry 'P'",
     "parameter 'P': an array whose size comes from another parameter is not supported"),
    ("array of itself", dict(types=_ARRAY.format("Arr", "<FixedValue>1</FixedValue>"),
                             params='<Parameter name="P" parameterTypeRef="Arr"/>'),
     "<ArrayParameterType", "ArrayParameterType 'Arr'", "circular arrayTypeRef: /T/Arr -> /T/Arr"),
    ("array bounds", dict(types=_ARRAY.format("U8", "<FixedValue>2</FixedValue>").replace(
                              "<FixedValue>0", "<FixedValue>5"),
                          params='<Parameter name="P" parameterTypeRef="Arr"/>'),
     "<Dimension>", "Dimension", "EndingIndex 2 is below StartingIndex 5"),
    ("array too large", dict(types=_ARRAY.format("U8", "<FixedValue>65536</FixedValue>"),
                             params='<Parameter name="P" parameterTypeRef="Arr"/>'),
     "<ArrayParameterType", "ArrayParameterType 'Arr'",
     "an array of 65537 fields is more than the 65536 a container can hold"),
    ("aggregate too large",
     dict(types=_ARRAY.format("U8", "<FixedValue>40000</FixedValue>")
          + '<AggregateParameterType name="Agg"><MemberList><Member name="a" typeRef="Arr"/>'
          '<Member name="b" typeRef="Arr"/></MemberList></AggregateParameterType>',
          params='<Parameter name="P" parameterTypeRef="Agg"/>'),
     "<AggregateParameterType", "AggregateParameterType 'Agg'",
     "an aggregate of more than 65536 fields is more than a container can hold"),
    ("size too large",
     dict(types='<BinaryParameterType name="Big"><BinaryDataEncoding><SizeInBits><FixedValue>'
                '4294967296</FixedValue></SizeInBits></BinaryDataEncoding></BinaryParameterType>',
          params='<Parameter name="P" parameterTypeRef="Big"/>'),
     "<FixedValue>4294967296", "FixedValue", "size 4294967296 is more than 4294967295"),
    ("location too far", dict(containers=_child("C", entries='<ParameterRefEntry parameterRef="B">'
                                               '<LocationInContainerInBits><FixedValue>-9999999999'
                                               '</FixedValue></LocationInContainerInBits>'
                                               '</ParameterRefEntry>')),
     "<FixedValue>-9999999999", "FixedValue",
     "location -9999999999 is more than 4294967295 bits away"),
    ("array index", dict(types=_ARRAY.format("U8", "<FixedValue>-1</FixedValue>"),
                         params='<Parameter name="P" parameterTypeRef="Arr"/>'),
     "<FixedValue>-1", "FixedValue", "index -1 is negative"),
    ("array without dimensions",
     dict(types='<ArrayParameterType name="Arr" arrayTypeRef="U8"><DimensionList/>'
                '</ArrayParameterType>', params='<Parameter name="P" parameterTypeRef="Arr"/>'),
     "<DimensionList", "DimensionList", "the DimensionList has no Dimension"),
    ("part of an array",
     dict(types=_ARRAY.format("U8", "<FixedValue>3</FixedValue>"),
          params='<Parameter name="P" parameterTypeRef="Arr"/>',
          containers=_child("C", entries='<ArrayParameterRefEntry parameterRef="P">'
                                         '<DimensionList/></ArrayParameterRefEntry>')),
     "<DimensionList/></Array", "DimensionList",
     "an ArrayParameterRefEntry with a DimensionList is not supported (arrays are laid out as "
     "their type's DimensionList gives them)"),
    ("array index missing",
     dict(types=_ARRAY.format("U8", "<FixedValue>1</FixedValue>").replace(
         "<EndingIndex><FixedValue>1</FixedValue></EndingIndex>", ""),
          params='<Parameter name="P" parameterTypeRef="Arr"/>'),
     "<Dimension>", "Dimension", "the EndingIndex element is missing"),
    ("aggregate without members",
     dict(types='<AggregateParameterType name="Agg"/>',
          params='<Parameter name="P" parameterTypeRef="Agg"/>'),
     "<AggregateParameterType", "AggregateParameterType 'Agg'",
     "the MemberList element is missing"),
    ("aggregate of no member",
     dict(types='<AggregateParameterType name="Agg"><MemberList/></AggregateParameterType>',
          params='<Parameter name="P" parameterTypeRef="Agg"/>'),
     "<MemberList", "MemberList", "the MemberList has no Member"),
    ("member without a name",
     dict(types='<AggregateParameterType name="Agg"><MemberList><Member typeRef="U8"/>'
                '</MemberList></AggregateParameterType>',
          params='<Parameter name="P" parameterTypeRef="Agg"/>'),
     "<Member ", "Member", "the name attribute is missing"),
    ("aggregate member type",
     dict(types='<AggregateParameterType name="Agg"><MemberList><Member name="m" typeRef="X"/>'
                '</MemberList></AggregateParameterType>',
          params='<Parameter name="P" parameterTypeRef="Agg"/>'),
     '<Member name="m"', "Member 'm'", "typeRef 'X' names no parameter type (looked up from /T)"),
    ("leading size bits",
     dict(types='<StringParameterType name="S"><StringDataEncoding><SizeInBits><Fixed>'
                '<FixedValue>64</FixedValue></Fixed><LeadingSize sizeInBitsOfSizeTag="4"/>'
                '</SizeInBits></StringDataEncoding></StringParameterType>',
          params='<Parameter name="P" parameterTypeRef="S"/>',
          containers=_child("C", entries='<ParameterRefEntry parameterRef="P"/>')),
     '<ParameterRefEntry parameterRef="P"', "ParameterRefEntry 'P'",
     "parameter 'P': a string with a leading size inside a fixed size needs whole bytes for both"),
    ("out of range", dict(containers=_child("C", _cmp("A", 5000))),
     '<Comparison parameterRef="A" value="5000"', "Comparison 'A == 5000'",
     "the restriction of 'C' can never match: A holds 0 to 2047 (unsigned, 11 bits) and no "
     "value satisfies A == 5000"),
    ("contradiction", dict(containers=_child("C", "<ComparisonList>" + _cmp("A", 5)
                                             + _cmp("A", 6) + "</ComparisonList>")),
     '<Comparison parameterRef="A" value="6"', "Comparison 'A == 6'",
     "the restriction of 'C' can never match: A holds 0 to 2047 (unsigned, 11 bits) and no "
     "value satisfies A == 5 and A == 6"),
    ("chain contradiction",
     dict(containers=_child("C", _cmp("A", 5)) + "\n"
          + _child("D", _cmp("A", 4, "&lt;"), base="C")),
     '<Comparison parameterRef="A" value="4"', "Comparison 'A < 4'",
     "the restriction of 'D' can never match: A holds 0 to 2047 (unsigned, 11 bits) and no "
     "value satisfies A == 5 and A < 4"),
    ("label", dict(types='<EnumeratedParameterType name="E"><IntegerDataEncoding sizeInBits="8"/>'
                         '<EnumerationList><Enumeration value="0" label="OFF"/>'
                         '</EnumerationList></EnumeratedParameterType>',
                   params='<Parameter name="M" parameterTypeRef="E"/>',
                   containers=_child("C", entries='<ParameterRefEntry parameterRef="M"/>')
                   + _child("D", _cmp("M", "ON"), base="C")),
     '<Comparison parameterRef="M" value="ON"', "Comparison",
     "'ON' is not a label of M's enumeration"),
    ("not a number", dict(containers=_child("C", _cmp("A", "five"))),
     '<Comparison parameterRef="A" value="five"', "Comparison", "'five' is not a number"),
]


@pytest.mark.parametrize("parts, marker, element, problem",
                         [case[1:] for case in BAD], ids=[case[0] for case in BAD])
def test_bad_definitions_name_the_element_and_line(parts, marker, element, problem):
    text = _doc(**parts)
    line = text[:text.index(marker)].count("\n") + 1
    with pytest.raises(DefinitionError) as info:
        load_xtce(text.encode())
    assert str(info.value) == f"<bytes>, line {line}, {element}: {problem}"
    assert (info.value.line, info.value.element) == (line, element)


@pytest.mark.parametrize("kind", ["baseType", "typeRef", "ContainerRefEntry"])
def test_chains_deeper_than_the_limit_are_refused(kind):
    # Not a RecursionError from deep inside: the element where the chain is too deep.
    n = 150
    if kind == "baseType":
        types = ['<IntegerParameterType name="T0"><IntegerDataEncoding sizeInBits="8"/>'
                 '</IntegerParameterType>'] + [
            f'<IntegerParameterType name="T{i}" baseType="T{i - 1}"/>' for i in range(1, n)]
    elif kind == "typeRef":
        types = ['<IntegerParameterType name="T0"><IntegerDataEncoding sizeInBits="8"/>'
                 '</IntegerParameterType>'] + [
            f'<AggregateParameterType name="T{i}"><MemberList><Member name="m" '
            f'typeRef="T{i - 1}"/></MemberList></AggregateParameterType>' for i in range(1, n)]
    params = f'<Parameter name="P" parameterTypeRef="T{n - 1}"/>' if kind != "ContainerRefEntry" else ""
    containers = "".join(
        f'<SequenceContainer name="C{i}"><EntryList>'
        + (f'<ContainerRefEntry containerRef="C{i - 1}"/>' if i else "")
        + "</EntryList></SequenceContainer>\n" for i in range(n)) if kind == "ContainerRefEntry" else ""
    text = _doc(types="\n".join(types) if kind != "ContainerRefEntry" else "", params=params,
                containers=containers)
    with pytest.raises(DefinitionError) as info:
        load_xtce(text.encode())
    if kind == "ContainerRefEntry":
        assert info.value.element == "SequenceContainer 'C100'"
        assert info.value.problem == "containers are included more than 100 levels deep"
    else:
        assert info.value.element == f"{'Member' if kind == 'typeRef' else 'IntegerParameterType'} " \
            f"'{'m' if kind == 'typeRef' else f'T{n - 101}'}'"
        assert info.value.problem == "types are derived or nested more than 100 levels deep"


def test_documents_that_are_not_definitions(tmp_path):
    cases = [
        (b"<SpaceSystem name='T'><Tele", "<bytes>, line 1, document: not well-formed XML: "),
        (b"<Other/>", "<bytes>, line 1, Other: the root element must be a SpaceSystem"),
    ]
    for data, start in cases:
        with pytest.raises(DefinitionError) as info:
            load_xtce(data)
        assert str(info.value).startswith(start)
    missing = tmp_path / "none.xml"
    with pytest.raises(DefinitionError, match=re.escape(f"{missing}, document: cannot be read")):
        load_xtce(missing)
    assert isinstance(DefinitionError("s", 1, "e", "p"), ValueError)
    with pytest.raises(TypeError) as info:
        load_xtce(FEATURES.read_text())
    assert str(info.value) == ("load_xtce takes a path, a binary file or bytes; pass XML text as "
                               "bytes (text.encode())")
    with pytest.raises(TypeError) as info:
        load_xtce(None)
    assert str(info.value) == "load_xtce takes a path, a binary file or bytes, not NoneType"


def test_names_shared_by_two_space_systems_are_qualified():
    sub = ('<SpaceSystem name="{0}"><TelemetryMetaData><ParameterSet>'
           '<Parameter name="T" parameterTypeRef="../U8"/></ParameterSet>'
           '</TelemetryMetaData></SpaceSystem>')
    text = _doc(containers=_child("C", entries='<ParameterRefEntry parameterRef="A/T"/>'
                                               '<ParameterRefEntry parameterRef="/T/B/T"/>'
                                               '<ParameterRefEntry parameterRef="B"/>'))
    text = text.replace("</SpaceSystem>", sub.format("A") + sub.format("B") + "</SpaceSystem>")
    d = load_xtce(text.encode())
    assert {"/T/A/T", "/T/B/T", "A", "B"} <= set(d.parameters)
    assert [s.column for s in d.layout("C").slots] == ["A", "B", "/T/A/T", "/T/B/T", "B#2"]
