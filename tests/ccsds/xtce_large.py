"""Generates a large definition (by default 10,000 parameters in 40 containers).

Used by the tests and by bench/bench_xtce.py. Every parameter has a type of
its own, as in many mission files: a CCSDS header in an abstract root
container, then concrete containers chosen by APID. The parameter kinds cycle
through unsigned and signed integers of odd widths, floats, enumerations and
calibrated values; with dynamic=True every container also carries a block of
samples whose size comes from the packet length field, so all fields after it
move from packet to packet.
"""

from __future__ import annotations

HEADER = [("Version", 3), ("Type", 1), ("SecHdrFlag", 1), ("APID", 11), ("SeqFlags", 2),
          ("SeqCount", 14), ("PktLen", 16)]

FIRST_APID = 100
# The sample block: PktLen counts the bytes after the 6-byte header, minus one.
SAMPLE_SLOPE, SAMPLE_INTERCEPT = 8, 8


# Every value of the 4-bit enumerations has a label.
ENUMERATION = "".join(f'<xtce:Enumeration value="{v}" label="{label}"/>' for v, label in
                      enumerate(["OFF", "ON"] + [f"MODE_{v}" for v in range(2, 16)]))


def _kind(i: int) -> str:
    return ("u", "s", "f", "e", "c", "u", "s", "u")[i % 8]


def _width(i: int) -> int:
    return (8, 12, 16, 3, 32, 5, 24, 1)[i % 8]


def container_fields(index: int, per_container: int) -> list[tuple[str, str, int]]:
    """(name, kind, bits) of the container's own fields, in order."""
    out = []
    for j in range(per_container):
        i = index * per_container + j
        kind = _kind(i)
        bits = 32 if kind == "f" else (4 if kind == "e" else _width(i))
        if kind == "s" and bits < 2:
            bits = 8
        out.append((f"P{index:02d}_{j:04d}", kind, bits))
    return out


