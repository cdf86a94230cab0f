# The extension behind kestrune_ccsds: scanner and column decoder.
from collections.abc import Buffer
from typing import Any, NewType

NativePlan = NewType("NativePlan", object)

def scan(
    source: Buffer, prefix_bytes: int, /
) -> tuple[bytes, bytes, bytes, bytes, bytes, bytes, int, int, int, int]: ...
def compile(fields: list[tuple[object, ...]], /) -> Any: ...
def decode(
    plan: Any,
    buffer: Buffer,
    offsets: Buffer,
    lengths: Buffer,
    rows: Buffer,
    columns: list[Any],
    stop_first: bool,
    /,
) -> tuple[list[tuple[int, int, int, str]], list[list[object] | None], int, int]: ...
def rows(
    plan: Any, buffer: Buffer, offsets: Buffer, lengths: Buffer, rows: Buffer, /
) -> tuple[list[dict[str, object]], tuple[int, int, int, str] | None]: ...
