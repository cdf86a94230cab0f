#!/usr/bin/env bash
# Builds and caches the two special CPython 3.13 interpreters that the leak and
# thread checks run on:
#   debug         configured --with-pydebug (sys.gettotalrefcount exists)
#   freethreaded  configured --disable-gil
# Usage: scripts/build-cpython.sh [debug|freethreaded|all|fetch]   (default: all)
#   fetch: only fetch and verify the source, print the tarball's path
#
# CPython's release tarball comes from the python3.13 source package of
# Debian's trixie release, fetched through a temporary sources list so the
# machine's own apt configuration is never touched. apt checks the package's
# files against the signed Sources index; the tarball is then checked against
# the SHA-256 and size in the package's .dsc, which is kept beside it, both
# right after the fetch and before every build, and a cached tarball that no
# longer matches is fetched again.
#
# Each interpreter is installed under $KESTRUNE_CPYTHON_CACHE/<variant>
# (default ~/.cache/kestrune/cpython) and reused when present. Diagnostics go
# to stderr; stdout gets only the interpreter's path (one per variant).
# Exit status: 0 built or cached; 77 skipped because the source cannot be had
# on this machine (no apt-get, no Debian keyring, archive unreachable), with a
# "SKIPPED: ..." line; 1 for anything else (a fetch that does not verify, a
# cached source that does not verify and cannot be fetched again, a file that
# cannot be moved into the cache, a failed build), with a "FAILED: ..." line.
# KESTRUNE_DEBIAN_MIRROR replaces the archive's URL (a local mirror) and
# KESTRUNE_DEBIAN_KEYRING the keyring that its Release file is checked with.
set -euo pipefail

cache="${KESTRUNE_CPYTHON_CACHE:-$HOME/.cache/kestrune/cpython}"
mirror="${KESTRUNE_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
keyring="${KESTRUNE_DEBIAN_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}"
suite=trixie
package=python3.13
version=3.13.5
jobs="${KESTRUNE_CPYTHON_JOBS:-2}"
readonly skipped=77

variants=()
case "${1:-all}" in
    all) variants=(debug freethreaded) ;;
    debug | freethreaded | fetch) variants=("$1") ;;
    *) echo "usage: $0 [debug|freethreaded|all|fetch]" >&2; exit 2 ;;
esac

mkdir -p "$cache"

interpreter() { echo "$cache/$1/bin/python3"; }

is_built() {
    local exe
    exe="$(interpreter "$1")"
    [ -f "$cache/$1/.complete" ] && [ -x "$exe" ] || return 1
    case "$1" in
        debug) "$exe" -c 'import sys; sys.gettotalrefcount' >/dev/null 2>&1 ;;
        freethreaded) "$exe" -c 'import sys; sys.exit(sys._is_gil_enabled())' >/dev/null 2>&1 ;;
    esac
}

tarball_name="${package}_${version}.orig.tar.xz"
tarball="$cache/src/$tarball_name"
dsc="$cache/src/${package}_${version}.dsc"

# Checks a tarball against the SHA-256 and size that a .dsc gives for it.
# Prints why on failure.
matches_dsc() {
    local file="$1" dsc_file="$2" expected sum size
    [ -f "$dsc_file" ] || { echo "no .dsc at $dsc_file"; return 1; }
    [ -f "$file" ] || { echo "no tarball at $file"; return 1; }
    # The Checksums-Sha256 field: " <sha256> <size> <name>" lines after its header.
    expected="$(awk -v name="$tarball_name" '
        /^Checksums-Sha256:/ { inside = 1; next }
        /^[^ ]/ { inside = 0 }
        inside && $3 == name { print $1, $2; exit }' "$dsc_file")"
    [ -n "$expected" ] || { echo "$dsc_file gives no SHA-256 for $tarball_name"; return 1; }
    size="$(stat -c %s "$file")"
    sum="$(sha256sum "$file" | cut -d ' ' -f 1)"
    if [ "$sum $size" != "$expected" ]; then
        echo "$file has SHA-256 $sum and $size bytes, its .dsc says ${expected% *} and ${expected#* } bytes"
        return 1
    fi
}

# Ensures that $tarball and $dsc are present and match. Returns 0, or
# $skipped when there is no cached source and none can be had here, or 1;
# prints the reason on stdout. Every step checks its own status: set -e does not act inside a
# function whose status is tested.
fetch_source() {
    local why reason status=0
    if why="$(matches_dsc "$tarball" "$dsc")"; then
        return 0
    fi
    if [ -e "$tarball" ] || [ -e "$dsc" ]; then
        echo "the cached source does not verify ($why): fetching it again" >&2
    else
        why=""
    fi
    reason="$(fetch_new)" || status=$?
    # A broken cache is a fault of this machine even when the archive is
    # out of reach: it fails rather than skips, and stays for inspection.
    if [ "$status" -eq "$skipped" ] && [ -n "$why" ]; then
        echo "the cached source does not verify ($why), and fetching it again failed: $reason"
        return 1
    fi
    [ -z "$reason" ] || echo "$reason"
    return $status
}

fetch_new() {
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "no apt-get on this machine"
        return $skipped
    fi
    if [ ! -f "$keyring" ]; then
        echo "no Debian archive keyring at $keyring"
        return $skipped
    fi
    local tmp status=0
    tmp="$(mktemp -d)" || { echo "cannot make a temporary directory"; return 1; }
    fetch_into "$tmp" || status=$?
    rm -rf "$tmp"
    return $status
}

