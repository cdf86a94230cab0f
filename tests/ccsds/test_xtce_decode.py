"""Decoding streams with definitions: round trips through packets laid by kestrune.pack_parameters."""

import importlib.util
import pathlib
import random

import pytest

pytest.importorskip("lxml")
np = pytest.importorskip("numpy")
import kestrune  # noqa: E402
from hypothesis import given, settings, strategies as st  # noqa: E402

from kestrune_ccsds import decode, read_packets  # noqa: E402
from kestrune_ccsds.xtce import load_xtce  # noqa: E402
from .xtce_large import FIRST_APID, generate  # noqa: E402
from .xtce_packets import pack  # noqa: E402

FEATURES = load_xtce(pathlib.Path(__file__).parent / "xtce" / "features.xml")
HEADER = {"Version": 0, "Type": 0, "SecHdrFlag": 0, "SeqFlags": 3, "SeqCount": 7}


def packet(defn, container, values):
    """A packet of the container, its length field set from its size."""
    layout = defn.layout(container)
    values = {**HEADER, "PktLen": 0, **values}
    values["PktLen"] = len(pack(layout, values)) - 7
    return pack(layout, values), values


# -- direct evaluation of the calibrators of features.xml, one value at a time --

def volts(x):
    return 0.5 + 0.01 * x + 2e-6 * x * x


def temperature(x, mode):
    """Linear through (-1000,-50) (0,0) (1000,20) (3000,120), extrapolated; 0.002 x in SAFE mode."""
    if mode == 1:
        return 0.002 * x
    if x < 0:
        return x * 0.05
    if x < 1000:
        return x * 0.02
    return 20 + (x - 1000) * 0.05


def step(x):  # flat from each point: 0 -> 1.5, 100 -> 2.5, 255 -> 3.5
    return 1.5 if x < 100 else (2.5 if x < 255 else 3.5)


def lagrange(points, x):
    total = 0.0
    for i, (xi, yi) in enumerate(points):
        term = yi
        for j, (xj, _) in enumerate(points):
            if i != j:
                term *= (x - xj) / (xi - xj)
        total += term
    return total


def pressure(x):  # quadratic on the first two intervals, linear on the last
    pts = [(10, 100), (50, 300), (100, 400), (200, 1000)]
    if x < 50:
        return lagrange(pts[0:3], x)
    if x < 100:
        return lagrange(pts[1:4], x)
    return lagrange(pts[2:4], x)


POWER = st.fixed_dictionaries({
    "Stamp": st.integers(0, 2**32 - 1), "Window": st.integers(-2**15, 2**15 - 1),
    "BatVolt": st.integers(0, 4095), "Mode": st.integers(0, 5),
    "BatTemp": st.integers(-2**15, 2**15 - 1), "Heater": st.integers(0, 1),
    "Step": st.integers(0, 255), "Current": st.floats(width=32, allow_nan=False),
    "Energy": st.floats(allow_nan=False), "Half": st.floats(width=16, allow_nan=False),
    "Label": st.text(st.characters(min_codepoint=1, max_codepoint=127), max_size=8),
    "Count": st.integers(0, 9999), "Delta": st.integers(-127, 127),
    "Offset": st.integers(-127, 127), "Pressure": st.integers(10, 200),
})
WAVE = st.fixed_dictionaries({"SampleCount": st.integers(0, 65535),
                              "Waveform": st.binary(max_size=40), "Trailer": st.integers(0, 255)})
NAME = st.fixed_dictionaries({"SciID": st.sampled_from([2, 3]), "Name": st.text(max_size=60),
                              **{f"Gains[{i}][{j}]": st.integers(0, 4095)
                                 for i in range(2) for j in range(3)},
                              "Status.mode": st.integers(0, 5), "Status.pair[0]": st.integers(0, 255),
                              "Status.pair[1]": st.integers(0, 255),
                              "Extra": st.integers(0, 65535),
                              "Spare": st.integers(0, 4095).map(lambda v: v.to_bytes(2, "big")),
                              "Trailer": st.integers(0, 255)})
PACKETS = st.lists(st.one_of(
    st.tuples(st.just("PowerHK"), POWER), st.tuples(st.just("ScienceWave"), WAVE),
    st.tuples(st.just("ScienceName"), NAME), st.tuples(st.just("stray"), st.integers(0, 2))),
    min_size=1, max_size=12)


