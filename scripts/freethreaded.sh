#!/usr/bin/env bash
# Runs the whole Python test suite on a free-threaded CPython (built and cached
# by scripts/build-cpython.sh), twice and at the same time: as imported
# normally (the module declares that it needs the GIL, so importing it turns
# the GIL on) and with PYTHON_GIL=0, which keeps the GIL off so that threads
# really run in parallel.
# The module is built and installed into the virtual environment
# build/freethreaded-venv. Arguments go to pytest.
# Prints a SKIPPED line and exits 77 when the interpreter's source cannot be
# had on this machine; fails when it cannot be built.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# Exits with the build script's status: 77 (its SKIPPED line) or a failure.
python="$("$root/scripts/build-cpython.sh" freethreaded)" || exit $?

venv="$root/build/freethreaded-venv"
prefix_of() { "$1" -c 'import sys; print(sys.base_prefix)' 2>/dev/null; }
if [ ! -x "$venv/bin/python" ] || [ "$(prefix_of "$venv/bin/python")" != "$(prefix_of "$python")" ]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip install --quiet --disable-pip-version-check)
# Wheels only: nothing of the test tools is compiled for this interpreter.
"${pip[@]}" --only-binary=:all: pytest hypothesis scikit-build-core
# Optional test tools (as in the test extra); their tests skip without them.
for optional in numpy "dask>=2024.8"; do
    "${pip[@]}" --only-binary=:all: "$optional" >/dev/null 2>&1 || echo "$optional unavailable: its tests will be skipped"
done
# A kept build directory makes later builds incremental.
"$venv/bin/python" -m pip uninstall --quiet --yes kestrune >/dev/null 2>&1 || true
CMAKE_BUILD_PARALLEL_LEVEL=2 "${pip[@]}" --no-build-isolation --no-deps \
    --config-settings=build-dir="$root/build/freethreaded-wheel" "$root"

# The two passes run side by side (pytest uses one core each); their outputs
# are shown one after the other.
cd "$root/tests"
logs="$root/build/freethreaded-logs"
mkdir -p "$logs"
env -u PYTHON_GIL "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@" >"$logs/gil-on.txt" 2>&1 &
gil_on=$!
PYTHON_GIL=0 "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@" >"$logs/gil-off.txt" 2>&1 &
gil_off=$!
status=0
wait "$gil_on" || status=1
wait "$gil_off" || status=1
echo "== free-threaded CPython, GIL turned on by the import"
cat "$logs/gil-on.txt"
echo "== free-threaded CPython, PYTHON_GIL=0"
cat "$logs/gil-off.txt"
exit $status
