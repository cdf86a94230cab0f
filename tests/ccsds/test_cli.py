"""The kestrune-ccsds command end to end on generated packet files: its outputs
against kestrune.unpack_parameters, its exit codes, one line per failure,
and no output file left behind that could pass for a complete one."""

import csv
import functools
import importlib.util
import io
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("numpy")
import kestrune  # noqa: E402
from kestrune_ccsds import cli  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import ccsds_packets as cp  # noqa: E402

RECIPES = f"{EXAMPLES / 'ccsds_packets.py'}:RECIPES"


@pytest.fixture
def files(tmp_path):
    """Two sample files of housekeeping, event and idle packets."""
    paths = []
    for seed in (1, 2):
        path = tmp_path / f"part{seed}.bin"
        path.write_bytes(cp.sample_stream(120, seed=seed, start_time=1_700_000_000 + 120 * seed))
        paths.append(path)
    return paths


def expected_rows(paths):
    """Every packet with a recipe decoded by unpack_parameters, by APID, in file order."""
    rows = {}
    for path in paths:
        for packet in cp.split_packets(path.read_bytes()):
            values = cp.decode_packet(packet)
            if values is not None:
                rows.setdefault(values["apid"], []).append(values)
    return rows


def run(capsys, *argv):
    code = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return code, out, err


def read_table(path, form):
    if form == "csv":
        with path.open(newline="", encoding="utf-8") as file:
            return list(csv.DictReader(file))
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.feather
    import pyarrow.parquet

    table = pyarrow.parquet.read_table(path) if form == "parquet" else pyarrow.feather.read_table(path)
    assert isinstance(table, pyarrow.Table)
    return table.to_pylist()


@pytest.mark.parametrize("form", ["csv", "parquet", "feather"])
def test_decode_writes_one_table_per_apid_equal_to_unpack_parameters(capsys, tmp_path, files, form):
    if form != "csv":
        pytest.importorskip("pyarrow")
    out = tmp_path / "out"
    code, stdout, err = run(capsys, "decode", *files, "--recipes", RECIPES, "--out", out, "--format", form)
    assert (code, err) == (0, "")

    expected = expected_rows(files)
    assert sorted(os.listdir(out)) == [f"apid_064.{form}", f"apid_0c8.{form}"]
    skipped = sum(len(p) == 10 for path in files for p in cp.split_packets(path.read_bytes()))
    assert stdout.splitlines() == [
        f"APID 100 (0x064): {len(expected[0x64])} rows, 32 columns -> {out / 'apid_064'}.{form}",
        f"APID 200 (0x0c8): {len(expected[0xC8])} rows, 13 columns -> {out / 'apid_0c8'}.{form}",
        f"skipped {skipped} packets of APID 2047 (0x7ff): no recipe",
    ]
    for apid, rows in expected.items():
        got = read_table(out / f"apid_{apid:03x}.{form}", form)
        if form == "csv":  # CSV cells are the values' str(), floats at full precision
            rows = [{name: str(value) for name, value in row.items()} for row in rows]
        assert got == rows


def test_a_failure_removes_every_output_and_names_file_packet_and_item(capsys, tmp_path, files):
    out = tmp_path / "out"
    # An event packet whose length field leaves out the last 20 bytes of its text.
    event = next(p for p in cp.split_packets(files[1].read_bytes()) if len(p) == 47)
    short = bytearray(event[:27])
    short[4:6] = (len(short) - 7).to_bytes(2, "big")
    bad = tmp_path / "bad.bin"
    bad.write_bytes(files[1].read_bytes() + bytes(short))
    offset = len(files[1].read_bytes())
    index = len(list(cp.split_packets(files[1].read_bytes())))
    try:
        kestrune.unpack_parameters(bytes(short), 0, cp.RECIPES[0xC8])
    except ValueError as error:
        message = str(error)

    code, stdout, err = run(capsys, "decode", files[0], bad, "--recipes", RECIPES, "--out", out, "--format", "csv")
    assert (code, stdout) == (1, "")
    assert err == f"kestrune-ccsds: error: {bad}: {message} (packet {index} at byte offset {offset}, item 'message')\n"
    assert not out.exists()  # the first file's tables were written, then removed with the folder

    # With --keep-going the bad cell is null, the rest is written, and it says so.
    code, stdout, err = run(capsys, "decode", files[0], bad, "--recipes", RECIPES, "--out", out, "--format", "csv",
                            "--keep-going")
    assert code == 0
    assert err == f"kestrune-ccsds: warning: {bad}: APID 200 (0x0c8): packet {index} at byte offset {offset}, message: {message}\n"
    assert "APID 200 (0x0c8): " in stdout and ", 1 packet with null cells -> " in stdout
    rows = read_table(out / "apid_0c8.csv", "csv")
    assert rows[-1]["message"] == "" and rows[-1]["event_id"] == str(int.from_bytes(short[12:14], "big"))

    # A plot shows what decodes and says what does not.
    if importlib.util.find_spec("matplotlib"):
        image = tmp_path / "events.png"
        code, stdout, err = run(capsys, "plot", bad, "--recipes", RECIPES, "--param", "event_id", "--out", image)
        assert (code, stdout) == (0, f"event_id -> {image}\n")
        assert err == (f"kestrune-ccsds: warning: {bad}: APID 200 (0x0c8): 1 packet with null cells, the first: "
                       f"packet {index} at byte offset {offset}, message: {message}\n")