def generate(parameters: int = 10_000, containers: int = 40, *, dynamic: bool = False) -> bytes:
    per = (parameters - len(HEADER)) // containers
    types = []
    params = []
    conts = []
    for name, bits in HEADER:
        types.append(f'<xtce:IntegerParameterType name="{name}_t" signed="false">'
                     f'<xtce:IntegerDataEncoding sizeInBits="{bits}" encoding="unsigned"/>'
                     '</xtce:IntegerParameterType>')
        params.append(f'<xtce:Parameter name="{name}" parameterTypeRef="{name}_t"/>')
    header_entries = "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n, _ in HEADER)
    conts.append('<xtce:SequenceContainer name="CCSDSPacket" abstract="true">'
                 f'<xtce:EntryList>{header_entries}</xtce:EntryList></xtce:SequenceContainer>')
    for c in range(containers):
        fields = container_fields(c, per)
        entries = []
        for name, kind, bits in fields:
            tname = f"{name}_t"
            enc = ("unsigned" if kind in "uec" else "twosComplement")
            if kind == "f":
                types.append(f'<xtce:FloatParameterType name="{tname}" sizeInBits="32">'
                             '<xtce:UnitSet><xtce:Unit>m/s</xtce:Unit></xtce:UnitSet>'
                             '<xtce:FloatDataEncoding encoding="IEEE754" sizeInBits="32"/>'
                             '</xtce:FloatParameterType>')
            elif kind == "e":
                types.append(f'<xtce:EnumeratedParameterType name="{tname}">'
                             f'<xtce:IntegerDataEncoding sizeInBits="{bits}"/>'
                             '<xtce:EnumerationList>' + ENUMERATION
                             + '</xtce:EnumerationList></xtce:EnumeratedParameterType>')
            elif kind == "c":
                types.append(f'<xtce:FloatParameterType name="{tname}">'
                             '<xtce:UnitSet><xtce:Unit>V</xtce:Unit></xtce:UnitSet>'
                             f'<xtce:IntegerDataEncoding sizeInBits="{bits}" encoding="unsigned">'
                             '<xtce:DefaultCalibrator><xtce:PolynomialCalibrator>'
                             '<xtce:Term coefficient="-1.5" exponent="0"/>'
                             '<xtce:Term coefficient="0.25" exponent="1"/>'
                             '</xtce:PolynomialCalibrator></xtce:DefaultCalibrator>'
                             '</xtce:IntegerDataEncoding></xtce:FloatParameterType>')
            else:
                types.append(f'<xtce:IntegerParameterType name="{tname}" '
                             f'signed="{"true" if kind == "s" else "false"}">'
                             f'<xtce:IntegerDataEncoding sizeInBits="{bits}" encoding="{enc}"/>'
                             '</xtce:IntegerParameterType>')
            params.append(f'<xtce:Parameter name="{name}" parameterTypeRef="{tname}" '
                          f'shortDescription="Parameter {name}"/>')
            entries.append(f'<xtce:ParameterRefEntry parameterRef="{name}"/>')
        if dynamic:
            # The samples fill what the fixed fields leave of the packet.
            fixed_bits = sum(b for _, _, b in fields)
            pad = (-fixed_bits) % 8
            if pad:
                entries.append(f'<xtce:ParameterRefEntry parameterRef="Pad{c:02d}"/>')
                types.append(f'<xtce:IntegerParameterType name="Pad{c:02d}_t">'
                             f'<xtce:IntegerDataEncoding sizeInBits="{pad}"/>'
                             '</xtce:IntegerParameterType>')
                params.append(f'<xtce:Parameter name="Pad{c:02d}" parameterTypeRef="Pad{c:02d}_t"/>')
            tail = fixed_bits + pad
            # Samples sit in the middle: half the fields before, half after.
            half = len(entries) // 2
            types.append('<xtce:BinaryParameterType name="Samples{0:02d}_t"><xtce:BinaryDataEncoding>'
                         '<xtce:SizeInBits><xtce:DynamicValue>'
                         '<xtce:ParameterInstanceRef parameterRef="PktLen" '
                         'useCalibratedValue="false"/>'
                         f'<xtce:LinearAdjustment slope="{SAMPLE_SLOPE}" '
                         f'intercept="{SAMPLE_INTERCEPT - tail}"/>'
                         '</xtce:DynamicValue></xtce:SizeInBits></xtce:BinaryDataEncoding>'
                         '</xtce:BinaryParameterType>'.format(c))
            params.append(f'<xtce:Parameter name="Samples{c:02d}" '
                          f'parameterTypeRef="Samples{c:02d}_t"/>')
            entries.insert(half, f'<xtce:ParameterRefEntry parameterRef="Samples{c:02d}"/>')
        conts.append(f'<xtce:SequenceContainer name="Packet{c:02d}"><xtce:EntryList>'
                     + "".join(entries) + '</xtce:EntryList>'
                     '<xtce:BaseContainer containerRef="CCSDSPacket"><xtce:RestrictionCriteria>'
                     f'<xtce:Comparison parameterRef="APID" value="{FIRST_APID + c}"/>'
                     '</xtce:RestrictionCriteria></xtce:BaseContainer></xtce:SequenceContainer>')
    text = ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<xtce:SpaceSystem xmlns:xtce="http://www.omg.org/space/xtce" name="Large">\n'
            '<xtce:TelemetryMetaData>\n<xtce:ParameterTypeSet>\n' + "\n".join(types)
            + '\n</xtce:ParameterTypeSet>\n<xtce:ParameterSet>\n' + "\n".join(params)
            + '\n</xtce:ParameterSet>\n<xtce:ContainerSet>\n' + "\n".join(conts)
            + '\n</xtce:ContainerSet>\n</xtce:TelemetryMetaData>\n</xtce:SpaceSystem>\n')
    return text.encode()
