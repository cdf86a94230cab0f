"""Dask frames over packet files (one partition per file or byte range) and a
thread pool over files give what a serial decode of each file gives."""

import random
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
import numpy as np  # noqa: E402

import kestrune_ccsds  # noqa: E402
import kestrune_ccsds.dask as kd  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import ccsds_packets as cp  # noqa: E402

PREFIX = 4  # bytes of a record header before every packet, in the prefixed archive


def with_prefix(data, prefix):
    return b"".join(n.to_bytes(prefix, "big") + packet for n, packet in enumerate(cp.split_packets(data)))


@pytest.fixture(params=[0, PREFIX], ids=["plain", "prefixed"])
def archive(request, tmp_path):
    paths = []
    for seed in range(3):
        data = cp.sample_stream(200, seed=seed, start_time=1_700_000_000 + 200 * seed)
        path = tmp_path / f"archive_{seed}.bin"
        path.write_bytes(with_prefix(data, request.param) if request.param else data)
        paths.append(str(path))
    return paths, request.param


def serial(paths, layouts, prefix=0, errors="raise"):
    """Each file decoded on its own, its tables concatenated in file order."""
    frames = {}
    for path in paths:
        stream = kestrune_ccsds.read_packets(path, prefix_bytes=prefix)
        for key, table in kestrune_ccsds.decode(stream, layouts, errors=errors).items():
            frames.setdefault(key, []).append(table.to_pandas())
    return {key: pd.concat(parts, ignore_index=True) for key, parts in frames.items()}


def assert_same(frame, expected):
    """Equal values, and the same dtypes but for text (which Dask may hold as its string dtype)."""
    frame = frame.reset_index(drop=True)
    assert list(frame.columns) == list(expected.columns)
    for name in frame.columns:
        if expected[name].dtype != object:
            assert frame[name].dtype == expected[name].dtype, name
    pd.testing.assert_frame_equal(frame, expected, check_dtype=False)


@pytest.mark.parametrize("blocksize", [None, 2500])
def test_threads_and_processes_equal_a_serial_decode(archive, blocksize):
    paths, prefix = archive
    frames = kd.read_packets(paths, cp.RECIPES, prefix_bytes=prefix, blocksize=blocksize)
    expected = serial(paths, cp.RECIPES, prefix)
    assert set(frames) == set(expected) == {0x64, 0xC8}
    parts = frames[0x64].npartitions
    assert parts == 3 if blocksize is None else parts > 12
    import dask

    for scheduler in ("threads", "processes") if blocksize and not prefix else ("threads",):
        computed = dask.compute(frames, scheduler=scheduler)[0]
        for key, frame in computed.items():
            assert_same(frame, expected[key])


def test_distributed_local_cluster_equals_a_serial_decode(archive):
    distributed = pytest.importorskip("distributed")
    import dask

    paths, prefix = archive
    frames = kd.read_packets(paths, cp.RECIPES, prefix_bytes=prefix, blocksize="3kB")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        computed = dask.compute(frames, scheduler=client)[0]
    for key, frame in serial(paths, cp.RECIPES, prefix).items():
        assert_same(computed[key], frame)


SAMPLE = cp.sample_stream(60, seed=9)


@settings(max_examples=200, deadline=None)
@given(blocksize=st.integers(1, len(SAMPLE) + 600), prefix=st.sampled_from([0, PREFIX]))
def test_byte_ranges_cut_at_record_starts_and_cover_the_file(blocksize, prefix):
    stream = kestrune_ccsds.read_packets(with_prefix(SAMPLE, prefix) if prefix else SAMPLE, prefix_bytes=prefix)
    starts = set((stream.offsets.astype(np.int64) - prefix).tolist())
    ranges = kd.byte_ranges(stream, blocksize, prefix)
    assert ranges[0][0] == 0 and ranges[-1][1] is None
    assert all(stop == start for (_, stop), (start, _) in zip(ranges, ranges[1:]))
    # Every range starts with a record and holds at least blocksize bytes, but the last.
    assert all(start in starts and (stop is None or stop - start >= blocksize) for start, stop in ranges)
    # A range ends at the first record start at or after blocksize bytes.
    assert all(stop is None or not any(start + blocksize <= s < stop for s in starts) for start, stop in ranges)