def build(specs):
    """The stream bytes and, per container, the (packet index, values) laid."""
    data = []
    expected = {None: []}
    for i, (container, values) in enumerate(specs):
        if container == "stray":
            # No container takes these: an APID the definition lacks, a
            # science packet whose SciID no concrete container accepts, and a
            # packet too short for the SciID a restriction tests.
            apid, sci = [(300, 1), (200, 9), (200, None)][values]
            base = dict(APID=apid, SciID=sci) if sci is not None else dict(APID=apid)
            layout = FEATURES.layout("ScienceBase" if sci is not None else "CCSDSPacket")
            v = {**HEADER, "PktLen": 0, **base}
            raw = pack(layout, v)
            if sci is None:
                raw += b"\0"  # a data field of one byte is the shortest a packet has
                raw = raw[:4] + (len(raw) - 7).to_bytes(2, "big") + raw[6:]
            else:
                v["PktLen"] = len(raw) - 7
                raw = pack(layout, v)
            data.append(raw)
            expected[None].append((i, None))
            continue
        values = dict(values)
        if container == "PowerHK":
            values["APID"] = 100
        else:
            values["APID"] = 200
            values.setdefault("SciID", 1)
            if values["SciID"] == 2:
                values.pop("Extra")
        raw, values = packet(FEATURES, container, values)
        data.append(raw)
        expected.setdefault(container, []).append((i, values))
    return b"".join(data), expected


@settings(max_examples=40, deadline=None)
@given(PACKETS)
def test_round_trip_raw_and_engineering(specs):
    data, expected = build(specs)
    stream = read_packets(data)
    raw = decode(stream, FEATURES, values="raw")
    eng = decode(stream, FEATURES)
    stray = [i for i, _ in expected.pop(None)]
    assert {k: v.tolist() for k, v in FEATURES.classify(stream).items()} == \
        {None: stray, **{k: [i for i, _ in rows] for k, rows in expected.items()}}
    assert set(raw) == set(eng) == set(expected)
    for container, rows in expected.items():
        r, e = raw[container], eng[container]
        assert r.packet_index.tolist() == e.packet_index.tolist() == [i for i, _ in rows]
        for k, (_, values) in enumerate(rows):
            for column in r.columns:
                got = r.columns[column][k]
                masked = column in r.mask and r.mask[column][k]
                if column not in values:
                    assert masked, column  # an entry whose IncludeCondition is false
                    continue
                assert not masked
                assert got == values[column] or (got != got and values[column] != values[column]), \
                    (container, column, got, values[column])
            ev = {c: e.columns[c][k] for c in e.columns}
            if container == "ScienceName":
                # Arrays and aggregates: a column per element, each with its type's conversion.
                for i in range(2):
                    for j in range(3):
                        column = f"Gains[{i}][{j}]"
                        assert ev[column] == pytest.approx(volts(values[column]), rel=1e-12)
                        assert e.units[column] == "V"
                assert ev["Status.mode"] == ["OFF", "SAFE", "NOMINAL", "NOMINAL", "NOMINAL",
                                             "NOMINAL"][values["Status.mode"]]
                assert ev["Status.pair[1]"] == values["Status.pair[1]"]
            if container != "PowerHK":
                continue
            assert ev["BatVolt"] == pytest.approx(volts(values["BatVolt"]), rel=1e-12)
            assert ev["BatTemp"] == pytest.approx(temperature(values["BatTemp"], values["Mode"]),
                                                  rel=1e-12)
            assert ev["Step"] == step(values["Step"])
            assert ev["Pressure"] == pytest.approx(pressure(values["Pressure"]), rel=1e-9)
            assert ev["Mode"] == ["OFF", "SAFE", "NOMINAL", "NOMINAL", "NOMINAL",
                                  "NOMINAL"][values["Mode"]]
            assert ev["Heater"] == bool(values["Heater"])
            seconds = values["Stamp"] * 0.001 + 10
            assert abs(int((ev["Stamp"] - np.datetime64("2000-01-01T00:00:00", "ns"))
                           .astype(np.int64)) - seconds * 1e9) < 1
            assert ev["Window"] == np.timedelta64(values["Window"] * 500, "ms")
            assert ev["Label"] == values["Label"] and ev["Count"] == values["Count"]
    if "PowerHK" in eng:
        t = eng["PowerHK"]
        assert t.units["BatVolt"] == "V" and t.units["Pressure"] == "hPa"
        assert t.descriptions["BatVolt"] == "Battery voltage"
        assert t.descriptions["APID"] == "Application process identifier"
        assert "BatVolt" not in raw["PowerHK"].units


