#!/usr/bin/env bash
# Sets up and runs the main job: a forecast with orveksdk.trend_kit.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
bash "$root/scripts/setup.sh"
cd "$root"
exec "$venv/bin/python" -P "$root/scripts/demo.py"
