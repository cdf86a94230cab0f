"""The kestrune-ccsds command: inspect, decode and plot files of CCSDS space packets.

    kestrune-ccsds inspect FILE... [--recipes MODULE:NAME --time coarse_time+fine_time/65536]
    kestrune-ccsds decode FILE... --recipes MODULE:NAME --out DIR [--format parquet|csv|feather]
    kestrune-ccsds plot FILE --recipes MODULE:NAME --param NAME... --out plot.png

Every failure is one line on stderr and exit status 1 (2 for a wrong command
line); --debug shows the traceback as well.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import datetime
import importlib
import importlib.util
import os
import re
import sys
import traceback
from collections import Counter
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any, Literal, TextIO

import numpy as np

import kestrune_ccsds

PROG = "kestrune-ccsds"

# The extra of the distribution that installs each optional library.
EXTRAS = {"pyarrow": "arrow", "pandas": "pandas", "tqdm": "progress", "matplotlib": "plot", "lxml": "xtce",
          "dask": "parallel", "distributed": "parallel"}

FORMATS = {"parquet": ".parquet", "feather": ".feather", "csv": ".csv"}


class CliError(Exception):
    """A failure the command reports as one line, without a traceback."""


def need(module: str, purpose: str) -> Any:
    """The optional library `module`, or a CliError naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(f"{purpose} needs {module}: pip install 'kestrune[{EXTRAS[module]}]'") from None


