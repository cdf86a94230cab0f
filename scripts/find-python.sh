#!/usr/bin/env bash
# Prints the path of a CPython 3.13 or later interpreter: one on PATH, Debian's
# /usr/bin/python3.1x, or a pyenv version that need not be selected.
set -euo pipefail

is_supported() {
    "$1" -c 'import sys; sys.exit(0 if sys.implementation.name == "cpython" and sys.version_info >= (3, 13) else 1)' \
        >/dev/null 2>&1
}

candidates=()
if [ -n "${KESTRUNE_PYTHON:-}" ]; then
    candidates+=("$KESTRUNE_PYTHON")
fi
for name in python3.14 python3.13 python3; do
    if command -v "$name" >/dev/null 2>&1; then
        candidates+=("$(command -v "$name")")
    fi
done
candidates+=(/usr/bin/python3.14 /usr/bin/python3.13 /usr/local/bin/python3.14 /usr/local/bin/python3.13)
pyenv_root="${PYENV_ROOT:-}"
if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then
    pyenv_root="$(pyenv root 2>/dev/null || true)"
fi
[ -n "$pyenv_root" ] || pyenv_root="$HOME/.pyenv"
if [ -d "$pyenv_root/versions" ]; then
    # Newest first; free-threaded builds (3.13t) are skipped.
    while IFS= read -r version; do
        for exe in "$pyenv_root/versions/$version/bin/python3"; do
            candidates+=("$exe")
        done
    done < <(ls "$pyenv_root/versions" | grep -E '^3\.(1[3-9]|[2-9][0-9])\.[0-9]+$' | sort -t. -k1,1n -k2,2nr -k3,3nr)
fi

for exe in "${candidates[@]}"; do
    if [ -x "$exe" ] && is_supported "$exe"; then
        echo "$exe"
        exit 0
    fi
done
echo "error: no CPython 3.13 or later found (set KESTRUNE_PYTHON to one)" >&2
exit 1
