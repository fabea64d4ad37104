# The two pinned stacks and where each lives; sourced by the scripts.
#   pinned  constraints.txt, .venv (ORVEKSDK_VENV overrides)
#   latest  constraints-latest.txt, .venv-latest (ORVEKSDK_VENV_LATEST overrides)
# stack_paths STACK sets `constraints` and `venv`; needs `root`.
stack_paths() {
  case "$1" in
    pinned) constraints="$root/constraints.txt"; venv="${ORVEKSDK_VENV:-$root/.venv}" ;;
    latest) constraints="$root/constraints-latest.txt"; venv="${ORVEKSDK_VENV_LATEST:-$root/.venv-latest}" ;;
    *) echo "unknown stack $1 (pinned or latest)" >&2; return 2 ;;
  esac
}
