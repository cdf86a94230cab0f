#!/usr/bin/env bash
# Installs the requirements of the optional-dependency groups given as
# arguments (from pyproject.toml) into a Python environment, without
# installing or rebuilding kestrune itself.
# Usage: scripts/install-extra.sh [--python PATH] extra ...
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="$root/.venv/bin/python"
if [ "${1:-}" = "--python" ]; then
    python="$2"
    shift 2
fi
mapfile -t requirements < <("$python" - "$root/pyproject.toml" "$@" <<'PY'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    extras = tomllib.load(file)["project"]["optional-dependencies"]
for name in sys.argv[2:]:
    print("\n".join(extras[name]))
PY
)
"$python" -m pip install --quiet "${requirements[@]}"
