#!/usr/bin/env bash
# Builds both modules with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite against that build, with the sanitizer runtimes
# preloaded into the interpreter. Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ORVEKSDK_VENV:-$root/.venv}"
# test.sh has just set up this venv.
[ "${ORVEKSDK_SET_UP:-0}" = 1 ] || bash "$root/scripts/setup.sh" --with-db
target="$root/.asan/site"
rm -rf "$target"
echo "== building the sanitizer build"
ORVEKSDK_SANITIZE=ON ORVEKSDK_TESTING=ON "$venv/bin/python" -m pip --disable-pip-version-check -q install \
  --no-build-isolation --no-deps --target "$target" \
  -C build-dir="$root/build/asan" -C cmake.build-type=RelWithDebInfo "$root" \
  2> >(grep -v "^WARNING: Location" >&2)
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
cd "$root"
# CPython and its extensions keep memory until exit by design: leaks are
# checked by the suite's own leak helper instead of LeakSanitizer.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$target${PYTHONPATH:+:$PYTHONPATH}"
export ORVEKSDK_SANITIZED=1
LD_PRELOAD="$asan:$ubsan" exec "$venv/bin/pytest" "$@"