def describe(error: BaseException) -> str:
    """One line for an exception: its message, its notes (packet, byte offset, item) in parentheses."""
    if isinstance(error, CliError):
        return str(error)
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    # kestrune's ValueErrors already start with the original error's type.
    text = str(error) if isinstance(error, ValueError) and str(error) else f"{type(error).__name__}: {error}"
    notes = [str(note) for note in getattr(error, "__notes__", ())]
    return f"{text} ({'; '.join(notes)})" if notes else text


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Reports any failure inside as a CliError that starts with `path`."""
    try:
        yield
    except CliError:
        raise
    except Exception as error:
        text = describe(error)
        # Stream errors already start with the path.
        raise CliError(text if text.startswith(f"{path}: ") else f"{path}: {text}") from error


# ---------------------------------------------------------------------------
# Layouts: the recipes by APID (or a definition) that decode packets

@contextlib.contextmanager
def on_import_path(folder: str) -> Iterator[None]:
    """Imports inside see modules of `folder` first, as when running a script from there."""
    sys.path.insert(0, folder)
    try:
        yield
    finally:
        with contextlib.suppress(ValueError):
            sys.path.remove(folder)


def load_recipes(reference: str) -> Any:
    """The object named by MODULE:NAME or FILE.py:NAME: a mapping of APIDs to recipes, or a definition."""
    source, colon, name = reference.rpartition(":")
    if not colon or not source or not name:
        raise CliError(f"--recipes takes MODULE:NAME or FILE.py:NAME, not {reference!r}")
    is_file = source.endswith(".py") or "/" in source or os.sep in source
    if is_file and not Path(source).is_file():
        raise CliError(f"--recipes {reference}: no file {source}")
    try:
        if is_file:
            path = Path(source).resolve()
            module_name = f"_kestrune_recipes_{re.sub(r'\W', '_', path.stem)}"
            module_spec = importlib.util.spec_from_file_location(module_name, path)
            assert module_spec is not None and module_spec.loader is not None  # a .py file always has both
            module = importlib.util.module_from_spec(module_spec)
            sys.modules[module_name] = module  # dataclasses and pickling look a module up by name
            with on_import_path(str(path.parent)):
                module_spec.loader.exec_module(module)
        else:
            with on_import_path(os.getcwd()):
                module = importlib.import_module(source)
    except Exception as error:
        raise CliError(f"--recipes {reference}: importing {source} failed: {type(error).__name__}: {error}") from error

    layouts: Any = module
    for part in name.split("."):
        if not hasattr(layouts, part):
            raise CliError(f"--recipes {reference}: {source} has no name {name!r}")
        layouts = getattr(layouts, part)
    if hasattr(layouts, "_decode"):  # a definition decodes itself
        return layouts
    if not isinstance(layouts, Mapping):
        raise CliError(f"--recipes {reference}: {name} is a {type(layouts).__name__}, not a mapping of APIDs to recipes")
    for apid, recipe in layouts.items():
        if isinstance(apid, bool) or not isinstance(apid, int) or not 0 <= apid <= 0x7FF:
            raise CliError(f"--recipes {reference}: key {apid!r} of {name} is not an APID (an int from 0 to 2047)")
        if not isinstance(recipe, (list, tuple)):
            raise CliError(f"--recipes {reference}: the recipe of APID {apid} is a {type(recipe).__name__}, "
                           "not a list of items")
        # Checked now, so that a bad item is reported as the recipe's fault, not the file's.
        try:
            kestrune_ccsds.compile_plan(kestrune_ccsds.recipe_fields(recipe))
        except (TypeError, ValueError) as error:
            raise CliError(f"--recipes {reference}: the recipe of APID {apid}: {describe(error)}") from error
    return layouts


def add_layout_options(parser: argparse.ArgumentParser, required: bool) -> None:
    """The options that say how packets are decoded; load_layouts turns them into what decode() takes."""
    group = parser.add_mutually_exclusive_group(required=required)
    group.add_argument("--recipes", metavar="MODULE:NAME",
                       help="a Python mapping of APID to kestrune unpack recipe, in an importable module "
                            "or a file (path/to/file.py:NAME)")
    group.add_argument("--xtce", metavar="DEF.xml",
                       help="an XTCE definition: one table per concrete container, named by the container")


def load_layouts(args: argparse.Namespace) -> Any:
    """What decode() takes for the layout options given, or None when none is."""
    if args.recipes is not None:
        return load_recipes(args.recipes)
    if args.xtce is not None:
        return load_definition(args.xtce)
    return None


def load_definition(path: str) -> Any:
    """The XTCE definition in `path`, or a CliError naming the file and what is wrong with it."""
    need("lxml", "--xtce")
    source = Path(path)
    if not source.exists():
        raise CliError(f"--xtce {path}: no such file")
    if source.is_dir():
        raise CliError(f"--xtce {path}: is a directory, not an XTCE file")
    try:
        return kestrune_ccsds.load_xtce(source)
    except (OSError, ValueError, TypeError) as error:
        raise CliError(f"--xtce {path}: {describe(error)}") from error


def table_name(key: object) -> str:
    """The file name stem of a table: apid_064 for an APID, the key with only safe characters otherwise."""
    if isinstance(key, int):
        return f"apid_{key:03x}"
    return re.sub(r"[^\w.-]", "_", str(key)).lstrip(".") or "table"


def label(key: object) -> str:
    """A table as the messages name it: an APID in decimal, as the stream report gives it, and in hex."""
    if isinstance(key, int):
        return f"APID {key} (0x{key:03x})"
    return str(key)


def parse_key(text: str) -> object:
    """A table key as typed: an APID in decimal or 0x hex, else a container name."""
    try:
        return int(text, 0)
    except ValueError:
        return text


# ---------------------------------------------------------------------------
# Time

TIME = re.compile(r"^(?P<coarse>\w+)(?:\+(?P<fine>\w+)/(?P<divisor>\d+(?:\.\d*)?))?$")


class TimeField:
    """Packet time in seconds from a coarse column, plus a fine column over a divisor (coarse+fine/65536)."""

    def __init__(self, text: str, epoch: str | None) -> None:
        match = TIME.match(text)
        if match is None or (match["divisor"] is not None and float(match["divisor"]) == 0):
            raise CliError(f"--time takes NAME or NAME+NAME/DIVISOR (as coarse_time+fine_time/65536), not {text!r}")
        self.coarse, self.fine = match["coarse"], match["fine"]
        self.divisor = float(match["divisor"]) if match["divisor"] else 1.0
        self.epoch: np.datetime64 | None = None
        if epoch is not None:
            try:
                moment = datetime.datetime.fromisoformat(epoch)
            except ValueError:
                raise CliError(f"--epoch takes a date as 1958-01-01 or 1970-01-01T00:00:00, not {epoch!r}") from None
            self.epoch = np.datetime64(moment.replace(tzinfo=None), "ns")

    def names(self) -> list[str]:
        return [self.coarse] + ([self.fine] if self.fine else [])

    def seconds(self, table: Any) -> np.ndarray | None:
        """Seconds of every row (NaN where a cell is null), or None if the table lacks a time column."""
        if any(name not in table.columns for name in self.names()):
            return None
        seconds = numeric(table, self.coarse)
        if self.fine:
            seconds = seconds + numeric(table, self.fine) / self.divisor
        return seconds

    def moments(self, seconds: np.ndarray) -> np.ndarray:
        """Seconds as they are shown: datetimes after the epoch if one was given."""
        if self.epoch is None:
            return seconds
        moments: np.ndarray = self.epoch + (seconds * 1e9).astype("timedelta64[ns]")  # NaN becomes NaT
        return moments

    def show(self, value: Any) -> str:
        if self.epoch is None:
            return f"{value:.6f}".rstrip("0").rstrip(".")
        return str(value)


def numeric(table: Any, name: str) -> np.ndarray:
    """A column as float64 with NaN in its null cells; a CliError for text or bytes."""
    column = table.columns[name]
    if column.dtype.kind not in "biuf":
        held = "text or bytes" if column.dtype.kind == "O" else str(column.dtype)
        raise CliError(f"parameter {name!r} of {label(table.key)} holds {held}, not numbers")
    values = np.array(column, dtype=np.float64)
    mask = table.mask.get(name)
    if mask is not None:
        values[mask] = np.nan
    return values


# ---------------------------------------------------------------------------
# Reading

def open_stream(path: str, prefix_bytes: int, errors: Literal["raise", "report"]) -> Any:
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a file of packets")
    with about(path):
        return kestrune_ccsds.read_packets(path, prefix_bytes=prefix_bytes, errors=errors)


def progress_wanted(choice: bool | None) -> bool:
    """--progress needs tqdm; by default the bar shows when stderr is a terminal and tqdm is there."""
    if choice:
        need("tqdm", "--progress")
        return True
    if choice is None and sys.stderr.isatty():
        return importlib.util.find_spec("tqdm") is not None
    return False


def stream_warnings(path: str, report: Any) -> list[str]:
    """One line for every problem of a stream's report: nothing is dropped without a word."""
    lines = []
    if report.truncated is not None:
        lines.append(f"{path}: truncated packet at byte offset {report.truncated.offset}: "
                     f"{report.truncated.missing_bytes} bytes missing")
    for offset, length in report.unparsed:
        lines.append(f"{path}: {length} bytes at byte offset {offset} are not a packet")
    for key, count in report.longer_than_recipe.items():
        lines.append(f"{path}: {count} packets of {label(key)} are longer than their layout")
    return lines


