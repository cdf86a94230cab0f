"""Packet streams: a source of concatenated space packets, split at the
lengths that the primary headers give, with a report of what the source
holds besides whole packets."""

from __future__ import annotations

import mmap
import os
import stat
from collections.abc import Iterable
from dataclasses import dataclass
from typing import IO, Literal, Union

import numpy as np
import numpy.typing as npt

from . import _native

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, mmap.mmap, IO[bytes]]

# The scanner's stop codes.
_END, _SHORT_HEADER, _SHORT_PACKET = 0, 1, 2
_COUNTER = 1 << 14  # the sequence count is 14 bits and wraps around


class PacketStreamError(ValueError):
    """A source that is not a clean sequence of packets, or cannot be read.

    `offset` is the byte offset in the source where the problem lies (None
    when the source could not be read at all)."""

    def __init__(self, message: str, offset: int | None = None) -> None:
        super().__init__(message)
        self.offset = offset


@dataclass(frozen=True)
class TruncatedPacket:
    """A packet at the end of the source whose header asks for more bytes
    than remain."""

    offset: int
    missing_bytes: int


@dataclass(frozen=True)
class ApidReport:
    apid: int
    packets: int
    bytes: int
    gaps: int  # places where sequence counts jump forward
    missing: int  # packets those jumps skip
    repeats: int  # packets whose count equals the previous one's


@dataclass(frozen=True)
class StreamReport:
    apids: dict[int, ApidReport]
    packets: int
    bytes_in_packets: int
    source_bytes: int
    truncated: TruncatedPacket | None
    unparsed: list[tuple[int, int]]
    longer_than_recipe: dict[object, int]
    # Bytes of the fixed-size record prefixes in front of the packets.
    prefix_bytes_total: int = 0

    def __str__(self) -> str:
        lines = [
            f"{self.packets} packets, {self.bytes_in_packets} bytes in packets, {self.source_bytes} bytes in the source"
        ]
        if self.prefix_bytes_total:
            lines.append(f"record prefixes: {self.prefix_bytes_total} bytes")
        for apid in sorted(self.apids):
            a = self.apids[apid]
            lines.append(
                f"APID {apid}: {a.packets} packets, {a.bytes} bytes, {a.gaps} sequence gaps "
                f"({a.missing} packets missing), {a.repeats} repeated counts"
            )
        if self.truncated is not None:
            lines.append(
                f"truncated packet at byte offset {self.truncated.offset}: "
                f"{self.truncated.missing_bytes} bytes missing"
            )
        for offset, length in self.unparsed:
            lines.append(f"{length} bytes at byte offset {offset} are not a packet")
        for key, count in self.longer_than_recipe.items():
            lines.append(f"{key}: {count} packets longer than their layout (trailing bytes not decoded)")
        if self.packets == 0:
            lines.append("no packets")
        return "\n".join(lines)


def _read_only(view: memoryview) -> memoryview:
    if not view.c_contiguous:
        raise TypeError("read_packets() needs a contiguous buffer")
    if view.format != "B" or view.ndim != 1:
        view = view.cast("B")
    return view.toreadonly()


def _map_file(f: IO[bytes], name: str) -> memoryview:
    """The whole file as a read-only view: mapped when it is a regular file,
    read otherwise (pipes, character devices)."""
    fd = f.fileno()
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        data = f.read()
        return memoryview(data if isinstance(data, bytes) else bytes(data))
    if info.st_size == 0:
        return memoryview(b"")
    return memoryview(mmap.mmap(fd, 0, access=mmap.ACCESS_READ))


def _open_path(path: str) -> memoryview:
    try:
        with open(path, "rb") as f:
            return _map_file(f, path)
    except FileNotFoundError:
        raise PacketStreamError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise PacketStreamError(f"{path}: is a directory, not a packet file") from None
    except OSError as e:
        raise PacketStreamError(f"{path}: cannot read: {e.strerror or e}") from None


