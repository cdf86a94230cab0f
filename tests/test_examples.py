"""The examples do their jobs: stream splitting, telecommands with a CRC, and
parallel decoding (Dask frames, a spawn pool) equal to a serial decode with
kestrune.unpack_parameters."""

import multiprocessing
import random
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import build_telecommand as tc  # noqa: E402
import ccsds_packets as cp  # noqa: E402


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


@pytest.mark.parametrize("blocksize", [None, "2kB"])
def test_dask_archive_decode_equals_serial(archive, blocksize):
    pytest.importorskip("numpy")
    pytest.importorskip("dask.dataframe")
    import decode_archive_dask

    tables = decode_archive_dask.decode_archive(archive, blocksize=blocksize)
    parallel = {apid: table.to_dict("records") for apid, table in tables.items()}
    assert parallel == serial_by_apid(archive)
    assert sum(map(len, parallel.values())) > 500


def test_spawn_pool_decode_equals_serial(archive):
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        per_file = pool.map(cp.decode_file, archive)
    assert per_file == [cp.decode_file(path) for path in archive]
