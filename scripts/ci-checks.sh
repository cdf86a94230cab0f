#!/usr/bin/env bash
# The checks that CI runs after the test suite (scripts/test.sh). Each step is
# a script of its own that can also be run by hand. A step that needs a tool
# or source this machine cannot get exits with status 77 after a
# "SKIPPED: <why>" line; any other non-zero status fails the run. The run
# stops at the first failed step and always ends with a summary of the steps
# that passed, were skipped (and why) or failed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

readonly skipped=77
results=()  # one line per step run, in order
passed=0
skips=0
failure=""
output="$(mktemp)"

summary() {
    local status=$?
    rm -f "$output"
    local line="$passed passed, $skips skipped"
    [ -z "$failure" ] || line="$line, 1 failed (the run stopped there)"
    echo "== summary: $line"
    local entry
    for entry in "${results[@]}"; do echo "   $entry"; done
    exit $status
}
trap summary EXIT

step() {
    local name="$*" start=$SECONDS status reason
    echo "==> $name"
    set +e
    "$@" 2>&1 | tee "$output"
    status=${PIPESTATUS[0]}
    set -e
    local took="$((SECONDS - start)) s"
    if [ "$status" -eq 0 ]; then
        echo "<== $name: passed ($took)"
        passed=$((passed + 1))
        results+=("passed   $name ($took)")
        return
    fi
    if [ "$status" -eq "$skipped" ]; then
        reason="$(sed -n 's/^SKIPPED: //p' "$output" | tail -n 1)"
        if [ -n "$reason" ]; then
            echo "<== $name: SKIPPED ($took): $reason"
            skips=$((skips + 1))
            results+=("SKIPPED  $name: $reason")
            return
        fi
        failure="$name: exit status $skipped (skipped) without a SKIPPED line ($took)"
    else
        failure="$name: exit status $status ($took)"
    fi
    echo "<== $name: FAILED, ${failure#"$name: "}"
    results+=("FAILED   $failure")
    exit 1
}

# Steps (one line each):
step scripts/check-types.sh
step scripts/check-dist.sh
step scripts/clang-build.sh
step scripts/sanitize.sh
step scripts/fuzz.sh 10
# Leak check on a debug CPython, then the suite twice on a free-threaded one
# (both interpreters are built once, about 3 minutes each, then cached).
step scripts/refleak.sh
step scripts/freethreaded.sh
