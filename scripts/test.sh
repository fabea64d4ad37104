#!/usr/bin/env bash
# Sets up and runs the whole test suite: on each stack and interpreter, each
# in its own venv and build folder (scripts/setup.sh), then on the binary
# wheels and the sdist a user installs (scripts/wheels.sh). The runs:
#   pinned          the pinned stack on CPython 3.12, then again in the
#                   sanitizer build of it (without the soak tests, which
#                   measure growth and would take most of its time);
#   latest          today's releases on CPython 3.12 (without the soak tests);
#   latest:3.13     today's releases on CPython 3.13 (without the soak tests);
#   wheels          both wheels and the sdist, each installed into a fresh
#                   venv of its interpreter (tests/test_wheel.py).
# (The pinned line has no 3.13 run: numpy 1.26 has no wheels for 3.13.)
#
# The machine has two cores and a suite run keeps about one busy (the rest
# is the database server and waiting on it), so the runs go in two lanes
# side by side: `pinned` in one, the others in order in the other; each
# lane's output is printed whole when it ends. The pinned stack is set up
# first, alone (it installs the MariaDB server when missing). No test
# depends on the time of another process; each pytest session starts its
# own private server.
#
# Extra arguments go to pytest in every suite run. ORVEKSDK_RUNS picks runs
# ("latest:3.13 wheels", say); ORVEKSDK_SKIP_SANITIZER=1 leaves the
# sanitizer run out; ORVEKSDK_LANES=1 runs everything in one lane, in order.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/stack.sh"
cd "$root"

one_run() {
  local run="$1"; shift
  local start=$SECONDS
  if [ "$run" = wheels ]; then
    bash "$root/scripts/wheels.sh" "$root/dist"
    stack_paths pinned
    [ -x "$venv/bin/python" ] || bash "$root/scripts/setup.sh" --stack pinned
    echo "== the wheels and the sdist, each in a fresh venv"
    ORVEKSDK_DIST="$root/dist" "$venv/bin/pytest" tests/test_wheel.py
  else
    local stack="${run%%:*}" python="${run#*:}"
    [ "$python" != "$run" ] || python=3.12
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
}

# Runs the given runs in order, stopping at the first that fails (errexit
# holds in it: it is never called where its status is tested).
lane() {
  local run
  for run in $1; do
    one_run "$run" "${@:2}"
  done
}

runs="${ORVEKSDK_RUNS:-pinned latest latest:3.13 wheels}"
first="" rest=""
for run in $runs; do
  case "$run" in pinned*) first="$first $run" ;; *) rest="$rest $run" ;; esac
done
start=$SECONDS
if [ "${ORVEKSDK_LANES:-2}" = 1 ] || [ -z "$first" ] || [ -z "$rest" ]; then
  lane "$runs" "$@"
else
  echo "== setting up the pinned stack"
  stack_paths pinned
  bash "$root/scripts/setup.sh" --with-db --stack pinned
  logs="$(mktemp -d)"
  trap 'rm -rf "$logs"' EXIT
  lane "$first" "$@" > "$logs/first" 2>&1 & first_pid=$!
  lane "$rest" "$@" > "$logs/rest" 2>&1 & rest_pid=$!
  status=0
  for side in first rest; do
    pid="${side}_pid"
    code=0
    wait "${!pid}" || code=$?
    echo "==== the lane of:${!side}"
    cat "$logs/$side"
    [ "$code" = 0 ] || { echo "==== that lane failed (exit $code)"; status=1; }
  done
  echo "== all runs: $((SECONDS - start)) s"
  exit "$status"
fi
echo "== all runs: $((SECONDS - start)) s"
