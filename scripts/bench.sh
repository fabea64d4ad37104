#!/usr/bin/env bash
# Sets up (as the tests do, MariaDB included) and runs the benchmarks:
# each compiled entry point against the same statements in plain Python,
# both on the same interpreter, then prints the table of medians and ratios.
# The stack and the interpreter are picked as scripts/setup.sh picks them
# (--stack, --python; the pinned stack on 3.12 unless given, today's
# releases on 3.13). `--quick` runs in under two minutes; other arguments
# go to pyperf (e.g. -o results.json).
# Usage: scripts/bench.sh [--stack pinned|latest] [--python 3.12|3.13] [--quick] [pyperf arguments]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/stack.sh"
stack_options "$@"
stack_paths "$stack" "$python" || exit 2
bash "$root/scripts/setup.sh" --with-db --stack "$stack" --python "$python"
cd "$root"
# glibc trims the heap between calls by a threshold it adjusts as it goes,
# which lands either side of a row at random in a mode of page faults (the
# cache-hit row moves by 40 %). A fixed threshold, the same for both sides.
export MALLOC_TRIM_THRESHOLD_="${MALLOC_TRIM_THRESHOLD_:-268435456}"
exec "$venv/bin/python" bench/with_db.py "$venv/bin/python" bench/run.py ${other_args[@]+"${other_args[@]}"}
