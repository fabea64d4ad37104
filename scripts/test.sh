#!/usr/bin/env bash
# Sets up (venv, pinned packages, build, MariaDB) and runs the whole test suite.
# Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
bash "$root/scripts/setup.sh" --with-db
cd "$root"
exec "$venv/bin/python" -P -m pytest "$@"