@pytest.mark.parametrize("dynamic", [False, True], ids=["fixed", "dynamic"])
def test_generated_definition_against_unpack_parameters(dynamic):
    """Every packet of the generated definitions decodes as kestrune.unpack_parameters reads it."""
    defn = load_xtce(generate(parameters=207, containers=4, dynamic=dynamic))
    rng = random.Random(5)
    packets, containers = [], []
    for i in range(60):
        c = rng.randrange(4)
        layout = defn.layout(f"Packet{c:02d}")
        values = {"APID": FIRST_APID + c}
        for s in layout.slots:
            enc = s.parameter.encoding
            if s.column in values or s.column in HEADER or s.column == "PktLen":
                continue
            if enc.kind == "binary":
                values[s.column] = rng.randbytes(rng.randrange(0, 9))
            elif enc.kind == "float":
                values[s.column] = float(np.float32(rng.uniform(-1e6, 1e6)))
            elif enc.name == "unsigned":
                values[s.column] = rng.randrange(0, 1 << s.bits)
            else:
                values[s.column] = rng.randrange(-(1 << (s.bits - 1)), 1 << (s.bits - 1))
        raw, values = packet(defn, f"Packet{c:02d}", values)
        packets.append((raw, values))
        containers.append(c)
    tables = decode(read_packets(b"".join(p for p, _ in packets)), defn, values="raw")
    for c in range(4):
        table = tables[f"Packet{c:02d}"]
        rows = [i for i, k in enumerate(containers) if k == c]
        assert table.packet_index.tolist() == rows
        for k, i in enumerate(rows):
            got = {name: column[k] for name, column in table.columns.items()}
            if dynamic:
                assert got == packets[i][1]
            else:
                assert got == kestrune.unpack_parameters(packets[i][0], 0,
                                                         defn.recipe(f"Packet{c:02d}"))


def _power(**changes):
    values = dict(Stamp=0, Window=0, BatVolt=0, Mode=0, BatTemp=0, Heater=0, Step=0, Current=0.0,
                  Energy=0.0, Half=0.0, Label="", Count=0, Delta=0, Offset=0, Pressure=10,
                  APID=100)
    return packet(FEATURES, "PowerHK", {**values, **changes})[0]


@pytest.mark.parametrize("changes, column, message", [
    ({"Mode": 7}, "Mode", "value 7 has no label"),
    ({"Pressure": 5}, "Pressure", "raw value 5 is outside the spline's points (10 to 200)"),
    ({"Label": b"\xe9"}, "Label", "Invalid US-ASCII byte: 0xE9 (must be <= 0x7F)"),
])
def test_values_without_an_engineering_form(changes, column, message):
    good = _power()
    stream = read_packets(good + _power(**changes) + good)
    with pytest.raises(ValueError) as info:
        decode(stream, FEATURES)
    assert str(info.value) == f"PowerHK: packet 1: {column}: {message}"
    table = decode(stream, FEATURES, errors="mask")["PowerHK"]
    assert table.mask[column].tolist() == [False, True, False]
    assert (1, column, message) in table.errors


def test_calibrators_that_cannot_be_evaluated_decode_raw_only():
    xml = b"""<SpaceSystem name="M"><TelemetryMetaData><ParameterTypeSet>
      <IntegerParameterType name="U11"><IntegerDataEncoding sizeInBits="11"/></IntegerParameterType>
      <FloatParameterType name="F"><IntegerDataEncoding sizeInBits="16"><DefaultCalibrator>
        <MathOperationCalibrator><ThisParameterOperand/><ValueOperand>2</ValueOperand>
        <Operator>*</Operator></MathOperationCalibrator></DefaultCalibrator>
      </IntegerDataEncoding></FloatParameterType>
      </ParameterTypeSet><ParameterSet>
      <Parameter name="APID" parameterTypeRef="U11"/><Parameter name="P" parameterTypeRef="F"/>
      </ParameterSet><ContainerSet><SequenceContainer name="C"><EntryList>
        <ParameterRefEntry parameterRef="APID"><LocationInContainerInBits
          referenceLocation="containerStart"><FixedValue>5</FixedValue></LocationInContainerInBits>
        </ParameterRefEntry>
        <ParameterRefEntry parameterRef="P"><LocationInContainerInBits
          referenceLocation="containerStart"><FixedValue>48</FixedValue></LocationInContainerInBits>
        </ParameterRefEntry>
      </EntryList></SequenceContainer></ContainerSet></TelemetryMetaData></SpaceSystem>"""
    defn = load_xtce(xml)
    recipe = [{**item, "value": v} for item, v in zip(defn.recipe("C"), (5, 1234))]
    stream = read_packets(kestrune.pack_parameters(recipe)[:4] + b"\0\1"
                          + kestrune.pack_parameters(recipe)[6:])
    assert decode(stream, defn, values="raw")["C"].columns["P"].tolist() == [1234]
    with pytest.raises(ValueError) as info:
        decode(stream, defn)
    assert str(info.value) == ("C: packet 0: P: a MathOperationCalibrator cannot be evaluated; "
                               "decode with values='raw'")


