#!/usr/bin/env bash
# Checks the installed type stub against the installed module (stubtest) and
# type-checks a typed usage file with mypy --strict. Needs the module in
# .venv (scripts/test.sh or scripts/setup-venv.sh).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="$root/.venv/bin/python"
"$root/scripts/install-extra.sh" types
# Work outside the source tree so that only the installed stub is found.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root/tests/typed_usage.py" "$work/"
cd "$work"
"$python" -m mypy.stubtest kestrune kestrune_ccsds._native
"$python" -m mypy --strict --warn-unreachable --no-incremental --cache-dir=/dev/null typed_usage.py
# The packet-stream package is typed inline (its extension by a stub).
"$python" -m mypy --config-file "$root/pyproject.toml" --strict --warn-unreachable --no-incremental --cache-dir=/dev/null -p kestrune_ccsds
