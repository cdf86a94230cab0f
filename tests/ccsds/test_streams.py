"""Packet streams: splitting, sources, the report, and bad input."""

from __future__ import annotations

import io
import mmap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
kc = pytest.importorskip("kestrune_ccsds")

from .packets import packet  # noqa: E402


@st.composite
def streams(draw):
    n = draw(st.integers(0, 30))
    specs = [
        (draw(st.sampled_from([0, 5, 2047])), draw(st.integers(0, (1 << 14) - 1)), draw(st.binary(min_size=1, max_size=20)),
         draw(st.integers(0, 1)), draw(st.integers(0, 3)))
        for _ in range(n)
    ]
    return specs, draw(st.integers(0, 5))


@settings(max_examples=100, deadline=None)
@given(streams())
def test_the_scan_finds_every_packet_and_its_header(case):
    specs, prefix = case
    packets = [packet(a, c, body, packet_type=t, flags=f) for a, c, body, t, f in specs]
    records = [bytes(range(prefix)) + p for p in packets]
    stream = kc.read_packets(b"".join(records), prefix_bytes=prefix, errors="report")
    assert len(stream) == len(packets)
    assert [stream.packet(i) for i in range(len(stream))] == packets
    starts = np.cumsum([0] + [len(r) for r in records])[:-1] + prefix
    assert stream.offsets.tolist() == starts.tolist()
    assert stream.lengths.tolist() == [len(p) for p in packets]
    assert stream.apids.tolist() == [s[0] for s in specs]
    assert stream.sequence_counts.tolist() == [s[1] for s in specs]
    assert stream.packet_types.tolist() == [s[3] for s in specs]
    assert stream.sequence_flags.tolist() == [s[4] for s in specs]
    assert [a.dtype.name for a in (stream.offsets, stream.lengths, stream.apids, stream.sequence_counts)] == [
        "uint64", "uint32", "uint16", "uint16"]
    report = stream.report()
    assert report.packets == len(packets)
    assert report.bytes_in_packets + report.prefix_bytes_total == report.source_bytes
    assert sum(a.packets for a in report.apids.values()) == len(packets)
    subset = stream.select([5, 2047])
    assert [subset.packet(i) for i in range(len(subset))] == [p for p, s in zip(packets, specs) if s[0] in (5, 2047)]
    assert subset.buffer.obj is stream.buffer.obj


def test_report_counts_gaps_wrap_around_and_repeats():
    counts = {1: [16382, 16383, 0, 1, 1, 5], 2: [7, 9, 9, 9]}
    data = b"".join(packet(apid, c, b"\x00") for apid in counts for c in counts[apid])
    report = kc.read_packets(data).report()
    assert report.apids[1] == kc.ApidReport(apid=1, packets=6, bytes=42, gaps=1, missing=3, repeats=1)
    assert report.apids[2] == kc.ApidReport(apid=2, packets=4, bytes=28, gaps=1, missing=1, repeats=2)
    assert str(report).splitlines()[1:] == [
        "APID 1: 6 packets, 42 bytes, 1 sequence gaps (3 packets missing), 1 repeated counts",
        "APID 2: 4 packets, 28 bytes, 1 sequence gaps (1 packets missing), 2 repeated counts",
    ]


def test_every_source_kind_gives_the_same_stream(tmp_path):
    data = packet(3, 1, b"abc") + packet(4, 2, b"defg")
    path = tmp_path / "packets.bin"
    path.write_bytes(data)
    with open(path, "rb") as f, open(path, "rb") as g:
        g.seek(9)  # not at the start: read from here on
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        sources = [path, str(path), data, bytearray(data), memoryview(data), mapped, io.BytesIO(data), f,
                   memoryview(b"\x00" + data)[1:]]
        for source in sources:
            stream = kc.read_packets(source)
            assert [stream.packet(i) for i in range(2)] == [data[:9], data[9:]], source
            assert stream.buffer.readonly
        assert kc.read_packets(path).source_name == str(path)
        assert kc.read_packets(data).source_name == "<bytes>"
        rest = kc.read_packets(g)
        assert (len(rest), rest.packet(0), rest.offsets.tolist()) == (1, data[9:], [0])
        stream = kc.read_packets(mapped)
        with pytest.raises(BufferError):
            mapped.close()  # the stream still uses it
        del stream