def test_masked_cells_are_null_in_every_partition(tmp_path):
    data = cp.sample_stream(150, seed=5)
    packets = list(cp.split_packets(data))
    # A housekeeping packet cut short in its length field: its last fields do not decode.
    bad = next(i for i, p in enumerate(packets) if len(p) == 58 and i > 100)
    short = bytearray(packets[bad][:40])
    short[4:6] = (len(short) - 7).to_bytes(2, "big")
    packets[bad] = bytes(short)
    path = tmp_path / "masked.bin"
    path.write_bytes(b"".join(packets))

    frames = kd.read_packets(str(path), cp.RECIPES, blocksize=1000, errors="mask")
    computed = frames[0x64].compute(scheduler="threads").reset_index(drop=True)
    expected = serial([str(path)], cp.RECIPES, errors="mask")[0x64]
    assert computed["uptime"].dtype == "UInt32" and computed["uptime"].isna().sum() == 1
    pd.testing.assert_frame_equal(computed, expected, check_dtype=False)

    with pytest.raises(ValueError) as raised:
        kd.read_packets(str(path), cp.RECIPES, blocksize=1000)[0x64].compute(scheduler="threads")
    offset = sum(map(len, packets[:bad]))
    start = max(s for s, _ in kd.byte_ranges(kestrune_ccsds.read_packets(path), 1000, 0) if s <= offset)
    assert raised.value.__notes__[-1] == f"in {path} from byte {start}: byte offsets count from there"

    # A bad first packet of an APID fails at once, naming where it is.
    path.write_bytes(b"".join(packets[bad:]))
    with pytest.raises(ValueError) as raised:
        kd.read_packets(str(path), cp.RECIPES)
    assert raised.value.__notes__[-1] == (f"decoding the first packet of APID 100 for the column types: "
                                          f"{path}: packet 0 at byte offset 0")


class ParityDefinition:
    """A definition whose table depends on more than the APID: the parity of the first sequence count."""

    def _decode(self, stream, errors, progress, values):
        tables = kestrune_ccsds.decode(stream, {0x64: cp.RECIPES[0x64]}, errors=errors)
        return {f"hk_{'odd' if table.columns['seq_count'][0] % 2 else 'even'}": table for table in tables.values()}


@pytest.mark.parametrize(("paths", "kwargs", "error", "message"), [
    ([], {}, ValueError, "no packet files given"),
    ("{tmp}/none_*.bin", {}, FileNotFoundError, "no file matches {tmp}/none_*.bin"),
    ("{file}", {"blocksize": 0}, ValueError, "blocksize must be positive, not 0"),
])
def test_bad_arguments(tmp_path, paths, kwargs, error, message):
    (tmp_path / "a.bin").write_bytes(cp.sample_stream(3))
    names = {"tmp": tmp_path, "file": tmp_path / "a.bin"}
    paths = paths.format(**names) if isinstance(paths, str) else paths
    with pytest.raises(error) as raised:
        kd.read_packets(paths, cp.RECIPES, **kwargs)
    assert str(raised.value) == message.format(**names)


def test_a_table_the_first_packets_did_not_show_is_an_error(tmp_path):
    path = tmp_path / "a.bin"
    rng = random.Random(0)
    path.write_bytes(b"".join(cp.make_packet(0x64, n, 1_700_000_000 + n, cp.housekeeping_values(rng, n, 1_700_000_000 + n)) for n in range(2)))
    frames = kd.read_packets(str(path), ParityDefinition(), blocksize=58)
    assert set(frames) == {"hk_even"}  # the first packet has sequence count 0
    with pytest.raises(ValueError) as raised:
        frames["hk_even"].compute(scheduler="sync")
    assert str(raised.value) == (f"{path} bytes 58 to end: packets of ['hk_odd'] were not in the first packet of any "
                                 "APID, so their table is unknown; the tables are ['hk_even']")


def test_missing_dask_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask", None)
    with pytest.raises(ImportError) as raised:
        kd.read_packets([], cp.RECIPES)
    assert str(raised.value) == "kestrune_ccsds.dask needs Dask: pip install 'kestrune[parallel]'"


def test_a_thread_pool_over_files_equals_a_serial_decode(archive):
    paths, prefix = archive

    def decode_file(path):
        stream = kestrune_ccsds.read_packets(path, prefix_bytes=prefix)
        return {key: table.to_pandas() for key, table in kestrune_ccsds.decode(stream, cp.RECIPES).items()}

    with ThreadPoolExecutor(2) as pool:
        per_file = list(pool.map(decode_file, paths * 3))
    expected = serial(paths * 3, cp.RECIPES, prefix)
    for key, frame in expected.items():
        assert_same(pd.concat([frames[key] for frames in per_file], ignore_index=True), frame)
