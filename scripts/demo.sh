#!/usr/bin/env bash
# Builds and installs kestrune into .venv, then runs the demo.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup-venv.sh"
exec "$root/.venv/bin/python" "$root/examples/demo.py"
