# Sourced by the shell scripts that need a given CPython version.
# find_python 3.12 prints the command of a Python 3.12 interpreter (on PATH or pyenv's) or fails.
find_python() {
  local v=$1 candidate
  for candidate in "python$v" "$HOME/.pyenv/versions/$v"*/bin/python3; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$v'.split('.'))))" 2>/dev/null; then
      echo "$candidate"; return 0
    fi
  done
  echo "no Python $v found (as python$v on PATH or under ~/.pyenv/versions/): install it, or" \
    "use only the versions you have, e.g. QUARVEX_PYTHONS=3.12 ./run-tests" >&2
  return 1
}
