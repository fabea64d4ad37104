#!/usr/bin/env bash
# The main job on a fresh machine: sets up (venv, pinned packages, build, the
# MariaDB server from apt), then runs the demo (scripts/demo.py) against a
# private server that it starts in .demo/ and removes again.
# Usage: scripts/demo.sh [demo.py arguments]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
bash "$root/scripts/setup.sh" --with-db
cd "$root"
exec "$venv/bin/python" -P "$root/scripts/demo.py" "$@"
