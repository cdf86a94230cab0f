#!/usr/bin/env bash
# Builds and caches the two special CPython 3.13 interpreters that the leak and
# thread checks run on:
#   debug         configured --with-pydebug (sys.gettotalrefcount exists)
#   freethreaded  configured --disable-gil
# Usage: scripts/build-cpython.sh [debug|freethreaded|all]   (default: all)
#
# CPython's release tarball comes from the python3.13 source package of
# Debian's trixie release, fetched through a temporary sources list so the
# machine's own apt configuration is never touched. Each interpreter is
# installed under $KESTRUNE_CPYTHON_CACHE/<variant> (default
# ~/.cache/kestrune/cpython) and reused when present; it prints the
# interpreter's path on success. When the source cannot be fetched or the build
# fails it prints a SKIPPED line instead (the build's log stays in the cache)
# and exits 0, so that the checks that need the interpreter are skipped.
set -euo pipefail

cache="${KESTRUNE_CPYTHON_CACHE:-$HOME/.cache/kestrune/cpython}"
suite=trixie
package=python3.13
version=3.13.5
jobs="${KESTRUNE_CPYTHON_JOBS:-2}"

variants=()
case "${1:-all}" in
    all) variants=(debug freethreaded) ;;
    debug | freethreaded) variants=("$1") ;;
    *) echo "usage: $0 [debug|freethreaded|all]" >&2; exit 2 ;;
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

tarball="$cache/src/${package}_${version}.orig.tar.xz"

# Downloads the source package's files into $cache/src. apt checks them
# against the checksums of the signed Sources index.
fetch_source() {
    [ -f "$tarball" ] && return 0
    exec 8>"$cache/.lock-source"
    flock 8
    [ -f "$tarball" ] && return 0
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "no apt-get on this machine"
        return 1
    fi
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    if [ ! -f "$keyring" ]; then
        echo "no Debian archive keyring at $keyring"
        return 1
    fi
    local tmp
    tmp="$(mktemp -d)"
    mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/download"
    echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite main" >"$tmp/sources.list"
    local opts=(
        -o "Dir::Etc::sourcelist=$tmp/sources.list" -o "Dir::Etc::sourceparts=-"
        -o "Dir::State::Lists=$tmp/lists" -o "Dir::Cache=$tmp/cache"
        -o "APT::Sandbox::User=root"
    )
    local ok=0
    if ! apt-get "${opts[@]}" -qq update >"$tmp/log" 2>&1; then
        echo "apt-get update of the $suite source index failed:"
        tail -n 5 "$tmp/log"
        ok=1
    elif ! (cd "$tmp/download" && apt-get "${opts[@]}" -qq source --download-only "$package") >>"$tmp/log" 2>&1; then
        echo "apt-get could not download $package from $suite:"
        tail -n 5 "$tmp/log"
        ok=1
    elif [ ! -f "$tmp/download/${package}_${version}.orig.tar.xz" ]; then
        echo "the $suite source package holds no ${package}_${version}.orig.tar.xz:" $(ls "$tmp/download")
        ok=1
    else
        mkdir -p "$cache/src"
        mv "$tmp/download/${package}_${version}.orig.tar.xz" "$tarball.part"
        mv "$tarball.part" "$tarball"
    fi
    rm -rf "$tmp"
    return $ok
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
        echo "SKIPPED: building CPython $version ($variant) failed (log: $log)"
        return 1
    fi
}

for variant in "${variants[@]}"; do
    # One build of a variant at a time: a second caller waits, then finds it built.
    exec 9>"$cache/.lock-$variant"
    flock 9
    if ! is_built "$variant"; then
        if ! reason="$(fetch_source | paste -sd ' ')"; then
            echo "SKIPPED: cannot fetch CPython's source ($package $version from Debian $suite): $reason"
            exit 0
        fi
        build "$variant" || exit 0
    fi
    interpreter "$variant"
done
