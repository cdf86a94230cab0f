#!/usr/bin/env bash
# The checks that CI runs after the test suite (scripts/test.sh). Each step is
# a script of its own that can also be run by hand; a step that needs a tool
# this machine cannot get prints a SKIPPED line instead of failing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

step() {
    echo "==> $*"
    local start=$SECONDS
    "$@"
    echo "<== $* ($((SECONDS - start)) s)"
}

# Steps (one line each):
step scripts/check-types.sh
step scripts/check-dist.sh
step scripts/clang-build.sh
step scripts/sanitize.sh
step scripts/fuzz.sh 10
# Leak check on a debug CPython, then the suite twice on a free-threaded one
# (both interpreters are built once, about 10 and 14 minutes, then cached).
step scripts/refleak.sh
step scripts/freethreaded.sh