def skipped_apids(stream: Any, layouts: Any) -> Counter[int]:
    """Packets per APID that a mapping of recipes does not decode."""
    if not isinstance(layouts, Mapping):
        return Counter()
    apids, counts = np.unique(stream.apids, return_counts=True)
    return Counter({int(a): int(c) for a, c in zip(apids, counts, strict=True) if int(a) not in layouts})


def warn(line: str) -> None:
    print(f"{PROG}: warning: {line}", file=sys.stderr)


# ---------------------------------------------------------------------------
# inspect

def run_inspect(args: argparse.Namespace) -> None:
    layouts = load_layouts(args)
    time = TimeField(args.time, args.epoch) if args.time else None
    if time is not None and layouts is None:
        raise CliError("--time needs --recipes or --xtce to decode the time field")
    for number, path in enumerate(args.files):
        stream = open_stream(path, args.prefix_bytes, "report")
        tables = {}
        if layouts is not None:
            with about(path):
                tables = kestrune_ccsds.decode(stream, layouts, errors="mask")
        report = stream.report()
        if number:
            print()
        print(f"{path}:")
        print(indent(str(report)))
        if len(stream):
            print(indent(packet_sizes(stream)))
        if layouts is not None:
            print(indent(decoded_counts(stream, tables, layouts)))
        if time is not None:
            print(indent(time_spans(tables, time)))


def indent(text: str) -> str:
    return "\n".join(f"  {line}" for line in text.splitlines())


