#!/usr/bin/env bash
# Sets up and runs the whole test suite: on each stack and interpreter, each
# in its own venv and build folder (scripts/setup.sh), then on the binary
# wheels and the sdist a user installs (scripts/wheels.sh). The runs, in order:
#   pinned          the pinned stack on CPython 3.12, then again in the
#                   sanitizer build of it (without the soak tests, which
#                   measure growth and would take most of its time);
#   latest          today's releases on CPython 3.12 (without the soak tests);
#   latest:3.13     today's releases on CPython 3.13 (without the soak tests);
#   wheels          both wheels and the sdist, each installed into a fresh
#                   venv of its interpreter (tests/test_wheel.py).
# (The pinned line has no 3.13 run: numpy 1.26 has no wheels for 3.13.)
# Extra arguments go to pytest in every suite run. ORVEKSDK_RUNS picks runs
# ("latest:3.13 wheels", say); ORVEKSDK_SKIP_SANITIZER=1 leaves the
# sanitizer run out.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/stack.sh"
cd "$root"
for run in ${ORVEKSDK_RUNS:-pinned latest latest:3.13 wheels}; do
  start=$SECONDS
  if [ "$run" = wheels ]; then
    bash "$root/scripts/wheels.sh" "$root/dist"
    stack_paths pinned
    [ -x "$venv/bin/python" ] || bash "$root/scripts/setup.sh" --stack pinned
    echo "== the wheels and the sdist, each in a fresh venv"
    ORVEKSDK_DIST="$root/dist" "$venv/bin/pytest" tests/test_wheel.py
  else
    stack="${run%%:*}"
    python="${run#*:}"; [ "$python" != "$run" ] || python=3.12
    stack_paths "$stack" "$python"
    bash "$root/scripts/setup.sh" --with-db --stack "$stack" --python "$python"
    if [ "$stack" = pinned ]; then
      echo "== the suite on the pinned stack (CPython $python)"
      "$venv/bin/pytest" "$@"
      if [ "${ORVEKSDK_SKIP_SANITIZER:-0}" != 1 ]; then
        echo "== the suite again, in the sanitizer build"
        ORVEKSDK_VENV="$venv" ORVEKSDK_SET_UP=1 bash "$root/scripts/sanitize.sh" -m "not soak" "$@"
      fi
    else
      echo "== the suite on today's releases (CPython $python)"
      "$venv/bin/pytest" -m "not soak" "$@"
    fi
  fi
  echo "== $run: $((SECONDS - start)) s"
done