def test_inspect_reports_sizes_problems_and_time_span(capsys, tmp_path, files):
    data = files[0].read_bytes()
    truncated = tmp_path / "truncated.bin"
    truncated.write_bytes(data[:-5])
    import kestrune_ccsds

    report = kestrune_ccsds.read_packets(truncated, errors="report").report()
    assert report.truncated is not None
    code, stdout, err = run(capsys, "inspect", truncated, "--recipes", RECIPES, "--time", "coarse_time+fine_time/65536",
                            "--epoch", "1970-01-01")
    assert (code, err) == (0, "")
    lines = stdout.splitlines()
    assert lines[0] == f"{truncated}:"
    assert lines[1:-4] == ["  " + line for line in str(report).splitlines()]
    # The last packet (an event? a housekeeping packet?) is cut: the spans stop one packet earlier.
    rows = expected_rows([files[0]])
    span = {apid: [r["coarse_time"] + r["fine_time"] / 65536 for r in rows] for apid, rows in rows.items()}
    last_apid = cp.apid_of(list(cp.split_packets(data))[-1])
    span[last_apid].pop()
    assert lines[-4] == "  packet sizes in bytes: APID 100 58, APID 200 47, APID 2047 10"
    apids = kestrune_ccsds.read_packets(truncated, errors="report").apids.tolist()
    assert lines[-3] == (f"  decoded: APID 100 (0x064) {apids.count(100)} packets, APID 200 (0x0c8) "
                         f"{apids.count(200)} packets; {apids.count(2047)} packets without a recipe")
    import numpy as np

    for line, apid in zip(lines[-2:], (0x64, 0xC8), strict=True):
        first, last = (np.datetime64("1970-01-01", "ns") + np.timedelta64(int(round(t * 1e9)), "ns")
                       for t in (min(span[apid]), max(span[apid])))
        assert line == f"  time of APID {apid} (0x{apid:03x}): {first} to {last} ({max(span[apid]) - min(span[apid]):g} s)"


def test_plot_writes_the_image_only_when_complete(capsys, tmp_path, files):
    pytest.importorskip("matplotlib")
    image = tmp_path / "look.png"
    code, stdout, err = run(capsys, "plot", files[0], "--recipes", RECIPES, "--param", "bus_voltage", "gyro_x",
                            "--time", "coarse_time", "--out", image)
    assert (code, stdout, err) == (0, f"bus_voltage, gyro_x -> {image}\n", "")
    assert image.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    code, stdout, err = run(capsys, "plot", files[0], "--recipes", RECIPES, "--param", "seq_count", "--key", "0xc8",
                            "--out", tmp_path / "look.svg")
    assert code == 0 and (tmp_path / "look.svg").read_text().lstrip().startswith("<?xml")
    assert sorted(os.listdir(tmp_path)) == ["look.png", "look.svg", "part1.bin", "part2.bin"]

    # A file without events: seq_count is in one table only, the time span is that table's.
    housekeeping = tmp_path / "hk.bin"
    housekeeping.write_bytes(b"".join(p for p in cp.split_packets(files[0].read_bytes()) if len(p) == 58))
    code, stdout, err = run(capsys, "plot", housekeeping, "--recipes", RECIPES, "--param", "seq_count", "--out", image)
    assert (code, err) == (0, "")
    code, stdout, err = run(capsys, "inspect", housekeeping, "--recipes", RECIPES, "--time", "coarse_time")
    assert (code, err) == (0, "") and stdout.splitlines()[-1].startswith("  time of APID 100 (0x064): 1700000120 to ")


BAD_ITEM = {"name": "mode", "encoding": "unsignd", "bits": 4, "byte_order": "big", "reverse_bits": False}
BAD_MODULES = {
    "syntax.py": "RECIPES = {",
    "keys.py": "RECIPES = {'hk': []}",
    "apid.py": "RECIPES = {4096: []}",
    "items.py": "RECIPES = {100: 'unsigned'}",
    "width.py": f"RECIPES = {{100: [{BAD_ITEM!r}]}}",
}


