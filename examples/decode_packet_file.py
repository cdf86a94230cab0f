"""Decode a file of CCSDS space packets into one CSV file per APID.

The stream is split at the packet lengths of the primary headers, each packet
is decoded with the recipe of its APID (ccsds_packets.RECIPES) and written
out at once, and packets of other APIDs are counted and skipped. With
--progress and tqdm installed (`pip install kestrune[progress]`), a progress
bar follows the bytes decoded.

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
from types import TracebackType
from typing import IO, Any

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


class CsvByApid:
    """One CSV file per APID, opened at its first row, with the recipe's field names as columns."""

    def __init__(self, out_dir: Path) -> None:
        self.out_dir = out_dir
        self.files: dict[int, tuple[IO[str], csv.DictWriter[str]]] = {}

    def write(self, values: dict[str, Any]) -> None:
        apid = values["apid"]
        if apid not in self.files:
            self.out_dir.mkdir(parents=True, exist_ok=True)
            file = csv_path(self.out_dir, apid).open("w", newline="")
            writer = csv.DictWriter(file, fieldnames=[item["name"] for item in RECIPES[apid]])
            writer.writeheader()
            self.files[apid] = (file, writer)
        self.files[apid][1].writerow(values)

    def paths(self) -> list[Path]:
        return [csv_path(self.out_dir, apid) for apid in self.files]

    def __enter__(self) -> CsvByApid:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        for file, _ in self.files.values():
            file.close()


def decode_file_to_csv(path: Path, out_dir: Path, progress: bool = False) -> tuple[list[Path], Counter[int]]:
    """The CSV files written, and the number of skipped packets per APID without a recipe."""
    data = path.read_bytes()
    skipped: Counter[int] = Counter()
    with CsvByApid(out_dir) as out:
        for packet in with_progress(split_packets(data), len(data), progress):
            values = decode_packet(packet)
            if values is None:
                skipped[apid_of(packet)] += 1
            else:
                out.write(values)
    return out.paths(), skipped


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("packets", type=Path, help="file of concatenated space packets")
    parser.add_argument("out_dir", type=Path, help="directory for the CSV files")
    parser.add_argument("--progress", action="store_true", help="show a progress bar (needs tqdm)")
    args = parser.parse_args(argv)

    paths, skipped = decode_file_to_csv(args.packets, args.out_dir, args.progress)
    for path in paths:
        print(f"wrote {path}")
    for apid, count in sorted(skipped.items()):
        print(f"skipped {count} packets of APID 0x{apid:03x} (no recipe)")


if __name__ == "__main__":
    main()