def test_tables_convert_with_units_and_absent_entries():
    pa = pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")
    spare = (5).to_bytes(2, "big")
    parts = {f"Gains[{i}][{j}]": 7 for i in range(2) for j in range(3)}
    parts.update({"Status.mode": 1, "Status.pair[0]": 2, "Status.pair[1]": 3})
    two, _ = packet(FEATURES, "ScienceName", dict(APID=200, SciID=2, Name="a", Spare=spare,
                                                   Trailer=1, **parts))
    three, _ = packet(FEATURES, "ScienceName", dict(APID=200, SciID=3, Name="b", Extra=9,
                                                     Spare=spare, Trailer=2, **parts))
    stream = read_packets(_power(BatVolt=100) + two + three)
    tables = decode(stream, FEATURES)
    if importlib.util.find_spec("tqdm") is not None:
        shown = decode(stream, FEATURES, progress=True)  # one bar over all containers
        assert {k: t.packet_index.tolist() for k, t in shown.items()} == \
            {k: t.packet_index.tolist() for k, t in tables.items()}
    frame = tables["ScienceName"].to_pandas()
    assert frame["Extra"].isna().tolist() == [True, False] and frame["Extra"][1] == 9
    assert frame["Name"].tolist() == ["a", "b"]
    arrow = tables["PowerHK"].to_arrow()
    field = arrow.schema.field("BatVolt")
    assert field.metadata == {b"unit": b"V", b"description": b"Battery voltage"}
    assert arrow.column("Stamp").type == pa.timestamp("ns")
    assert arrow.column("Mode").to_pylist() == ["OFF"]
    science = tables["ScienceName"].to_arrow()
    assert science.column("Spare").type == pa.binary()
    assert science.schema.field("Gains[1][2]").metadata[b"unit"] == b"V"
    assert science.column("Status.mode").to_pylist() == ["SAFE", "SAFE"]


def test_command_line_decodes_with_a_definition(tmp_path, capsys):
    from kestrune_ccsds import cli

    xml = pathlib.Path(__file__).parent / "xtce" / "features.xml"
    source = tmp_path / "hk.bin"
    source.write_bytes(b"".join(_power(BatVolt=n, Count=n) for n in range(5)))
    out = tmp_path / "out"
    assert cli.main(["decode", str(source), "--xtce", str(xml), "--out", str(out), "--format", "csv"]) == 0
    want = decode(read_packets(source), FEATURES)["PowerHK"].to_pandas()
    got = (out / "PowerHK.csv").read_text().splitlines()
    assert len(got) == 1 + len(want) == 6
    assert got[0].split(",") == list(want.columns)
    assert [row.split(",")[want.columns.get_loc("Count")] for row in got[1:]] == ["0", "1", "2", "3", "4"]
    capsys.readouterr()
    # inspect says which container took how many packets, and what none took.
    with_stray = tmp_path / "mixed.bin"
    with_stray.write_bytes(source.read_bytes() + _power(Mode=7) + b"\x0b\xff\xc0\x00\x00\x00\x00")
    assert cli.main(["inspect", str(with_stray), "--xtce", str(xml)]) == 0
    assert capsys.readouterr().out.splitlines()[-2:] == [
        "  decoded: PowerHK 6 packets (1 with null cells); 1 packet in no container",
        f"  first null cell: PowerHK: packet 5 at byte offset {source.stat().st_size}, Mode: "
        "value 7 has no label"]
    # A broken definition is one line naming the file and the element's line.
    bad = tmp_path / "bad.xml"
    bad.write_text(xml.read_text().replace('parameterRef="BatVolt"', 'parameterRef="NoSuchThing"', 1))
    assert cli.main(["inspect", str(source), "--xtce", str(bad)]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"kestrune-ccsds: error: --xtce {bad}: ") and "NoSuchThing" in err and "line" in err
    assert err.count("\n") == 1


