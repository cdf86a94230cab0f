#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the codec core (fuzz/, clang-19 with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each one for the
# given number of seconds, starting from its seed corpus in fuzz/corpus/.
# Inputs found along the way are kept in build/fuzz/corpus/, so longer runs
# by hand build on earlier ones; a failing input is saved in
# build/fuzz/artifacts/ and fails the run.
# Installs clang-19 and libclang-rt-19-dev from the Debian archive when
# libFuzzer is missing and this runs as root; exits 77 after a SKIPPED line
# when it cannot be had.
# Usage: scripts/fuzz.sh [seconds-per-harness (default 10)] [harness ...]
#   harnesses: integer bcd float text bits (default: all)
#   replay a saved input: build/fuzz/fuzz/fuzz_<harness> <file>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-10}"
shift || true
harnesses=("$@")
[ "${#harnesses[@]}" -gt 0 ] || harnesses=(integer bcd float text bits)

# Sets $why and fails when clang-19 cannot link a libFuzzer program.
can_fuzz() {
    if ! command -v clang++-19 >/dev/null 2>&1; then
        why="clang++-19 is not on PATH"
        return 1
    fi
    local error
    if ! error="$(echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        clang++-19 -x c++ - -fsanitize=fuzzer,address,undefined -o /dev/null 2>&1)"; then
        why="clang++-19 cannot link a libFuzzer program: $(grep -m 1 -E 'error' <<<"$error" || tail -n 1 <<<"$error")"
        return 1
    fi
}
# Without them the step is skipped (exit status 77), saying why.
packages=(clang-19 libclang-rt-19-dev)
if ! can_fuzz; then
    if [ "$(id -u)" != 0 ]; then
        why="$why, and installing ${packages[*]} needs root"
    elif ! command -v apt-get >/dev/null 2>&1; then
        why="$why, and there is no apt-get to install ${packages[*]} with"
    else
        echo "Installing ${packages[*]}"
        export DEBIAN_FRONTEND=noninteractive
        log="$(mktemp)"
        apt-get install -y -qq --no-install-recommends "${packages[@]}" >"$log" 2>&1 ||
            { apt-get update -qq >>"$log" 2>&1 &&
                apt-get install -y -qq --no-install-recommends "${packages[@]}" >>"$log" 2>&1; } || true
        apt_error="$(grep -E '^(E|W):' "$log" | tail -n 1 || true)"
        rm -f "$log"
        if can_fuzz; then
            why=""
        else
            why="$why (after apt-get install ${packages[*]}${apt_error:+: $apt_error})"
        fi
    fi
    if [ -n "$why" ]; then
        echo "SKIPPED: $why"
        exit 77
    fi
fi

build="$root/build/fuzz"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-19 -DKESTRUNE_FUZZ=ON -DKESTRUNE_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$build" -j2 >/dev/null

mkdir -p "$build/artifacts"
failed=0
for name in "${harnesses[@]}"; do
    work="$build/corpus/$name"
    log="$build/fuzz_$name.log"
    mkdir -p "$work"
    status=0
    "$build/fuzz/fuzz_$name" "$work" "$root/fuzz/corpus/$name" -max_total_time="$seconds" -max_len=512 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" >"$log" 2>&1 || status=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$name: FAILED after ${runs:-?} runs (log: $log)"
        # The failed check and its details, or the sanitizer's summary.
        grep -E -A1 'check failed' "$log" | head -4 || true
        grep -E 'runtime error|^SUMMARY' "$log" | head -4 || true
        ls "$build/artifacts/$name-"* 2>/dev/null || true
        failed=1
    else
        echo "fuzz_$name: ${runs:-?} runs in $seconds s, no findings"
    fi
done
exit "$failed"
