#!/usr/bin/env bash
# A longer property-based search than the suite's: fresh random examples,
# 20,000 per property unless a count is given. Runs against the normal
# build; `bash scripts/sanitize.sh tests/test_fuzz.py` with the same
# variables runs it in the sanitizer build.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
bash "$root/scripts/setup.sh"
cd "$root"
ORVEKSDK_FUZZ_EXAMPLES="${1:-20000}" ORVEKSDK_FUZZ_RANDOM=1 \
  exec "$venv/bin/pytest" tests/test_fuzz.py --hypothesis-show-statistics "${@:2}"
