#!/usr/bin/env bash
# Creates (or reuses) the virtual environment .venv with CPython 3.13+ and
# installs kestrune into it, with the extras given as arguments.
# Usage: scripts/setup-venv.sh [extra ...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)'; then
    python="$("$root/scripts/find-python.sh")"
    echo "Using $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
    rm -rf .venv
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
target="."
if [ "$#" -gt 0 ]; then
    target=".[$(IFS=,; echo "$*")]"
fi
# Always rebuild the module from the working tree.
.venv/bin/python -m pip uninstall --quiet --yes kestrune >/dev/null 2>&1 || true
.venv/bin/python -m pip install --quiet "$target"
