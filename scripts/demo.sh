#!/usr/bin/env bash
# The main job on a fresh machine: sets up (venv of today's releases, the
# build, the MariaDB server from apt), then runs the demo (scripts/demo.py)
# against a private server that it starts in .demo/ and removes again.
# ORVEKSDK_STACK=pinned runs it on the oldest supported line instead, and
# ORVEKSDK_PYTHON=3.13 on CPython 3.13 (today's releases only).
# Usage: scripts/demo.sh [demo.py arguments]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/stack.sh"
stack="${ORVEKSDK_STACK:-latest}"
python="${ORVEKSDK_PYTHON:-3.12}"
stack_paths "$stack" "$python"
bash "$root/scripts/setup.sh" --with-db --stack "$stack" --python "$python"
cd "$root"
exec "$venv/bin/python" "$root/scripts/demo.py" "$@"
