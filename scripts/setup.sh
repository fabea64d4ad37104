#!/usr/bin/env bash
# Sets up a fresh machine for orveksdk: the venv of one stack on one
# interpreter, that stack's pinned packages, the build of both extension
# modules and, with --with-db, the MariaDB server the tests and the demo
# start privately.
#
# Two stacks, each pinned exactly (scripts/stack.sh): pinned, the oldest
# supported line (CPython 3.12), and latest, today's releases (CPython 3.12
# or 3.13).
# Usage: scripts/setup.sh [--with-db] [--stack pinned|latest] [--python 3.12|3.13]
# (ORVEKSDK_STACK and ORVEKSDK_PYTHON pick them too; the stack is pinned
# on 3.12 and latest on 3.13 unless given.)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/stack.sh"
stack_options "$@"
with_db=0
for arg in ${other_args[@]+"${other_args[@]}"}; do
  case "$arg" in
    --with-db) with_db=1 ;;
    *) echo "setup.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done
stack_paths "$stack" "$python" || exit 2

# The tests' private servers; openssl makes the certificate of the one that
# offers TLS.
if [ "$with_db" = 1 ] && { { ! command -v mariadbd >/dev/null 2>&1 && ! [ -x /usr/sbin/mariadbd ]; } ||
                           ! command -v openssl >/dev/null 2>&1; }; then
  echo "== installing MariaDB server and openssl (apt)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq mariadb-server openssl >/dev/null
fi

is_version="import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$python'.split('.'))))"
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "$is_version" 2>/dev/null; then
  py="$(find_python "$python")" || { echo "setup.sh: CPython $python not found" >&2; exit 1; }
  echo "== creating venv $venv from $py"
  rm -rf "$venv"
  "$py" -m venv "$venv"
fi

pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
stamp="$venv/.orveksdk-packages"
want="$(cat "$constraints" "$root/requirements-dev.txt" | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "== installing the $stack stack's packages (CPython $python)"
  "${pip[@]}" install -c "$constraints" -r "$root/requirements-dev.txt" 2> >(grep -v "^WARNING: Location" >&2)
  echo "$want" > "$stamp"
fi

echo "== building orveksdk ($stack stack, CPython $python)"
# The development build also carries the test suite's helper module. Each
# stack and interpreter has its own build folder: their build tools differ.
ORVEKSDK_TESTING="${ORVEKSDK_TESTING:-ON}" "${pip[@]}" install --no-build-isolation --no-deps \
  -c "$constraints" -C build-dir="$build" "$root" 2> >(grep -v "^WARNING: Location" >&2)
