"""The examples do their jobs: file decoding to CSV, telecommands with a CRC,
and parallel decoding (Dask, a spawn pool) equal to a serial decode."""

import csv
import multiprocessing
import random
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import build_telecommand as tc  # noqa: E402
import ccsds_packets as cp  # noqa: E402
import decode_packet_file  # noqa: E402

IDLE_PACKET = bytes([0x07, 0xFF, 0xC0, 0x00, 0x00, 0x01, 0xAA, 0xBB])


def generated_packets(count, seed):
    """Packets of both APIDs with the values they were built from."""
    rng = random.Random(seed)
    packets, expected = [], []
    for n in range(count):
        apid = cp.HOUSEKEEPING_APID if n % 3 else cp.EVENT_APID
        make_values = cp.housekeeping_values if apid == cp.HOUSEKEEPING_APID else cp.event_values
        values = make_values(rng, n, 1_800_000_000 + n)
        packet = cp.make_packet(apid, n, 1_800_000_000 + n, values)
        packets.append(packet)
        expected.append((apid, n, values))
    return packets, expected


def test_packet_file_to_csv(tmp_path):
    packets, expected = generated_packets(40, seed=7)
    # Seven idle packets (an APID without a recipe) between groups of five.
    stream = IDLE_PACKET.join(b"".join(packets[i:i + 5]) for i in range(0, 40, 5))
    (tmp_path / "packets.bin").write_bytes(stream)
    paths, skipped = decode_packet_file.decode_file_to_csv(tmp_path / "packets.bin", tmp_path / "out")
    assert skipped == {0x7FF: 7}
    assert sorted(p.name for p in paths) == ["apid_064.csv", "apid_0c8.csv"]

    for apid in (cp.HOUSEKEEPING_APID, cp.EVENT_APID):
        with decode_packet_file.csv_path(tmp_path / "out", apid).open(newline="") as file:
            rows = list(csv.DictReader(file))
        wanted = [(n, values) for a, n, values in expected if a == apid]
        assert [int(row["seq_count"]) for row in rows] == [n for n, _ in wanted]
        for row, (_, values) in zip(rows, wanted, strict=True):
            assert int(row["apid"]) == apid
            assert {name: row[name] for name in values} == {name: str(v) for name, v in values.items()}


@pytest.mark.parametrize("cut", [3, 30])
def test_truncated_stream_is_refused(cut):
    packet = cp.make_packet(cp.EVENT_APID, 0, 0, cp.event_values(random.Random(0), 0, 0))
    with pytest.raises(ValueError, match="truncated primary header|needs 47 bytes"):
        list(cp.split_packets(packet + packet[:cut]))


def test_telecommand_crc_is_checked_on_every_bit():
    assert tc.crc16_ccitt(b"123456789") == 0x29B1
    arguments = {"function_code": 0x21, "target_mode": 9, "confirm": 1, "duration": -0.75,
                 "operator": 9876, "tag": "SAFE"}
    packet = tc.build_telecommand(0x1A, 16383, arguments)
    values = tc.check_telecommand(packet)
    assert {name: values[name] for name in arguments} == arguments
    assert (values["apid"], values["type"], values["seq_count"]) == (0x1A, 1, 16383)
    assert values["crc"] == int.from_bytes(packet[-2:], "big")
    for bit in range(len(packet) * 8):
        corrupted = bytearray(packet)
        corrupted[bit // 8] ^= 0x80 >> (bit % 8)
        with pytest.raises(ValueError, match="CRC"):
            tc.check_telecommand(bytes(corrupted))


@pytest.fixture
def archive(tmp_path):
    paths = []
    for seed in range(4):
        path = tmp_path / f"archive_{seed}.bin"
        path.write_bytes(cp.sample_stream(150, seed=seed, start_time=1_700_000_000 + 150 * seed))
        paths.append(str(path))
    return paths


def serial_by_apid(paths):
    rows = {}
    for path in paths:
        for values in cp.decode_file(path):
            rows.setdefault(values["apid"], []).append(values)
    return rows


def test_dask_archive_decode_equals_serial(archive):
    pytest.importorskip("dask.bag")
    import decode_archive_dask

    parallel = decode_archive_dask.decode_archive(archive, num_workers=2)
    assert parallel == serial_by_apid(archive)
    assert sum(map(len, parallel.values())) > 500


def test_spawn_pool_decode_equals_serial(archive):
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        per_file = pool.map(cp.decode_file, archive)
    assert per_file == [cp.decode_file(path) for path in archive]
