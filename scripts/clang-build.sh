#!/usr/bin/env bash
# Builds the module and the C++ core tests with clang-19 and warnings as
# errors, twice: with the compiler's extensions (128-bit integers, vector
# types) and with their portable fallbacks, which is what compilers without
# them (MSVC) build. Each build runs the core tests and a short pytest run
# against its own module. Installs clang-19 from the Debian archive when it
# is missing and this runs as root; exits 77 after a SKIPPED line when
# clang-19 cannot be had.
# Usage: scripts/clang-build.sh [pytest args]   (3.5 minutes here under load, 2 minutes of CPU)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# Without clang-19 the step is skipped (exit status 77), saying why.
if ! command -v clang++-19 >/dev/null; then
    why="clang++-19 is not on PATH"
    if [ "$(id -u)" != 0 ]; then
        why="$why, and installing clang-19 needs root"
    elif ! command -v apt-get >/dev/null; then
        why="$why, and there is no apt-get to install clang-19 with"
    else
        log="$(mktemp)"
        apt-get install -y -qq clang-19 >"$log" 2>&1 ||
            { apt-get update -qq >>"$log" 2>&1 && apt-get install -y -qq clang-19 >>"$log" 2>&1; } || true
        apt_error="$(grep -E '^(E|W):' "$log" | tail -n 1 || true)"
        why="$why (after apt-get install clang-19${apt_error:+: $apt_error})"
        rm -f "$log"
    fi
    if ! command -v clang++-19 >/dev/null; then
        echo "SKIPPED: $why"
        exit 77
    fi
fi
[ -x .venv/bin/python ] || "$root/scripts/setup-venv.sh" test

# The tests of what differs between the variants (text codecs, 128-bit
# floats, argument conversions) and a packet direction.
smoke=(test_text.py test_float.py test_call_frame.py test_unpack.py test_hostile_objects.py)
for variant in extensions portable; do
    build="$root/build/clang-$variant"
    portable=OFF
    [ "$variant" = portable ] && portable=ON
    cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-19 -DKESTRUNE_CORE_TESTS=ON -DKESTRUNE_WERROR=ON \
        -DKESTRUNE_PORTABLE="$portable" -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
    cmake --build "$build" -j2 >/dev/null
    echo "clang-19, $variant: $("$build/kestrune_core_tests")"
    # The module under test is the one just built, not the installed one.
    (cd tests && PYTHONPATH="$build" ../.venv/bin/python -c \
        "import kestrune, sys; sys.exit(not kestrune.__file__.startswith('$build/'))")
    (cd tests && PYTHONPATH="$build" ../.venv/bin/python -m pytest -q -p no:cacheprovider "${smoke[@]}" "$@" |
        tail -n 1)
done