def _source_view(source: object) -> tuple[memoryview, str]:
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(source))
        return _open_path(path), path
    if isinstance(source, (bytes, bytearray, memoryview, mmap.mmap)):
        return _read_only(memoryview(source)), "<bytes>"
    read = getattr(source, "read", None)
    if callable(read):
        name = getattr(source, "name", None)
        label = name if isinstance(name, str) else "<file>"
        fileno = getattr(source, "fileno", None)
        tell = getattr(source, "tell", None)
        if callable(fileno) and callable(tell):
            try:
                at_start = tell() == 0
                fileno()
            except (OSError, ValueError):
                at_start = False
            if at_start:
                return _map_file(source, label), label  # type: ignore[arg-type]
        data = read()
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"read_packets() needs a binary file: read() returned {type(data).__name__}")
        return _read_only(memoryview(data)), label
    raise TypeError(
        "read_packets() needs a path, a bytes-like object, an mmap or a binary file, "
        f"not {type(source).__name__}"
    )


class PacketStream:
    """The packets of one source: where each lies and what its primary
    header says, as NumPy arrays, over the source's bytes (shared, never
    copied)."""

    def __init__(
        self,
        buffer: memoryview,
        source_name: str,
        prefix_bytes: int,
        arrays: tuple[
            npt.NDArray[np.uint64],
            npt.NDArray[np.uint32],
            npt.NDArray[np.uint16],
            npt.NDArray[np.uint16],
            npt.NDArray[np.uint8],
            npt.NDArray[np.uint8],
        ],
        truncated: TruncatedPacket | None,
        unparsed: list[tuple[int, int]],
    ) -> None:
        self._buffer = buffer
        self._source_name = source_name
        self._prefix_bytes = prefix_bytes
        (
            self._offsets,
            self._lengths,
            self._apids,
            self._sequence_counts,
            self._sequence_flags,
            self._packet_types,
        ) = arrays
        self._truncated = truncated
        self._unparsed = unparsed
        self._longer: dict[object, int] = {}

    @property
    def offsets(self) -> npt.NDArray[np.uint64]:
        return self._offsets

    @property
    def lengths(self) -> npt.NDArray[np.uint32]:
        return self._lengths

    @property
    def apids(self) -> npt.NDArray[np.uint16]:
        return self._apids

    @property
    def sequence_counts(self) -> npt.NDArray[np.uint16]:
        return self._sequence_counts

    @property
    def sequence_flags(self) -> npt.NDArray[np.uint8]:
        return self._sequence_flags

    @property
    def packet_types(self) -> npt.NDArray[np.uint8]:
        return self._packet_types

    @property
    def buffer(self) -> memoryview:
        return self._buffer

    @property
    def source_name(self) -> str:
        return self._source_name

    @property
    def nbytes(self) -> int:
        return self._buffer.nbytes

    @property
    def prefix_bytes(self) -> int:
        return self._prefix_bytes

    def __len__(self) -> int:
        return len(self._offsets)

    def __repr__(self) -> str:
        return f"<PacketStream {self._source_name!r}: {len(self)} packets, {self.nbytes} bytes>"

    def packet(self, i: int) -> bytes:
        """The bytes of packet i (primary header first)."""
        n = len(self)
        if not -n <= i < n:
            raise IndexError(f"packet index {i} out of range for a stream of {n} packets")
        start = int(self._offsets[i])
        return bytes(self._buffer[start : start + int(self._lengths[i])])

    def select(self, apids: int | Iterable[int]) -> PacketStream:
        """The packets of the given APIDs, in stream order, over the same buffer."""
        wanted = [apids] if isinstance(apids, int) else list(apids)
        keep = np.isin(self._apids, np.asarray(wanted, dtype=np.int64))
        arrays = (
            self._offsets[keep],
            self._lengths[keep],
            self._apids[keep],
            self._sequence_counts[keep],
            self._sequence_flags[keep],
            self._packet_types[keep],
        )
        for a in arrays:
            a.flags.writeable = False
        return PacketStream(
            self._buffer, self._source_name, self._prefix_bytes, arrays, self._truncated, list(self._unparsed)
        )

    def note_longer(self, key: object, count: int) -> None:
        """Records how many packets of `key` are longer than their layout
        (shown by report())."""
        if count:
            self._longer[key] = count
        else:
            self._longer.pop(key, None)

    def report(self) -> StreamReport:
        apids: dict[int, ApidReport] = {}
        if len(self):
            order = np.argsort(self._apids, kind="stable")
            sorted_apids = self._apids[order]
            counts = self._sequence_counts[order].astype(np.int64)
            lengths = self._lengths[order].astype(np.int64)
            starts = np.flatnonzero(np.r_[True, sorted_apids[1:] != sorted_apids[:-1]])
            ends = np.r_[starts[1:], len(order)]
            for s, e in zip(starts.tolist(), ends.tolist()):
                step = np.diff(counts[s:e]) % _COUNTER
                jumps = step[step > 1]
                apid = int(sorted_apids[s])
                apids[apid] = ApidReport(
                    apid=apid,
                    packets=e - s,
                    bytes=int(lengths[s:e].sum()),
                    gaps=len(jumps),
                    missing=int((jumps - 1).sum()),
                    repeats=int((step == 0).sum()),
                )
        return StreamReport(
            apids=apids,
            packets=len(self),
            bytes_in_packets=int(self._lengths.sum(dtype=np.uint64)),
            source_bytes=self.nbytes,
            truncated=self._truncated,
            unparsed=list(self._unparsed),
            longer_than_recipe=dict(self._longer),
            prefix_bytes_total=self._prefix_bytes * len(self),
        )


