"""The CI scripts' own failure paths.

scripts/build-cpython.sh runs against a stand-in apt-get that serves files
from a directory: every way the fetch can go wrong ends in one SKIPPED or
FAILED line and its exit status, and a cached tarball that no longer matches
its .dsc is fetched again. scripts/ci-checks.sh runs stand-in steps: a skip
must give its reason, and the summary lists every step run."""

import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "build-cpython.sh"
TARBALL = "python3.13_3.13.5.orig.tar.xz"
PREFIX = "cannot fetch CPython's source (python3.13 3.13.5 from Debian trixie): "
MIRROR = "http://mirror.test/debian"

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or not all(shutil.which(tool) for tool in ("bash", "flock", "sha256sum")),
    reason="the scripts need bash, flock and sha256sum")

# Serves $FAKE_ARCHIVE: "update" writes a Sources index when the file
# "reachable" is there, else the message in "update.log"; "source" copies the
# package files (the directory "files") into the working directory, or fails
# with the message in "source.log". Every call is logged in "calls".
FAKE_APT_GET = r"""#!/bin/sh
echo "$*" >>"$FAKE_ARCHIVE/calls"
for arg in "$@"; do
    case "$arg" in Dir::State::Lists=*) lists="${arg#Dir::State::Lists=}" ;; esac
done
case " $* " in
*" update "*)
    [ -f "$FAKE_ARCHIVE/update.log" ] && cat "$FAKE_ARCHIVE/update.log" >&2
    [ -f "$FAKE_ARCHIVE/reachable" ] && : >"$lists/mirror.test_debian_dists_trixie_main_source_Sources"
    exit 0 ;;
*" source "*)
    if [ -f "$FAKE_ARCHIVE/source.log" ]; then cat "$FAKE_ARCHIVE/source.log" >&2; exit 100; fi
    cp "$FAKE_ARCHIVE"/files/* . ;;
esac
"""

FAILING_MV = """#!/bin/sh
echo "mv: cannot move '$1': Disk quota exceeded" >&2
exit 1
"""


def dsc_for(payload):
    digest = hashlib.sha256(payload).hexdigest()
    return (f"Format: 3.0 (quilt)\nSource: python3.13\nChecksums-Sha256:\n"
            f" {digest} {len(payload)} {TARBALL}\n"
            f" {'0' * 64} 12 python3.13_3.13.5-2.debian.tar.xz\nFiles:\n")


class Machine:
    def __init__(self, tmp_path):
        self.archive = tmp_path / "archive"
        self.files = self.archive / "files"
        self.files.mkdir(parents=True)
        self.bin = tmp_path / "bin"
        self.bin.mkdir()
        self.tool("apt-get", FAKE_APT_GET)
        self.cache = tmp_path / "cache"
        self.keyring = tmp_path / "keyring.gpg"
        self.keyring.write_bytes(b"")

    def tool(self, name, text):
        path = self.bin / name
        path.write_text(text)
        path.chmod(0o755)

    def serve(self, payload, dsc_payload=None, reachable=True):
        (self.files / TARBALL).write_bytes(payload)
        (self.files / "python3.13_3.13.5-2.dsc").write_text(dsc_for(payload if dsc_payload is None else dsc_payload))
        if reachable:
            (self.archive / "reachable").touch()

    def calls(self):
        path = self.archive / "calls"
        return path.read_text().splitlines() if path.exists() else []

    def run(self, variant="fetch"):
        # A plain environment: no preloaded sanitizer runtime in the shells.
        env = {"PATH": f"{self.bin}:{os.environ['PATH']}", "HOME": str(self.cache.parent),
               "FAKE_ARCHIVE": str(self.archive), "KESTRUNE_CPYTHON_CACHE": str(self.cache),
               "KESTRUNE_DEBIAN_MIRROR": MIRROR, "KESTRUNE_DEBIAN_KEYRING": str(self.keyring)}
        return subprocess.run(["bash", str(SCRIPT), variant], env=env, capture_output=True, text=True, timeout=60)


