"""Decode an archive of packet files in parallel with Dask, into CSV per APID.

kestrune's functions pickle by reference (as `kestrune.unpack_parameters`),
so a Dask bag can ship the decoding to worker processes like any Python
function. By default the work runs on this machine with Dask's local
processes scheduler (one process per core); pass --scheduler-address to run
it on any Dask cluster instead (`pip install kestrune[parallel]`; the workers
need kestrune installed, and ccsds_packets.py is uploaded to them).

    python examples/decode_archive_dask.py 'archive/*.bin' out/
    python examples/decode_archive_dask.py 'archive/*.bin' out/ --scheduler-address tcp://10.0.0.5:8786
"""

from __future__ import annotations

import argparse
import glob
from pathlib import Path
from typing import Any

import dask.bag as db

import ccsds_packets
from decode_packet_file import CsvByApid


def decode_archive(paths: list[str], scheduler_address: str | None = None,
                   num_workers: int | None = None) -> dict[int, list[dict[str, Any]]]:
    """Decoded packets of all files grouped by APID, in file order, then packet order."""
    # One partition per file: each worker decodes whole files.
    per_file = db.from_sequence(paths, npartitions=max(len(paths), 1)).map(ccsds_packets.decode_file)
    if scheduler_address is None:
        results = per_file.compute(scheduler="processes", num_workers=num_workers)
    else:
        from dask.distributed import Client

        with Client(scheduler_address) as client:
            client.upload_file(ccsds_packets.__file__)
            results = per_file.compute()  # on the cluster: the client is the default scheduler now
    rows: dict[int, list[dict[str, Any]]] = {}
    for packets in results:
        for values in packets:
            rows.setdefault(values["apid"], []).append(values)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pattern", help="glob pattern of the packet files, in quotes")
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--scheduler-address", help="address of a Dask scheduler (default: local processes)")
    parser.add_argument("--workers", type=int, help="local worker processes (default: one per core)")
    args = parser.parse_args()
    paths = sorted(glob.glob(args.pattern))
    if not paths:
        parser.error(f"no file matches {args.pattern}")
    rows = decode_archive(paths, args.scheduler_address, args.workers)
    with CsvByApid(args.out_dir) as out:
        for apid_rows in rows.values():
            for values in apid_rows:
                out.write(values)
    for path in out.paths():
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
