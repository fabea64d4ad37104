# The pinned stacks and the interpreters each runs on; sourced by the scripts.
# Each (stack, interpreter) has its exact pins in one file, a venv and a
# build folder of its own:
#   pinned on 3.12  constraints.txt               .venv (ORVEKSDK_VENV overrides)
#   latest on 3.12  constraints-latest.txt        .venv-latest (ORVEKSDK_VENV_LATEST overrides)
#   latest on 3.13  constraints-latest-py313.txt  .venv-latest-py313
# The pinned line has no 3.13 run: numpy 1.26 publishes no wheels for 3.13.
# stack_paths STACK [PYTHON] sets `constraints`, `venv` and `build` (PYTHON
# is 3.12 when not given); needs `root`.
supported_pythons="3.12 3.13"

stack_paths() {
  case "$1:${2:-3.12}" in
    pinned:3.12) constraints="$root/constraints.txt"; venv="${ORVEKSDK_VENV:-$root/.venv}"
                 build="$root/build/pinned" ;;
    latest:3.12) constraints="$root/constraints-latest.txt"; venv="${ORVEKSDK_VENV_LATEST:-$root/.venv-latest}"
                 build="$root/build/latest" ;;
    latest:3.13) constraints="$root/constraints-latest-py313.txt"; venv="$root/.venv-latest-py313"
                 build="$root/build/latest-py313" ;;
    pinned:3.13) echo "the pinned stack runs on CPython 3.12 only: numpy 1.26 has no wheels for 3.13" >&2
                 return 2 ;;
    *) echo "unknown stack or interpreter '$1' on '${2:-3.12}' (stacks: pinned, latest; interpreters: $supported_pythons)" >&2
       return 2 ;;
  esac
}

# stack_options ARG...: takes --stack S and --python X.Y (or --stack=S,
# --python=X.Y) from the arguments into `stack` and `python`, which start
# from ORVEKSDK_STACK and ORVEKSDK_PYTHON; the other arguments are left in
# the array `other_args`. The stack is then pinned on 3.12 and latest on
# 3.13 unless given.
stack_options() {
  stack="${ORVEKSDK_STACK:-}"
  python="${ORVEKSDK_PYTHON:-3.12}"
  other_args=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --stack) stack="${2:?--stack takes pinned or latest}"; shift ;;
      --stack=*) stack="${1#--stack=}" ;;
      --python) python="${2:?--python takes 3.12 or 3.13}"; shift ;;
      --python=*) python="${1#--python=}" ;;
      *) other_args+=("$1") ;;
    esac
    shift
  done
  [ -n "$stack" ] || { [ "$python" = 3.12 ] && stack=pinned || stack=latest; }
}

# find_python X.Y prints the path of a CPython X.Y: pyenv's X.Y when there
# is one, else pythonX.Y on PATH (the bare pyenv shims refuse while pyenv's
# global version is another one, so they are not asked).
find_python() {
  local want="$1" candidates=() py
  if command -v pyenv >/dev/null 2>&1; then
    candidates+=("$(pyenv root)"/versions/"$want"*/bin/python"$want")
  fi
  candidates+=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want"*/bin/python"$want"
               /usr/local/bin/python"$want" /usr/bin/python"$want")
  if command -v python"$want" >/dev/null 2>&1; then candidates+=("$(command -v python"$want")"); fi
  for py in "${candidates[@]}"; do
    if [ -x "$py" ] && "$py" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))" 2>/dev/null; then
      echo "$py"; return 0
    fi
  done
  return 1
}
