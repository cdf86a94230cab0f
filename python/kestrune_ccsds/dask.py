"""Packet files as Dask DataFrames, decoded by the columnar decoder on the workers.

    frames = kestrune_ccsds.dask.read_packets("archive/*.bin", RECIPES)
    frames[0x64]["bus_voltage"].mean().compute()

One partition per file, or per byte range of a file with `blocksize`, cut
where a packet (its record, with `prefix_bytes`) starts. The files are
scanned here to find the cuts and the tables, so they must be readable here
as well as on the workers (a shared file system). Decoding releases the GIL,
so Dask's threaded scheduler uses every core, and so do worker processes.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Mapping, Sequence
from typing import Any, Literal

import numpy as np

import kestrune_ccsds

Paths = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]


def _dask() -> Any:
    try:
        import dask
        import dask.dataframe  # noqa: F401  (loaded for from_delayed)
    except ImportError as error:
        raise ImportError("kestrune_ccsds.dask needs Dask: pip install 'kestrune[parallel]'",
                          name=error.name) from error
    return dask


def expand_paths(paths: Paths) -> list[str]:
    """File names in order: a glob pattern expands to its sorted matches."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    if not items:
        raise ValueError("no packet files given")
    files: list[str] = []
    for item in items:
        name = os.fspath(item)
        if isinstance(item, str) and glob.has_magic(name):
            matches = sorted(glob.glob(name))
            if not matches:
                raise FileNotFoundError(f"no file matches {name}")
            files.extend(matches)
        else:
            files.append(name)
    return files


def byte_ranges(stream: Any, blocksize: int | None, prefix_bytes: int) -> list[tuple[int, int | None]]:
    """(start, stop) byte ranges of about `blocksize` bytes, each starting where a record starts.

    The first range starts at byte 0 and the last one runs to the end of the
    file (stop None), so every byte belongs to exactly one range, as in a
    decode of the whole file.
    """
    if blocksize is None or stream.nbytes <= blocksize or not len(stream):
        return [(0, None)]
    starts = stream.offsets.astype(np.int64) - prefix_bytes
    ranges: list[tuple[int, int | None]] = []
    start = 0
    while True:
        i = int(np.searchsorted(starts, start + blocksize, side="left"))
        if i >= len(starts):
            break
        cut = int(starts[i])
        ranges.append((start, cut))
        start = cut
    ranges.append((start, None))
    return ranges


Errors = Literal["raise", "mask"]
Values = Literal["engineering", "raw"]


def decode_range(path: str, start: int, stop: int | None, layouts: Any, prefix_bytes: int,
                 errors: Errors, values: Values) -> dict[object, Any]:
    """pandas DataFrames of the packets in bytes [start, stop) of a file, by table key."""
    if start == 0 and stop is None:
        source: Any = path  # memory-mapped by read_packets
    else:
        with open(path, "rb") as file:
            file.seek(start)
            source = file.read(-1 if stop is None else stop - start)
    try:
        stream = kestrune_ccsds.read_packets(source, prefix_bytes=prefix_bytes)
        tables = kestrune_ccsds.decode(stream, layouts, errors=errors, values=values)
    except Exception as error:
        if start:
            error.add_note(f"in {path} from byte {start}: byte offsets count from there")
        elif stop is not None:
            error.add_note(f"in {path}")
        raise
    return {key: table.to_pandas() for key, table in tables.items()}


def _pick(frames: dict[object, Any], key: object, meta: Any, known: frozenset[object], where: str) -> Any:
    """The frame of one key from a decoded range (empty if it has none), in the dtypes of `meta`."""
    unknown = set(frames) - known
    if unknown:
        raise ValueError(f"{where}: packets of {sorted(map(str, unknown))} were not in the first packet of any "
                         f"APID, so their table is unknown; the tables are {sorted(map(str, known))}")
    frame = frames.get(key)
    if frame is None:
        return meta.copy()
    if frame.dtypes.equals(meta.dtypes):
        return frame
    return frame.astype(meta.dtypes.to_dict())


def _nullable(frame: Any) -> Any:
    """Integer columns as pandas' nullable integers, which every partition of a masked decode can hold."""
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    return frame.astype({name: pd.api.types.pandas_dtype(f"{'U' if dtype.kind == 'u' else ''}Int{dtype.itemsize * 8}")
                         for name, dtype in frame.dtypes.items() if dtype.kind in "iu"})


def read_packets(paths: Paths, layouts: Any, *, prefix_bytes: int = 0, blocksize: int | str | None = None,
                 errors: Errors = "raise", values: Values = "engineering") -> dict[object, Any]:
    """One Dask DataFrame per table key (APID, or container of a definition) over packet files.

    `layouts` is what kestrune_ccsds.decode takes: a mapping of APIDs to
    recipes or a definition. Rows come in file order, then packet order, as
    a serial decode of each file. With errors="mask", integer columns are
    pandas' nullable integers in every partition. The files are scanned now:
    a broken stream raises here, and so does a first packet of an APID that
    does not decode with errors="raise".
    """
    dask = _dask()
    files = expand_paths(paths)
    size: int | None = dask.utils.parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    if size is not None and size <= 0:
        raise ValueError(f"blocksize must be positive, not {blocksize}")

    # The first packet of every APID stands for its table: decoded, it gives
    # the keys and the column types.
    ranges: list[tuple[str, int, int | None]] = []
    samples: dict[int, tuple[bytes, str]] = {}
    for path in files:
        stream = kestrune_ccsds.read_packets(path, prefix_bytes=prefix_bytes)
        ranges.extend((path, start, stop) for start, stop in byte_ranges(stream, size, prefix_bytes))
        apids, first = np.unique(stream.apids, return_index=True)
        for apid, index in zip(apids.tolist(), first.tolist(), strict=True):
            if apid not in samples and (not isinstance(layouts, Mapping) or apid in layouts):
                samples[apid] = (bytes(prefix_bytes) + stream.packet(index),
                                 f"{path}: packet {index} at byte offset {int(stream.offsets[index])}")
    tables: dict[object, Any] = {}
    for apid, (packet, where) in samples.items():
        try:
            stream = kestrune_ccsds.read_packets(packet, prefix_bytes=prefix_bytes)
            decoded = kestrune_ccsds.decode(stream, layouts, errors=errors, values=values)
        except Exception as error:
            error.add_note(f"decoding the first packet of APID {apid} for the column types: {where}")
            raise
        for key, table in decoded.items():
            if len(table):  # decode() also gives empty tables of the APIDs it did not meet
                tables.setdefault(key, table)
    metas = {key: table.to_pandas().iloc[:0] for key, table in tables.items()}
    if errors == "mask":
        metas = {key: _nullable(meta) for key, meta in metas.items()}
    known = frozenset(metas)

    decode = dask.delayed(decode_range, pure=True)
    pick = dask.delayed(_pick, pure=True)
    # One node of the graph holds the layouts: a cluster sends them to each
    # worker once, not with every task.
    shared = dask.delayed(layouts, pure=True)
    parts = [(decode(path, start, stop, shared, prefix_bytes, errors, values),
              f"{path} bytes {start} to {'end' if stop is None else stop}") for path, start, stop in ranges]
    return {key: dask.dataframe.from_delayed([pick(part, key, meta, known, where) for part, where in parts],
                                             meta=meta)
            for key, meta in metas.items()}
