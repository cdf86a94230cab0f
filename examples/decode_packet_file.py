"""Decode a file of CCSDS space packets into one CSV file per APID.

The stream is split at the packet lengths of the primary headers, each packet
is decoded with the recipe of its APID (ccsds_packets.RECIPES), and packets of
other APIDs are counted and skipped. With --progress and tqdm installed
(`pip install kestrune[progress]`), a progress bar follows the bytes read.

    python examples/ccsds_packets.py sample.bin --count 100000
    python examples/decode_packet_file.py sample.bin out/ --progress
"""

from __future__ import annotations

import argparse
import csv
import sys
from collections import Counter
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

from ccsds_packets import RECIPES, apid_of, decode_packet, split_packets


def with_progress(packets: Iterable[bytes], total_bytes: int, enabled: bool) -> Iterator[bytes]:
    """The packets, advancing a tqdm bar by their sizes when it is wanted and installed."""
    if not enabled:
        yield from packets
        return
    try:
        from tqdm import tqdm
    except ImportError:
        print("tqdm is not installed (pip install kestrune[progress]): no progress bar", file=sys.stderr)
        yield from packets
        return
    with tqdm(total=total_bytes, unit="B", unit_scale=True, desc="decoding") as bar:
        for packet in packets:
            yield packet
            bar.update(len(packet))


def csv_path(out_dir: Path, apid: int) -> Path:
    return out_dir / f"apid_{apid:03x}.csv"


def write_csv(rows_by_apid: dict[int, Iterable[dict[str, Any]]], out_dir: Path) -> list[Path]:
    """One CSV file per APID, with the recipe's field names as columns."""
    out_dir.mkdir(parents=True, exist_ok=True)
    written = []
    for apid, rows in rows_by_apid.items():
        path = csv_path(out_dir, apid)
        with path.open("w", newline="") as file:
            writer = csv.DictWriter(file, fieldnames=[item["name"] for item in RECIPES[apid]])
            writer.writeheader()
            writer.writerows(rows)
        written.append(path)
    return written


def decode_stream(data: bytes, progress: bool = False) -> tuple[dict[int, list[dict[str, Any]]], Counter[int]]:
    """Decoded packets grouped by APID, in stream order, and the count of skipped packets per APID."""
    rows: dict[int, list[dict[str, Any]]] = {}
    skipped: Counter[int] = Counter()
    for packet in with_progress(split_packets(data), len(data), progress):
        values = decode_packet(packet)
        if values is None:
            skipped[apid_of(packet)] += 1
        else:
            rows.setdefault(values["apid"], []).append(values)
    return rows, skipped


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("packets", type=Path, help="file of concatenated space packets")
    parser.add_argument("out_dir", type=Path, help="directory for the CSV files")
    parser.add_argument("--progress", action="store_true", help="show a progress bar (needs tqdm)")
    args = parser.parse_args(argv)

    rows, skipped = decode_stream(args.packets.read_bytes(), args.progress)
    for path in write_csv(rows, args.out_dir):
        print(f"wrote {path}")
    for apid, count in sorted(skipped.items()):
        print(f"skipped {count} packets of APID 0x{apid:03x} (no recipe)")


if __name__ == "__main__":
    main()