def read_packets(
    source: Source, *, prefix_bytes: int = 0, errors: Literal["raise", "report"] = "raise"
) -> PacketStream:
    """Splits a source into its space packets.

    `source` is a path (memory-mapped), bytes, bytearray, memoryview, mmap or
    a binary file object. `prefix_bytes` skips a fixed-size record header in
    front of every packet. A source that ends inside a packet, or is empty,
    raises PacketStreamError naming the byte offset; with errors="report"
    the stream keeps the whole packets and report() tells the rest."""
    if errors not in ("raise", "report"):
        raise ValueError(f"errors must be 'raise' or 'report', not {errors!r}")
    if isinstance(prefix_bytes, bool) or not isinstance(prefix_bytes, int):
        raise TypeError(f"prefix_bytes must be an int, not {type(prefix_bytes).__name__}")
    if prefix_bytes < 0:
        raise ValueError(f"prefix_bytes must not be negative (got {prefix_bytes})")
    view, name = _source_view(source)
    if view.nbytes == 0 and errors == "raise":
        raise PacketStreamError(f"{name}: the source is empty, it holds no packets", offset=0)
    offsets, lengths, apids, counts, flags, types, stop, at, needed, available = _native.scan(view, prefix_bytes)
    truncated: TruncatedPacket | None = None
    unparsed: list[tuple[int, int]] = []
    if stop == _SHORT_HEADER:
        what = "a record prefix and a packet header need" if prefix_bytes else "a packet header needs"
        if errors == "raise":
            raise PacketStreamError(
                f"{name}: incomplete packet at byte offset {at}: {available} bytes remain but {what} {needed}",
                offset=at,
            )
        unparsed.append((at, available))
    elif stop == _SHORT_PACKET:
        if errors == "raise":
            raise PacketStreamError(
                f"{name}: truncated packet at byte offset {at}: its header gives {needed} bytes "
                f"but only {available} remain ({needed - available} missing; "
                "a cut file or a corrupt length field)",
                offset=at,
            )
        truncated = TruncatedPacket(offset=at, missing_bytes=needed - available)
    arrays = (
        np.frombuffer(offsets, dtype=np.uint64),
        np.frombuffer(lengths, dtype=np.uint32),
        np.frombuffer(apids, dtype=np.uint16),
        np.frombuffer(counts, dtype=np.uint16),
        np.frombuffer(flags, dtype=np.uint8),
        np.frombuffer(types, dtype=np.uint8),
    )
    return PacketStream(view, name, prefix_bytes, arrays, truncated, unparsed)
