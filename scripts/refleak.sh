#!/usr/bin/env bash
# Reference-leak check: builds the module against a debug CPython (built and
# cached by scripts/build-cpython.sh) and runs tests/refleak/check_refleaks.py,
# which repeats every case until the total reference count is steady and fails
# on any growth; then tests/refleak/check_ccsds_refleaks.py does the same for
# kestrune_ccsds's extension. Arguments go to the first driver (-k TEXT: only
# matching cases, -v).
# Prints a SKIPPED line and exits 0 when the debug interpreter can be neither
# found in the cache nor built.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

python="$("$root/scripts/build-cpython.sh" debug | tail -n 1)"
[ -x "$python" ] || { echo "$python"; exit 0; }  # the build script's SKIPPED line

build="$root/build/refleak"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_WERROR=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j2 >/dev/null

cd "$root/tests"
status=0
PYTHONPATH="$build" "$python" -X dev "$root/tests/refleak/check_refleaks.py" "$@" || status=$?
# kestrune_ccsds's extension, called with plain buffers (no NumPy needed).
PYTHONPATH="$build:$root/tests/refleak" "$python" -X dev "$root/tests/refleak/check_ccsds_refleaks.py" || status=$?
exit "$status"