def test_fetch_verifies_and_refetches_a_bad_cache(tmp_path):
    machine = Machine(tmp_path)
    payload = b"the release tarball"
    machine.serve(payload)
    cached = machine.cache / "src" / TARBALL
    done = machine.run()
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{cached}\n", f"fetched and verified {cached}\n")
    assert cached.read_bytes() == payload
    # A cached source that verifies is used as it is.
    calls = len(machine.calls())
    assert machine.run().returncode == 0 and len(machine.calls()) == calls
    # A truncated tarball is noticed and fetched again.
    cached.write_bytes(payload[:5])
    digest = hashlib.sha256(payload[:5]).hexdigest()
    done = machine.run()
    assert done.returncode == 0, done.stderr
    assert done.stderr.splitlines() == [
        f"the cached source does not verify ({cached} has SHA-256 {digest} and 5 bytes, its .dsc says "
        f"{hashlib.sha256(payload).hexdigest()} and {len(payload)} bytes): fetching it again",
        f"fetched and verified {cached}"]
    assert cached.read_bytes() == payload and len(machine.calls()) == calls + 2


def test_build_failure_fails(tmp_path):
    machine = Machine(tmp_path)
    machine.serve(b"not an xz tarball")
    done = machine.run("debug")
    log = machine.cache / "build-debug.log"
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.splitlines()[-1] == f"FAILED: building CPython 3.13.5 (debug) failed (log: {log})"
    assert not (machine.cache / "debug" / ".complete").exists()


@pytest.mark.parametrize("case", ["unreachable", "unreachable over a bad cache", "unsigned", "not found",
                                  "bad checksum", "no tarball", "mv fails"])
def test_fetch_failure(tmp_path, case):
    machine = Machine(tmp_path)
    payload = b"the release tarball"
    dsc_name = "python3.13_3.13.5-2.dsc"
    if case.startswith("unreachable"):
        line = f"W: Failed to fetch {MIRROR}/dists/trixie/InRelease  Could not resolve 'mirror.test'"
        (machine.archive / "update.log").write_text(line + "\nW: Some index files failed to download.\n")
        machine.serve(payload, reachable=False)
        expected = 77, f"SKIPPED: {PREFIX}the Debian archive cannot be reached: {line}"
        if case.endswith("bad cache"):
            # Kept for inspection, the broken cache fails every run until it can be fetched again.
            cached = machine.cache / "src" / TARBALL
            cached.parent.mkdir(parents=True)
            cached.write_bytes(b"cut")
            cached.with_name("python3.13_3.13.5.dsc").write_text(dsc_for(payload))
            why = (f"{cached} has SHA-256 {hashlib.sha256(b'cut').hexdigest()} and 3 bytes, its .dsc says "
                   f"{hashlib.sha256(payload).hexdigest()} and {len(payload)} bytes")
            expected = 1, (f"the cached source does not verify ({why}): fetching it again\n"
                           f"FAILED: {PREFIX}the cached source does not verify ({why}), and fetching it again failed: "
                           f"the Debian archive cannot be reached: {line}")
    elif case == "unsigned":
        (machine.archive / "update.log").write_text(f"E: The repository '{MIRROR} trixie InRelease' is not signed.\n")
        machine.serve(payload, reachable=False)
        expected = 1, (f"FAILED: {PREFIX}apt-get update fetched no trixie source index from {MIRROR}: "
                       f"E: The repository '{MIRROR} trixie InRelease' is not signed.")
    elif case == "not found":
        (machine.archive / "source.log").write_text("E: Unable to find a source package for python3.13\n")
        machine.serve(payload)
        expected = 1, (f"FAILED: {PREFIX}apt-get could not download python3.13 from trixie: "
                       "E: Unable to find a source package for python3.13")
    elif case == "bad checksum":
        machine.serve(payload[:-1], dsc_payload=payload)
        expected = 1, (f"FAILED: {PREFIX}the fetched source does not verify: ")
    elif case == "no tarball":
        machine.serve(payload)
        (machine.files / TARBALL).unlink()
        expected = 1, (f"FAILED: {PREFIX}the trixie source package has no {TARBALL} with its .dsc "
                       f"(it holds: {dsc_name}); update the version in {SCRIPT}")
    else:
        machine.serve(payload)
        machine.tool("mv", FAILING_MV)
        expected = 1, (f"FAILED: {PREFIX}cannot move the fetched source into {machine.cache / 'src'}: "
                       f"mv: cannot move '{machine.cache / 'src' / 'python3.13_3.13.5.dsc.part'}': Disk quota exceeded")
    done = machine.run()
    assert done.returncode == expected[0] and done.stdout == ""
    if case == "bad checksum":
        # The path of the temporary download varies: the rest is exact.
        message = done.stderr.strip()
        assert message.startswith(expected[1]) and message.endswith(
            f"/{TARBALL} has SHA-256 {hashlib.sha256(payload[:-1]).hexdigest()} and {len(payload) - 1} bytes, "
            f"its .dsc says {hashlib.sha256(payload).hexdigest()} and {len(payload)} bytes"), message
    else:
        assert done.stderr.strip() == expected[1]
    # Nothing half-done is left under the cache's names.
    leftovers = sorted(p.name for p in (machine.cache / "src").iterdir()) if (machine.cache / "src").exists() else []
    assert leftovers == ([] if case != "unreachable over a bad cache" else ["python3.13_3.13.5.dsc", TARBALL])


