#!/usr/bin/env bash
# Sets up (venv, pinned packages, build, MariaDB) and runs the whole test
# suite, then the suite again in the sanitizer build (without the soak
# tests, which measure growth and would take most of its time). Extra
# arguments go to pytest in both runs; ORVEKSDK_SKIP_SANITIZER=1 leaves the
# second run out.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
bash "$root/scripts/setup.sh" --with-db
cd "$root"
"$venv/bin/python" -P -m pytest "$@"
if [ "${ORVEKSDK_SKIP_SANITIZER:-0}" != 1 ]; then
  echo "== the suite again, in the sanitizer build"
  bash "$root/scripts/sanitize.sh" -m "not soak" "$@"
fi
