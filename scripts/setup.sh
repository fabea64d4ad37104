#!/usr/bin/env bash
# Sets up a fresh machine for orveksdk: the project venv (CPython 3.12), the
# pinned packages, the build of both extension modules and, with --with-db,
# the MariaDB server the tests and the demo start privately.
# Usage: scripts/setup.sh [--with-db]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
with_db=0
for arg in "$@"; do
  case "$arg" in
    --with-db) with_db=1 ;;
    *) echo "setup.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done

# CPython 3.12: pyenv's 3.12 when there is one, else python3.12 on PATH.
find_python() {
  local candidates=()
  if command -v pyenv >/dev/null 2>&1; then
    local proot; proot="$(pyenv root)"
    candidates+=("$proot"/versions/3.12*/bin/python3.12)
  fi
  candidates+=(/root/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12)
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
want="$(cat "$root/constraints.txt" "$root/requirements-dev.txt" | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "== installing pinned packages"
  "${pip[@]}" install -c "$root/constraints.txt" -r "$root/requirements-dev.txt" 2> >(grep -v "^WARNING: Location" >&2)
  echo "$want" > "$stamp"
fi

echo "== building orveksdk"
# The development build also carries the test suite's helper module.
ORVEKSDK_TESTING="${ORVEKSDK_TESTING:-ON}" "${pip[@]}" install --no-build-isolation --no-deps -c "$root/constraints.txt" "$root" 2> >(grep -v "^WARNING: Location" >&2)