@pytest.mark.parametrize(("argv", "message"), [
    (["decode", "{file}", "--recipes", "ccsds_packets", "--out", "{tmp}/o"],
     "--recipes takes MODULE:NAME or FILE.py:NAME, not 'ccsds_packets'"),
    (["decode", "{file}", "--recipes", "no_such_module:RECIPES", "--out", "{tmp}/o"],
     "--recipes no_such_module:RECIPES: importing no_such_module failed: "
     "ModuleNotFoundError: No module named 'no_such_module'"),
    (["decode", "{file}", "--recipes", "{tmp}/none.py:R", "--out", "{tmp}/o"], "--recipes {tmp}/none.py:R: no file {tmp}/none.py"),
    (["decode", "{file}", "--recipes", "{recipes}x", "--out", "{tmp}/o"],
     "--recipes {recipes}x: {examples}/ccsds_packets.py has no name 'RECIPESx'"),
    (["decode", "{file}", "--recipes", "{examples}/ccsds_packets.py:EVENT_APID", "--out", "{tmp}/o"],
     "--recipes {examples}/ccsds_packets.py:EVENT_APID: EVENT_APID is a int, not a mapping of APIDs to recipes"),
    (["decode", "{file}", "--recipes", "{tmp}/syntax.py:RECIPES", "--out", "{tmp}/o"],
     "--recipes {tmp}/syntax.py:RECIPES: importing {tmp}/syntax.py failed: SyntaxError: '{{' was never closed "
     "(syntax.py, line 1)"),
    (["decode", "{file}", "--recipes", "{tmp}/keys.py:RECIPES", "--out", "{tmp}/o"],
     "--recipes {tmp}/keys.py:RECIPES: key 'hk' of RECIPES is not an APID (an int from 0 to 2047)"),
    (["decode", "{file}", "--recipes", "{tmp}/apid.py:RECIPES", "--out", "{tmp}/o"],
     "--recipes {tmp}/apid.py:RECIPES: key 4096 of RECIPES is not an APID (an int from 0 to 2047)"),
    (["decode", "{file}", "--recipes", "{tmp}/items.py:RECIPES", "--out", "{tmp}/o"],
     "--recipes {tmp}/items.py:RECIPES: the recipe of APID 100 is a str, not a list of items"),
    (["decode", "{file}", "--recipes", "{tmp}/width.py:RECIPES", "--out", "{tmp}/o"],
     "--recipes {tmp}/width.py:RECIPES: the recipe of APID 100: {unpack_error} (in recipe item 0 'mode')"),
    (["decode", "{tmp}/missing.bin", "--recipes", "{recipes}", "--out", "{tmp}/o", "--format", "csv"], "{tmp}/missing.bin: no such file"),
    (["decode", "{tmp}", "--recipes", "{recipes}", "--out", "{tmp}/o", "--format", "csv"], "{tmp}: is a directory, not a file of packets"),
    (["decode", "{file}", "--recipes", "{recipes}", "--out", "{file}", "--format", "csv"], "--out {file}: exists and is not a directory"),
    (["decode", "{file}", "--recipes", "{recipes}", "--out", "{file}/o", "--format", "csv"], "{file}/o: Not a directory"),
    (["inspect", "{file}", "--time", "coarse_time"], "--time needs --recipes or --xtce to decode the time field"),
    (["inspect", "{file}", "--recipes", "{recipes}", "--time", "coarse_time+fine_time"],
     "--time takes NAME or NAME+NAME/DIVISOR (as coarse_time+fine_time/65536), not 'coarse_time+fine_time'"),
    (["inspect", "{file}", "--recipes", "{recipes}", "--time", "coarse_time", "--epoch", "launch"],
     "--epoch takes a date as 1958-01-01 or 1970-01-01T00:00:00, not 'launch'"),
    (["plot", "{file}", "--recipes", "{recipes}", "--param", "voltage", "--out", "{tmp}/p.png"],
     "--param voltage: no decoded table has this parameter"),
    (["plot", "{file}", "--recipes", "{recipes}", "--param", "seq_count", "--out", "{tmp}/p.png"],
     "--param seq_count: in several tables: APID 100 (0x064), APID 200 (0x0c8); choose one with --key"),
    (["plot", "{file}", "--recipes", "{recipes}", "--param", "message", "--out", "{tmp}/p.png"],
     "parameter 'message' of APID 200 (0x0c8) holds text or bytes, not numbers"),
    (["plot", "{file}", "--recipes", "{recipes}", "--param", "mode", "--key", "0x7ff", "--out", "{tmp}/p.png"],
     "--key 0x7ff: no packets of APID 2047 (0x7ff) in {file}"),
    (["plot", "{file}", "--recipes", "{recipes}", "--param", "mode", "--time", "event_id", "--out", "{tmp}/p.png"],
     "--time: APID 100 (0x064) has no field event_id"),
])
def test_failures_are_one_line_and_exit_1(capsys, tmp_path, files, argv, message):
    if argv[0] == "plot":
        pytest.importorskip("matplotlib")
    for name, text in BAD_MODULES.items():
        (tmp_path / name).write_text(text)
    with pytest.raises(ValueError) as unpack_error:
        kestrune.unpack_parameters(bytes(64), 0, [BAD_ITEM])
    names = {"file": files[0], "tmp": tmp_path, "recipes": RECIPES, "examples": EXAMPLES,
             "unpack_error": unpack_error.value}
    code, stdout, err = run(capsys, *(arg.format(**names) for arg in argv))
    assert (code, stdout, err) == (1, "", f"kestrune-ccsds: error: {message.format(**names)}\n")
    assert not (tmp_path / "o").exists() and not (tmp_path / "p.png").exists()