def test_a_header_held_as_an_aggregate_is_matched_by_its_members():
    # The primary header as one aggregate parameter; restrictions and an
    # IncludeCondition name its parts ("Hdr.apid", "Hdr.count").
    members = "".join(f'<Member name="{n}" typeRef="U{b}"/>' for n, b in
                      [("version", 3), ("type", 1), ("sec", 1), ("apid", 11), ("flags", 2),
                       ("count", 14), ("length", 16)])
    types = "".join(f'<IntegerParameterType name="U{b}"><IntegerDataEncoding sizeInBits="{b}"/>'
                    "</IntegerParameterType>" for b in (1, 2, 3, 8, 11, 14, 16))

    def child(name, apid, entries):
        return (f'<SequenceContainer name="{name}"><EntryList>{entries}</EntryList>'
                '<BaseContainer containerRef="Packet"><RestrictionCriteria>'
                f'<Comparison parameterRef="Hdr.apid" value="{apid}"/></RestrictionCriteria>'
                "</BaseContainer></SequenceContainer>")

    xml = (f'<SpaceSystem name="T"><TelemetryMetaData><ParameterTypeSet>{types}'
           f'<AggregateParameterType name="Header"><MemberList>{members}</MemberList>'
           '</AggregateParameterType></ParameterTypeSet><ParameterSet>'
           '<Parameter name="Hdr" parameterTypeRef="Header"/>'
           '<Parameter name="A" parameterTypeRef="U8"/><Parameter name="B" parameterTypeRef="U8"/>'
           '</ParameterSet><ContainerSet><SequenceContainer name="Packet" abstract="true">'
           '<EntryList><ParameterRefEntry parameterRef="Hdr"/></EntryList></SequenceContainer>'
           + child("Even", 100, '<ParameterRefEntry parameterRef="A"><IncludeCondition>'
                                '<Comparison parameterRef="/T/Hdr.count" value="0"/>'
                                "</IncludeCondition></ParameterRefEntry>"
                                '<ParameterRefEntry parameterRef="B"/>')
           + child("Odd", 200, '<ParameterRefEntry parameterRef="B"/>')
           + "</ContainerSet></TelemetryMetaData></SpaceSystem>")
    defn = load_xtce(xml.encode())

    def header(apid, count, data):
        return bytes([0x08 | apid >> 8, apid & 0xFF, 0xC0 | count >> 8, count & 0xFF,
                      0, len(data) - 1]) + data

    stream = read_packets(header(100, 0, b"\x05\x06") + header(200, 1, b"\x07")
                          + header(100, 1, b"\x08") + header(300, 0, b"\x09"))
    tables = decode(stream, defn)
    even, odd = tables["Even"], tables["Odd"]
    assert even.packet_index.tolist() == [0, 2] and odd.packet_index.tolist() == [1]
    assert even.columns["Hdr.apid"].tolist() == [100, 100]
    assert even.columns["Hdr.count"].tolist() == [0, 1]
    assert even.columns["B"].tolist() == [6, 8] and even.mask["A"].tolist() == [False, True]
    assert even.columns["A"][0] == 5 and odd.columns["B"].tolist() == [7]
    for wrong in ("Hdr.nope", "Hdr[0]", "A.x"):
        with pytest.raises(ValueError) as info:
            load_xtce(xml.replace('"/T/Hdr.count"', f'"{wrong}"').encode())
        assert str(info.value) == \
            f"<bytes>, line 1, Comparison: parameterRef '{wrong}' names no parameter (looked up from /T)"


def test_a_definition_travels_to_worker_processes(tmp_path):
    # Pickled (as Dask sends it to worker processes), a definition holds no
    # part of the XML tree and decodes as the original does, context
    # calibrators included.
    import pickle

    dask = pytest.importorskip("dask")
    pd = pytest.importorskip("pandas")
    import kestrune_ccsds.dask as kd

    path = tmp_path / "hk.bin"
    path.write_bytes(b"".join(_power(BatVolt=n, BatTemp=100 * n, Mode=n % 3) for n in range(6)))
    copy = pickle.loads(pickle.dumps(FEATURES))
    serial = decode(read_packets(path), FEATURES)["PowerHK"].to_pandas()
    pd.testing.assert_frame_equal(decode(read_packets(path), copy)["PowerHK"].to_pandas(), serial)
    with dask.config.set({"dataframe.convert-string": False}):  # text stays as decoded
        frames = kd.read_packets([str(path)] * 2, FEATURES)
        computed = dask.compute(frames, scheduler="processes")[0]["PowerHK"]
    pd.testing.assert_frame_equal(computed.reset_index(drop=True),
                                  pd.concat([serial, serial], ignore_index=True))
