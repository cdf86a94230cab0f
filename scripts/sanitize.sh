#!/usr/bin/env bash
# Builds the module and the core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs both test suites against that build.
# Run by hand after touching memory handling: scripts/sanitize.sh [pytest args]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/setup-venv.sh" test
.venv/bin/python -m pip install --quiet numpy >/dev/null 2>&1 || echo "numpy unavailable: its tests will be skipped"
build="$root/build/sanitize"
cmake -S . -B "$build" -DKESTRUNE_SANITIZE=ON -DKESTRUNE_CORE_TESTS=ON -DKESTRUNE_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build "$build" -j2 >/dev/null
"$build/kestrune_core_tests"

# The interpreter itself is not instrumented: preload the runtimes, let ASan
# see every object allocation, and leave leak checking to the interpreter's
# own teardown (it does not free everything at exit).
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
export PYTHONPATH="$build"
cd "$root/tests"
exec "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