def packet_sizes(stream: Any) -> str:
    parts = []
    for apid in np.unique(stream.apids):
        lengths = stream.lengths[stream.apids == apid]
        low, high = int(lengths.min()), int(lengths.max())
        parts.append(f"APID {int(apid)} {low}" + (f"-{high}" if high != low else ""))
    return "packet sizes in bytes: " + ", ".join(parts)


def decoded_counts(stream: Any, tables: Mapping[object, Any], layouts: Any) -> str:
    """How many packets each table took, with how many of them have null cells, and
    how many packets no table took; then the first null cell, if any."""
    parts = []
    first = None
    for key, table in tables.items():
        if not len(table):
            continue
        bad = len({index for index, _, _ in table.errors})
        parts.append(f"{label(key)} {len(table)} packet{'' if len(table) == 1 else 's'}"
                     + (f" ({bad} with null cells)" if bad else ""))
        if bad and first is None:
            index, item, message = table.errors[0]
            first = (f"first null cell: {label(key)}: packet {index} at byte offset "
                     f"{int(stream.offsets[index])}, {item}: {message}")
    left = len(stream) - sum(len(table) for table in tables.values())
    reason = "without a recipe" if isinstance(layouts, Mapping) else "in no container"
    line = "decoded: " + (", ".join(parts) if parts else "no packet")
    if left:
        line += f"; {left} packet{'' if left == 1 else 's'} {reason}"
    return line if first is None else f"{line}\n{first}"


def time_spans(tables: Mapping[object, Any], time: TimeField) -> str:
    lines = []
    for key, table in tables.items():
        if not len(table):
            continue
        seconds = time.seconds(table)
        if seconds is None:
            lines.append(f"time of {label(key)}: no field {' or '.join(time.names())}")
            continue
        valid = seconds[~np.isnan(seconds)]
        if not len(valid):
            lines.append(f"time of {label(key)}: no valid value")
            continue
        first, last = time.moments(np.array([valid.min(), valid.max()]))
        lines.append(f"time of {label(key)}: {time.show(first)} to {time.show(last)} "
                     f"({valid.max() - valid.min():g} s)")
    return "\n".join(lines) if lines else "time: no decoded packets"


# ---------------------------------------------------------------------------
# decode

