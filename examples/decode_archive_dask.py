"""Decode an archive of packet files in parallel with Dask, into one CSV file per APID.

kestrune_ccsds.dask.read_packets gives one Dask DataFrame per APID, with a
partition per file (or per --blocksize bytes of a file, cut where a packet
starts), decoded by the columnar decoder on the workers. By default the work
runs on this machine's cores with Dask's threaded scheduler (decoding
releases the GIL); pass --scheduler-address to run it on any Dask cluster
instead (`pip install kestrune[parallel]`; the workers need kestrune
installed and the files at the same paths).

    python examples/decode_archive_dask.py 'archive/*.bin' out/
    python examples/decode_archive_dask.py 'archive/*.bin' out/ --scheduler-address tcp://10.0.0.5:8786
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

import dask

import kestrune_ccsds.dask
from ccsds_packets import RECIPES


def decode_archive(pattern: str | list[str], scheduler_address: str | None = None,
                   blocksize: str | None = None) -> dict[int, Any]:
    """A pandas DataFrame per APID: the packets of all files, in file order, then packet order."""
    frames = kestrune_ccsds.dask.read_packets(pattern, RECIPES, blocksize=blocksize)
    if scheduler_address is None:
        (tables,) = dask.compute(frames, scheduler="threads")
    else:
        from dask.distributed import Client

        with Client(scheduler_address) as client:
            (tables,) = dask.compute(frames, scheduler=client)
    return tables


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pattern", help="glob pattern of the packet files, in quotes")
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--scheduler-address", help="address of a Dask scheduler (default: this machine's threads)")
    parser.add_argument("--blocksize", help="split files into parts of about this size, as 64MiB (default: whole files)")
    args = parser.parse_args()
    tables = decode_archive(args.pattern, args.scheduler_address, args.blocksize)
    args.out_dir.mkdir(parents=True, exist_ok=True)
    for apid, table in tables.items():
        path = args.out_dir / f"apid_{apid:03x}.csv"
        table.to_csv(path, index=False)
        print(f"wrote {path}: {len(table)} packets")


if __name__ == "__main__":
    main()
