#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the codec core (fuzz/, clang-19 with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each one for the
# given number of seconds, starting from its seed corpus in fuzz/corpus/.
# Inputs found along the way are kept in build/fuzz/corpus/, so longer runs
# by hand build on earlier ones; a failing input is saved in
# build/fuzz/artifacts/ and fails the run.
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

can_fuzz() {
    command -v clang++-19 >/dev/null 2>&1 &&
        echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        clang++-19 -x c++ - -fsanitize=fuzzer,address,undefined -o /dev/null >/dev/null 2>&1
}
if ! can_fuzz && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing clang-19 and libclang-rt-19-dev"
    export DEBIAN_FRONTEND=noninteractive
    packages=(clang-19 libclang-rt-19-dev)
    apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null 2>&1 ||
        { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null; } ||
        true
fi
if ! can_fuzz; then
    echo "SKIPPED: clang-19 with libFuzzer (clang-19, libclang-rt-19-dev) is not available"
    exit 0
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