@pytest.mark.parametrize(("module", "argv", "message"), [
    ("pyarrow", ["decode", "{file}", "--recipes", "{recipes}", "--out", "{tmp}/o"],
     "--format parquet needs pyarrow: pip install 'kestrune[arrow]'"),
    ("tqdm", ["decode", "{file}", "--recipes", "{recipes}", "--out", "{tmp}/o", "--format", "csv", "--progress"],
     "--progress needs tqdm: pip install 'kestrune[progress]'"),
    ("matplotlib", ["plot", "{file}", "--recipes", "{recipes}", "--param", "mode", "--out", "{tmp}/p.png"],
     "plot needs matplotlib: pip install 'kestrune[plot]'"),
])
def test_a_missing_optional_library_names_its_extra(capsys, monkeypatch, tmp_path, files, module, argv, message):
    monkeypatch.setitem(sys.modules, module, None)  # import fails as if it were not installed
    names = {"file": files[0], "tmp": tmp_path, "recipes": RECIPES}
    code, stdout, err = run(capsys, *(arg.format(**names) for arg in argv))
    assert (code, stdout, err) == (1, "", f"kestrune-ccsds: error: {message}\n")
    assert not (tmp_path / "o").exists()


def test_installed_command_exit_codes_debug_traceback_and_progress_bar(tmp_path, files):
    command = Path(sys.executable).parent / "kestrune-ccsds"
    # A free-threaded interpreter warns that the codec module turns the GIL
    # on; that line is not the command's.
    env = dict(os.environ, PYTHONWARNINGS="ignore:The global interpreter lock (GIL) has been enabled:RuntimeWarning")
    run_command = functools.partial(subprocess.run, capture_output=True, text=True, timeout=60, env=env)
    result = run_command([command, "decode", tmp_path / "missing.bin", "--recipes", RECIPES, "--out", tmp_path,
                          "--format", "csv", "--debug"])
    assert result.returncode == 1
    assert result.stderr.startswith("Traceback (most recent call last):\n")
    assert result.stderr.endswith(f"kestrune-ccsds: error: {tmp_path}/missing.bin: no such file\n")
    # Usage errors exit 2, as argparse does.
    result = run_command([command, "decode", files[0]])
    assert result.returncode == 2 and "the following arguments are required: --out" in result.stderr
    # Not a terminal: no progress bar unless asked for.
    args = [command, "decode", files[0], "--recipes", RECIPES, "--out", tmp_path / "o", "--format", "csv"]
    quiet = run_command(args)
    assert (quiet.returncode, quiet.stderr) == (0, "")
    pytest.importorskip("tqdm")
    shown = run_command([*args, "--progress"])
    assert shown.returncode == 0 and "100%" in shown.stderr


def test_progress_bar_by_default_only_on_a_terminal(monkeypatch, tmp_path, files):
    pytest.importorskip("tqdm")

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stderr, shown in ((io.StringIO(), False), (Terminal(), True)):
        monkeypatch.setattr(sys, "stderr", stderr)
        assert cli.main(["decode", str(files[0]), "--recipes", RECIPES, "--out", str(tmp_path / "o"),
                         "--format", "csv"]) == 0
        assert ("100%" in stderr.getvalue()) == shown


def test_ctrl_c_removes_the_outputs_and_exits_130(capsys, monkeypatch, tmp_path, files):
    decode = cli.kestrune_ccsds.decode
    calls = []

    def interrupted_at_second_file(*args, **kwargs):
        calls.append(args[0])
        if len(calls) == 2:
            raise KeyboardInterrupt
        return decode(*args, **kwargs)

    monkeypatch.setattr(cli.kestrune_ccsds, "decode", interrupted_at_second_file)
    out = tmp_path / "o"
    code, stdout, err = run(capsys, "decode", *files, "--recipes", RECIPES, "--out", out, "--format", "csv")
    assert (code, stdout, err) == (130, "", "kestrune-ccsds: interrupted\n")
    assert len(calls) == 2 and not out.exists()
