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
# glibc trims the heap between calls by a threshold it adjusts as it goes,
# which lands either side of a row at random in a mode of page faults (the
# cache-hit row moves by 40 %). A fixed threshold, the same for both sides.
export MALLOC_TRIM_THRESHOLD_="${MALLOC_TRIM_THRESHOLD_:-268435456}"
exec "$venv/bin/python" -P bench/with_db.py "$venv/bin/python" bench/run.py "$@"
