#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the C++ tests of the codec
# core, then the Python tests against the installed module.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/setup-venv.sh" test
# NumPy is optional: the tests that need it are skipped without it.
.venv/bin/python -m pip install --quiet numpy >/dev/null 2>&1 || echo "numpy unavailable: its tests will be skipped"

# A second build with warnings as errors keeps the tree warning-free; it also
# builds the C++ tests of the codec core, which run first.
cmake -S . -B build/core-tests -DKESTRUNE_CORE_TESTS=ON -DKESTRUNE_WERROR=ON \
    -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build build/core-tests -j2 >/dev/null
build/core-tests/kestrune_core_tests

# Run from outside the source tree so that the installed module is tested.
cd "$root/tests"
exec "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