fetch_into() {
    local tmp="$1"
    mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/download" || return 1
    echo "deb-src [signed-by=$keyring] $mirror $suite main" >"$tmp/sources.list" || return 1
    local opts=(
        -o "Dir::Etc::sourcelist=$tmp/sources.list" -o "Dir::Etc::sourceparts=-"
        -o "Dir::State::Lists=$tmp/lists" -o "Dir::Cache=$tmp/cache"
        -o "APT::Sandbox::User=root"
    )
    # apt-get update exits 0 even when it fetched nothing: what counts is
    # whether the Sources index is there afterwards.
    apt-get "${opts[@]}" -qq update >"$tmp/log" 2>&1 || true
    if ! compgen -G "$tmp/lists/*_source_Sources*" >/dev/null; then
        local unreachable
        unreachable="$(grep -m 1 -E 'Could not resolve|Temporary failure resolving|Could not connect|Unable to connect|Connection (timed out|refused)|Network is unreachable' "$tmp/log" || true)"
        if [ -n "$unreachable" ]; then
            echo "the Debian archive cannot be reached: $unreachable"
            return $skipped
        fi
        echo "apt-get update fetched no $suite source index from $mirror:" $(tail -n 5 "$tmp/log")
        return 1
    fi
    if ! (cd "$tmp/download" && apt-get "${opts[@]}" -qq source --download-only "$package") >>"$tmp/log" 2>&1; then
        echo "apt-get could not download $package from $suite:" $(tail -n 5 "$tmp/log")
        return 1
    fi
    local fetched_dsc
    fetched_dsc="$(compgen -G "$tmp/download/${package}_${version}-*.dsc" | head -n 1 || true)"
    if [ -z "$fetched_dsc" ] || [ ! -f "$tmp/download/$tarball_name" ]; then
        echo "the $suite source package has no $tarball_name with its .dsc (it holds:" $(ls "$tmp/download")"); update the version in $0"
        return 1
    fi
    local why
    if ! why="$(matches_dsc "$tmp/download/$tarball_name" "$fetched_dsc")"; then
        echo "the fetched source does not verify: $why"
        return 1
    fi
    # Into the cache through .part names on the same file system, so that
    # a file under the final name is always a complete one.
    if ! { mkdir -p "$cache/src" &&
        cp "$fetched_dsc" "$dsc.part" && mv "$dsc.part" "$dsc" &&
        cp "$tmp/download/$tarball_name" "$tarball.part" && mv "$tarball.part" "$tarball"; } >>"$tmp/log" 2>&1; then
        echo "cannot move the fetched source into $cache/src:" $(tail -n 2 "$tmp/log")
        rm -f "$dsc.part" "$tarball.part"
        return 1
    fi
    if ! why="$(matches_dsc "$tarball" "$dsc")"; then
        echo "the source copied into the cache does not verify: $why"
        return 1
    fi
    echo "fetched and verified $tarball" >&2
}

# Fetches (when needed) and verifies the source, exiting with a SKIPPED or
# FAILED line when that cannot be done.
need_source() {
    local reason status=0
    exec 8>"$cache/.lock-source"
    flock 8
    reason="$(fetch_source)" || status=$?
    exec 8>&-
    case $status in
        0) ;;
        "$skipped")
            echo "SKIPPED: cannot fetch CPython's source ($package $version from Debian $suite): $reason" >&2
            exit $skipped ;;
        *)
            echo "FAILED: cannot fetch CPython's source ($package $version from Debian $suite): $reason" >&2
            exit 1 ;;
    esac
}

build() {
    local variant="$1" flags
    case "$variant" in
        # The leak check needs no test modules; the free-threaded run of the
        # test suite uses _testcapi.
        debug) flags=(--with-pydebug --disable-test-modules) ;;
        freethreaded) flags=(--disable-gil) ;;
    esac
    local prefix="$cache/$variant" work="$cache/build-$variant"
    local log="$cache/build-$variant.log"
    rm -rf "$prefix" "$work"
    mkdir -p "$work"
    echo "building CPython $version ($variant) into $prefix, log: $log" >&2
    local start=$SECONDS
    # A fresh unpack per variant: configure refuses an out-of-tree build
    # from a source tree that was already built in place.
    if (
        tar -xJf "$tarball" -C "$work" &&
            cd "$work/Python-$version" &&
            ./configure --prefix="$prefix" "${flags[@]}" --with-ensurepip=install &&
            make -j"$jobs" &&
            make install &&
            "$prefix/bin/python3" -m pip --version
    ) >"$log" 2>&1; then
        touch "$prefix/.complete"
        rm -rf "$work"
        echo "built CPython $version ($variant) in $((SECONDS - start)) s" >&2
    else
        echo "last lines of $log:" >&2
        tail -n 20 "$log" >&2
        echo "FAILED: building CPython $version ($variant) failed (log: $log)" >&2
        exit 1
    fi
}

for variant in "${variants[@]}"; do
    if [ "$variant" = fetch ]; then
        need_source
        echo "$tarball"
        continue
    fi
    # One build of a variant at a time: a second caller waits, then finds it built.
    exec 9>"$cache/.lock-$variant"
    flock 9
    if ! is_built "$variant"; then
        need_source
        build "$variant"
    fi
    interpreter "$variant"
done