class Output:
    """One table's file, written under a temporary name and renamed only when all of it is there."""

    def __init__(self, final: Path, form: str) -> None:
        self.final, self.form = final, form
        self.temp = final.with_name(final.name + ".partial")
        self.rows = 0
        self.columns: list[str] | None = None
        self.writer: Any = None
        self.schema: Any = None
        self.file: TextIO | None = None

    def write(self, table: Any) -> None:
        names = list(table.columns)
        if self.columns is None:
            self.columns = names
        elif names != self.columns:
            raise CliError(f"{label(table.key)} has other columns in this file than in the previous ones")
        if self.form == "csv":
            self._write_csv(table)
        else:
            arrow = table.to_arrow()
            if self.writer is None:
                self.schema = arrow.schema
                self.writer = self._arrow_writer(arrow.schema)
            elif arrow.schema != self.schema:
                arrow = arrow.cast(self.schema)
            self.writer.write_table(arrow)
        self.rows += len(table)

    def _arrow_writer(self, schema: Any) -> Any:
        if self.form == "parquet":
            return importlib.import_module("pyarrow.parquet").ParquetWriter(str(self.temp), schema)
        return importlib.import_module("pyarrow.ipc").new_file(str(self.temp), schema)

    def _write_csv(self, table: Any) -> None:
        assert self.columns is not None
        if self.file is None:
            self.file = self.temp.open("w", newline="", encoding="utf-8")
            self.writer = csv.writer(self.file)
            self.writer.writerow(self.columns)
        cells = []
        for name in self.columns:
            values = table.columns[name].tolist()
            if values and isinstance(values[0], bytes):
                values = [value.hex() for value in values]
            mask = table.mask.get(name)
            if mask is not None:
                values = ["" if null else value for value, null in zip(values, mask.tolist(), strict=True)]
            cells.append(values)
        self.writer.writerows(zip(*cells, strict=True))

    def close(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None
        elif self.writer is not None:
            self.writer.close()
        self.writer = None

    def commit(self) -> None:
        self.close()
        os.replace(self.temp, self.final)

    def abort(self) -> None:
        with contextlib.suppress(Exception):
            self.close()
        self.temp.unlink(missing_ok=True)


def run_decode(args: argparse.Namespace) -> None:
    layouts = load_layouts(args)
    if args.format != "csv":
        need("pyarrow", f"--format {args.format}")
    progress = progress_wanted(args.progress)
    out = Path(args.out)
    if out.exists() and not out.is_dir():
        raise CliError(f"--out {out}: exists and is not a directory")
    streams = [open_stream(path, args.prefix_bytes, "report" if args.keep_going else "raise")
               for path in args.files]
    created = not out.exists()
    out.mkdir(parents=True, exist_ok=True)

    outputs: dict[object, Output] = {}
    names: dict[str, object] = {}
    skipped: Counter[int] = Counter()
    masked: Counter[object] = Counter()
    try:
        for path, stream in zip(args.files, streams, strict=True):
            with about(path):
                tables = kestrune_ccsds.decode(stream, layouts, errors="mask" if args.keep_going else "raise",
                                               progress=progress)
            for line in stream_warnings(path, stream.report()):
                warn(line)
            skipped.update(skipped_apids(stream, layouts))
            for key, table in tables.items():
                if not len(table):
                    continue
                if key not in outputs:
                    name = table_name(key)
                    if name in names:
                        raise CliError(f"tables {names[name]!r} and {key!r} would both be written to {name}")
                    names[name] = key
                    outputs[key] = Output(out / (name + FORMATS[args.format]), args.format)
                if table.errors:
                    # The first bad cell of each table and file; the summary counts them all.
                    index, item, message = table.errors[0]
                    warn(f"{path}: {label(key)}: packet {index} at byte offset {int(stream.offsets[index])}, "
                         f"{item}: {message}")
                    masked[key] += len({index for index, _, _ in table.errors})
                with about(path):
                    outputs[key].write(table)
        for output in outputs.values():
            output.commit()
    except BaseException:
        for output in outputs.values():
            output.abort()
        if created:
            with contextlib.suppress(OSError):
                out.rmdir()  # only if still empty
        raise

    for key, output in outputs.items():
        count = masked[key]
        extra = f", {count} packet{'' if count == 1 else 's'} with null cells" if count else ""
        print(f"{label(key)}: {output.rows} rows, {len(output.columns or [])} columns{extra} -> {output.final}")
    for apid, count in sorted(skipped.items()):
        print(f"skipped {count} packets of {label(apid)}: no recipe")
    if not outputs:
        print("no packet matched a layout: nothing written")


# ---------------------------------------------------------------------------
# plot

def run_plot(args: argparse.Namespace) -> None:
    matplotlib = need("matplotlib", "plot")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    layouts = load_layouts(args)
    time = TimeField(args.time, args.epoch) if args.time else None
    out = Path(args.out)
    stream = open_stream(args.file, args.prefix_bytes, "raise")
    with about(args.file):
        tables = kestrune_ccsds.decode(stream, layouts, errors="mask", progress=progress_wanted(args.progress))
    if args.key is not None:
        key = parse_key(args.key)
        if key not in tables or not len(tables[key]):
            raise CliError(f"--key {args.key}: no packets of {label(key)} in {args.file}")
        tables = {key: tables[key]}

    figure, axes = plt.subplots(len(args.param), 1, sharex=True, squeeze=False,
                                figsize=(10, 1.2 + 2.2 * len(args.param)))
    supported = figure.canvas.get_supported_filetypes()
    if out.suffix[1:].lower() not in supported:
        plt.close(figure)
        raise CliError(f"--out {out}: unknown image type {out.suffix!r}; use one of {', '.join(sorted(supported))}")
    try:
        for axis, name in zip(axes[:, 0], args.param, strict=True):
            table = pick_table(tables, name)
            if table.errors:
                index, item, message = table.errors[0]
                bad = len({i for i, _, _ in table.errors})
                warn(f"{args.file}: {label(table.key)}: {bad} packet{'' if bad == 1 else 's'} with null cells, "
                     f"the first: packet {index} at byte offset {int(stream.offsets[index])}, {item}: {message}")
            y = numeric(table, name)
            if time is None:
                x, xlabel = table.packet_index, "packet index in the file"
            else:
                seconds = time.seconds(table)
                if seconds is None:
                    raise CliError(f"--time: {label(table.key)} has no field {' or '.join(time.names())}")
                x = time.moments(seconds)
                xlabel = f"time (from {args.epoch})" if time.epoch is not None else f"time (s, {time.coarse})"
            axis.plot(x, y, ".-", markersize=2, linewidth=0.6)
            unit = getattr(table, "units", {}).get(name)
            axis.set_ylabel(f"{name} ({unit})" if unit else name)
            axis.set_title(f"{label(table.key)}: {name}", fontsize=9, loc="left")
            axis.grid(True, alpha=0.3)
        axes[-1, 0].set_xlabel(xlabel)
        figure.suptitle(Path(args.file).name, fontsize=10)
        figure.tight_layout()
        temp = out.with_name(out.name + ".partial")
        try:
            figure.savefig(temp, format=out.suffix[1:].lower(), dpi=110)
            os.replace(temp, out)
        finally:
            temp.unlink(missing_ok=True)
    finally:
        plt.close(figure)
    print(f"{', '.join(args.param)} -> {out}")


def pick_table(tables: Mapping[object, Any], name: str) -> Any:
    holders = [table for table in tables.values() if len(table) and name in table.columns]
    if not holders:
        raise CliError(f"--param {name}: no decoded table has this parameter")
    if len(holders) > 1:
        raise CliError(f"--param {name}: in several tables: {', '.join(label(t.key) for t in holders)}; "
                       "choose one with --key")
    return holders[0]


# ---------------------------------------------------------------------------

def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--prefix-bytes", type=non_negative, default=0, metavar="N",
                        help="a record header of N bytes before every packet, skipped")
    common.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    timing = argparse.ArgumentParser(add_help=False)
    timing.add_argument("--time", metavar="NAME[+NAME/DIVISOR]",
                        help="packet time in seconds from decoded fields, as coarse_time+fine_time/65536")
    timing.add_argument("--epoch", metavar="DATE", help="show times as dates counted from DATE (as 1958-01-01), without leap seconds")
    progress = argparse.ArgumentParser(add_help=False)
    progress.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                          help="a progress bar (tqdm); by default shown when stderr is a terminal")

    parser = argparse.ArgumentParser(prog=PROG, description="Inspect, decode and plot files of CCSDS space packets.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    inspect = commands.add_parser("inspect", parents=[common, timing],
                                  help="APIDs, counts, sizes, sequence gaps and stream problems of packet files")
    inspect.add_argument("files", nargs="+", metavar="FILE", help="files of space packets, one after the other")
    add_layout_options(inspect, required=False)
    inspect.set_defaults(run=run_inspect)

    decode = commands.add_parser("decode", parents=[common, progress], help="decode packet files into one table per APID")
    decode.add_argument("files", nargs="+", metavar="FILE",
                        help="files of space packets, one after the other; their tables are joined in this order")
    add_layout_options(decode, required=True)
    decode.add_argument("--out", required=True, metavar="DIR", help="directory of the tables (created if needed)")
    decode.add_argument("--format", choices=list(FORMATS), default="parquet", help="file format (default: parquet)")
    decode.add_argument("--keep-going", action="store_true",
                        help="decode what can be: bad cells become null, bytes that are not packets are left "
                             "out; stderr tells every stream problem and the first bad cell of each table")
    decode.set_defaults(run=run_decode)

    plot = commands.add_parser("plot", parents=[common, timing, progress],
                               help="a quick-look plot of parameters against packet time or index")
    plot.add_argument("file", metavar="FILE", help="a file of space packets, one after the other")
    add_layout_options(plot, required=True)
    plot.add_argument("--param", nargs="+", required=True, metavar="NAME", help="parameters to plot, one panel each")
    plot.add_argument("--key", metavar="APID|NAME", help="the table to take the parameters from (APID as 100 or 0x64)")
    plot.add_argument("--out", required=True, metavar="IMAGE", help="the image file (.png, .pdf, .svg, ...)")
    plot.set_defaults(run=run_plot)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        run(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:
        if args.debug:
            traceback.print_exc()
        print(f"{PROG}: error: {describe(error)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