STEPS = ["check-types", "check-dist", "clang-build", "sanitize", "fuzz", "refleak", "freethreaded"]


@pytest.mark.parametrize("refleak, status, tail", [
    ("echo leak check passed", 0, ["<== scripts/refleak.sh: passed (0 s)", "==> scripts/freethreaded.sh", "fine",
                                   "<== scripts/freethreaded.sh: passed (0 s)", "== summary: 5 passed, 2 skipped"]),
    ("echo 'FAILED: building CPython failed' >&2; exit 1", 1,
     ["FAILED: building CPython failed", "<== scripts/refleak.sh: FAILED, exit status 1 (0 s)",
      "== summary: 3 passed, 2 skipped, 1 failed (the run stopped there)"]),
    ("exit 77", 1, ["<== scripts/refleak.sh: FAILED, exit status 77 (skipped) without a SKIPPED line (0 s)",
                    "== summary: 3 passed, 2 skipped, 1 failed (the run stopped there)"]),
], ids=["passes", "fails", "skips without a reason"])
def test_ci_checks_summary(tmp_path, refleak, status, tail):
    (tmp_path / "scripts").mkdir()
    shutil.copy(ROOT / "scripts" / "ci-checks.sh", tmp_path / "scripts")
    bodies = dict.fromkeys(STEPS, "echo fine")
    bodies["clang-build"] = "echo 'SKIPPED: clang++-19 is not on PATH'; exit 77"
    bodies["fuzz"] = "echo 'SKIPPED: an earlier line'; echo 'SKIPPED: no libFuzzer'; exit 77"
    bodies["refleak"] = refleak
    for name, body in bodies.items():
        path = tmp_path / "scripts" / f"{name}.sh"
        path.write_text(f"#!/bin/bash\n{body}\n")
        path.chmod(0o755)
    # A plain environment: no preloaded sanitizer runtime in the shells.
    done = subprocess.run(["bash", str(tmp_path / "scripts" / "ci-checks.sh")], capture_output=True, text=True,
                          env={"PATH": os.environ["PATH"], "HOME": str(tmp_path)}, timeout=60)
    # A step's time is 0 s, or 1 s when it straddles a second.
    lines = re.sub(r"\(1 s\)", "(0 s)", done.stdout).splitlines()
    assert done.returncode == status
    assert "<== scripts/clang-build.sh: SKIPPED (0 s): clang++-19 is not on PATH" in lines
    assert "<== scripts/fuzz.sh 10: SKIPPED (0 s): no libFuzzer" in lines
    results = ["passed   scripts/check-types.sh (0 s)", "passed   scripts/check-dist.sh (0 s)",
               "SKIPPED  scripts/clang-build.sh: clang++-19 is not on PATH", "passed   scripts/sanitize.sh (0 s)",
               "SKIPPED  scripts/fuzz.sh 10: no libFuzzer"]
    results.append("passed   scripts/refleak.sh (0 s)" if status == 0 else "FAILED   " + tail[-2].removeprefix(
        "<== ").replace(": FAILED, ", ": "))
    if status == 0:
        results.append("passed   scripts/freethreaded.sh (0 s)")
    summary = lines.index(tail[-1])
    assert lines[summary - len(tail) + 1:summary + 1] == tail
    assert lines[summary + 1:] == ["   " + line for line in results]
