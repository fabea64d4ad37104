#!/usr/bin/env bash
# Sets up (as the tests do, MariaDB included) and runs the benchmarks:
# each compiled entry point against the same statements in plain Python,
# then prints the table of medians and ratios. `--quick` runs in under two
# minutes; other arguments go to pyperf (e.g. -o results.json).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
bash "$root/scripts/setup.sh" --with-db
cd "$root"
exec "$venv/bin/python" -P bench/with_db.py "$venv/bin/python" bench/run.py "$@"
