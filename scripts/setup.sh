#!/usr/bin/env bash
# Sets up a fresh machine for orveksdk: the project venv (CPython 3.12), the
# pinned packages of one stack, the build of both extension modules and,
# with --with-db, the MariaDB server the tests and the demo start privately.
#
# Two stacks, each pinned exactly and each in its own venv (scripts/stack.sh):
# pinned, the oldest supported line, and latest, today's releases.
# Usage: scripts/setup.sh [--with-db] [--stack pinned|latest]
# (ORVEKSDK_STACK picks the stack too.)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
stack="${ORVEKSDK_STACK:-pinned}"
with_db=0
while [ $# -gt 0 ]; do
  case "$1" in
    --with-db) with_db=1 ;;
    --stack) stack="${2:?--stack takes pinned or latest}"; shift ;;
    --stack=*) stack="${1#--stack=}" ;;
    *) echo "setup.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
source "$root/scripts/stack.sh"
stack_paths "$stack" || exit 2

# CPython 3.12: pyenv's 3.12 when there is one, else python3.12 on PATH.
find_python() {
  local candidates=()
  if command -v pyenv >/dev/null 2>&1; then
    local proot; proot="$(pyenv root)"
    candidates+=("$proot"/versions/3.12*/bin/python3.12)
  fi
  candidates+=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12)
  for py in "${candidates[@]}"; do
    if [ -x "$py" ] && "$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
      echo "$py"; return 0
    fi
  done
  if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
    command -v python3.12; return 0
  fi
  return 1
}

if [ "$with_db" = 1 ] && ! command -v mariadbd >/dev/null 2>&1 && ! [ -x /usr/sbin/mariadbd ]; then
  echo "== installing MariaDB server (apt)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq mariadb-server >/dev/null
fi

if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
  py="$(find_python)" || { echo "setup.sh: CPython 3.12 not found" >&2; exit 1; }
  echo "== creating venv $venv from $py"
  rm -rf "$venv"
  "$py" -m venv "$venv"
fi

pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
stamp="$venv/.orveksdk-packages"
want="$(cat "$constraints" "$root/requirements-dev.txt" | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "== installing the $stack stack's packages"
  "${pip[@]}" install -c "$constraints" -r "$root/requirements-dev.txt" 2> >(grep -v "^WARNING: Location" >&2)
  echo "$want" > "$stamp"
fi

echo "== building orveksdk ($stack stack)"
# The development build also carries the test suite's helper module. Each
# stack has its own build folder: their build tools differ.
ORVEKSDK_TESTING="${ORVEKSDK_TESTING:-ON}" "${pip[@]}" install --no-build-isolation --no-deps \
  -c "$constraints" -C build-dir="$root/build/$stack" "$root" 2> >(grep -v "^WARNING: Location" >&2)
