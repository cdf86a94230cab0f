#!/usr/bin/env bash
# Builds the module, kestrune_ccsds's extension and the core tests with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs both test suites
# against that build.
# Any sanitizer report fails the run, even one from a child process or one
# that did not stop the process that made it.
# Usage: scripts/sanitize.sh [pytest args]     (a few minutes on two cores)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# The tests need the venv's test dependencies only: the module under test is
# the sanitized build below, so an existing venv is reused as it is.
if ! .venv/bin/python -c 'import pytest, hypothesis' >/dev/null 2>&1; then
    "$root/scripts/setup-venv.sh" test
    .venv/bin/python -m pip install --quiet numpy >/dev/null 2>&1 || echo "numpy unavailable: its tests will be skipped"
fi
build="$root/build/sanitize"
# Only the baseline loops: the ordinary build runs the copies for newer
# processors that this machine chooses, so between them both are tested.
cmake -S . -B "$build" -DKESTRUNE_SANITIZE=ON -DKESTRUNE_CORE_TESTS=ON -DKESTRUNE_WERROR=ON -DKESTRUNE_NO_CLONES=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build "$build" -j2 >/dev/null

# Reports go to files as well as stopping the process, so that none can pass
# unseen; they are printed and fail the run at the end.
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
# The one line that is not a fault: with allocator_may_return_null a refused
# huge allocation is logged as a warning and fails as the module expects.
benign='^==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes$'
check_reports() {
    local f failed=0
    for f in $(find "$reports" -type f | sort); do
        if grep -qvE "$benign" "$f"; then
            echo "---- sanitizer report $f"
            cat "$f"
            failed=1
        fi
    done
    if [ "$failed" -ne 0 ]; then
        echo "FAILED: sanitizer reports above" >&2
    fi
    return "$failed"
}
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
common_asan="abort_on_error=1:allocator_may_return_null=1:log_path=$reports/asan"

# The core tests are pure C++: leaks are checked too.
ASAN_OPTIONS="$common_asan:detect_leaks=1" "$build/kestrune_core_tests" || { check_reports || true; exit 1; }
check_reports

# The interpreter itself is not instrumented: preload the runtimes, let ASan
# see every object allocation, and leave leak checking to the interpreter's
# own teardown (it does not free everything at exit).
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS="$common_asan:detect_leaks=0"
export PYTHONMALLOC=malloc
export PYTHONPATH="$build"
cd "$root/tests"
# The sanitized build, not the installed module, must be the one under test.
"$root/.venv/bin/python" -c "import kestrune, sys; sys.exit(kestrune.__file__.startswith('$build/') == False)" ||
    { echo "FAILED: the sanitized module is not the one imported" >&2; exit 1; }
# The packet-stream package (its extension and Python sources, which the
# build copies beside it) likewise, when NumPy is there to import it.
if "$root/.venv/bin/python" -c "import numpy" >/dev/null 2>&1; then
    "$root/.venv/bin/python" -c "import kestrune_ccsds._native as n, sys; sys.exit(n.__file__.startswith('$build/') == False)" ||
        { echo "FAILED: the sanitized kestrune_ccsds is not the one imported" >&2; exit 1; }
fi
status=0
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@" || status=$?
check_reports || status=1
exit "$status"