@pytest.mark.parametrize(
    "data, prefix, message, offset, truncated, unparsed",
    [
        (packet(1, 0, b"ab")[:-1], 0,
         "<bytes>: truncated packet at byte offset 0: its header gives 8 bytes but only 7 remain "
         "(1 missing; a cut file or a corrupt length field)", 0, (0, 1), []),
        (packet(1, 0, b"ab") + b"\x00\x01\x00\x00\xff\xf0\x00", 0,
         "<bytes>: truncated packet at byte offset 8: its header gives 65527 bytes but only 7 remain "
         "(65520 missing; a cut file or a corrupt length field)", 8, (8, 65520), []),
        (packet(1, 0, b"ab") + b"\x08\x01\x00", 0,
         "<bytes>: incomplete packet at byte offset 8: 3 bytes remain but a packet header needs 6", 8, None, [(8, 3)]),
        (b"\x00\x00" + packet(1, 0, b"ab") + b"\x00\x00\x08", 2,
         "<bytes>: incomplete packet at byte offset 10: 3 bytes remain but a record prefix and a packet header need 8",
         10, None, [(10, 3)]),
        (b"", 0, "<bytes>: the source is empty, it holds no packets", 0, None, []),
    ],
    ids=["cut", "corrupt-length", "short-header", "short-prefixed-header", "empty"],
)
def test_bad_streams_raise_or_report(data, prefix, message, offset, truncated, unparsed):
    with pytest.raises(kc.PacketStreamError) as info:
        kc.read_packets(data, prefix_bytes=prefix)
    assert (str(info.value), info.value.offset) == (message, offset)
    stream = kc.read_packets(data, prefix_bytes=prefix, errors="report")
    report = stream.report()
    assert report.truncated == (None if truncated is None else kc.TruncatedPacket(*truncated))
    assert report.unparsed == unparsed
    # Every byte is in a packet, a prefix or the report.
    tail = (len(data) - truncated[0]) if truncated else sum(n for _, n in unparsed)
    assert report.bytes_in_packets + report.prefix_bytes_total + tail == len(data)
    if len(stream) == 0:
        assert str(report).splitlines()[-1] == "no packets"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda d: kc.read_packets(d / "missing.bin"), kc.PacketStreamError, "{d}/missing.bin: no such file"),
        (lambda d: kc.read_packets(d), kc.PacketStreamError, "{d}: is a directory, not a packet file"),
        (lambda d: kc.read_packets(b"", errors="skip"), ValueError, "errors must be 'raise' or 'report', not 'skip'"),
        (lambda d: kc.read_packets(b"", prefix_bytes=-1), ValueError, "prefix_bytes must not be negative (got -1)"),
        (lambda d: kc.read_packets(b"", prefix_bytes=1.0), TypeError, "prefix_bytes must be an int, not float"),
        (lambda d: kc.read_packets(42), TypeError,
         "read_packets() needs a path, a bytes-like object, an mmap or a binary file, not int"),
        (lambda d: kc.read_packets(io.StringIO("x")), TypeError, "read_packets() needs a binary file: read() returned str"),
        (lambda d: kc.read_packets(memoryview(b"abcd")[::2]), TypeError, "read_packets() needs a contiguous buffer"),
        (lambda d: kc.read_packets(packet(1, 0, b"a")).packet(1), IndexError,
         "packet index 1 out of range for a stream of 1 packets"),
    ],
)
def test_unreadable_sources_and_bad_arguments(tmp_path, call, error, message):
    with pytest.raises(error) as info:
        call(tmp_path)
    assert str(info.value) == message.format(d=tmp_path)
