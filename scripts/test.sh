#!/usr/bin/env bash
# Sets up and runs the whole test suite on both stacks, each in its own venv
# (scripts/setup.sh): first on the pinned stack, then again in the sanitizer
# build of it (without the soak tests, which measure growth and would take
# most of its time), then on today's releases (without the soak tests).
# Extra arguments go to pytest in every run. ORVEKSDK_SKIP_SANITIZER=1
# leaves the sanitizer run out; ORVEKSDK_STACKS="pinned" (or "latest")
# runs one stack only.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/stack.sh"
cd "$root"
for stack in ${ORVEKSDK_STACKS:-pinned latest}; do
  stack_paths "$stack"
  bash "$root/scripts/setup.sh" --with-db --stack "$stack"
  if [ "$stack" = pinned ]; then
    echo "== the suite on the pinned stack"
    "$venv/bin/python" -P -m pytest "$@"
    if [ "${ORVEKSDK_SKIP_SANITIZER:-0}" != 1 ]; then
      echo "== the suite again, in the sanitizer build"
      ORVEKSDK_VENV="$venv" ORVEKSDK_SET_UP=1 bash "$root/scripts/sanitize.sh" -m "not soak" "$@"
    fi
  else
    echo "== the suite on today's releases"
    "$venv/bin/python" -P -m pytest -m "not soak" "$@"
  fi
done
