# Sourced by the shell scripts that need CPython interpreters.
#
# find_pythons      prints "VERSION PATH" for every CPython 3.12 or later on the machine, one
#                   per minor version, oldest first: python3 and python3.N on PATH (Debian's,
#                   Ubuntu's, Fedora's own), then pyenv's (PYENV_ROOT, default ~/.pyenv), in
#                   that order of preference. Free-threaded builds (3.13t, ...) and other
#                   implementations are passed over: the module refuses them.
# find_python 3.12  prints the path of a CPython 3.12 interpreter found that way, or fails.
# QUARVEX_PYTHONS="3.12 3.14" limits both to those versions.
# python_venv DIR PYTHON [PIP-ARGUMENT...]
#                   makes the virtual environment DIR with PYTHON (a path or a command, or a
#                   version for find_python) unless it is there, then has pip install the
#                   arguments into it: quietly, and only checking what is already there.
#                   Everything goes to standard error, so $(...) can wrap a caller.

# The CPython versions the project supports: the whole suite and a wheel for each (run-tests
# --all, tools/build_wheels.sh). README.md's tables and pyproject.toml's classifiers name them too.
supported_pythons="3.12 3.13 3.14 3.15"
# Those of them that Debian's testing distribution packages (for amd64 and arm64 alike):
# tools/forky_root.sh installs them in its root, for a machine that lacks one.
testing_root_pythons="3.13 3.14 3.15"

quarvex_python_candidates() {
  local n dir
  command -v python3 2>/dev/null || true
  for n in $(seq 12 30); do command -v "python3.$n" 2>/dev/null || true; done
  for dir in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin; do
    [ -x "$dir/python3" ] && echo "$dir/python3"
  done
  return 0
}

find_pythons() {
  local candidate line seen=" "
  while read -r candidate; do
    # "3.13 /usr/bin/python3.13" for a regular CPython 3.12 or later; nothing otherwise.
    line=$("$candidate" -c '
import sys, sysconfig
ok = (sys.implementation.name == "cpython" and sys.version_info >= (3, 12)
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
if ok: print("%d.%d" % sys.version_info[:2], sys.executable)' 2>/dev/null) || continue
    [ -n "$line" ] || continue
    case "$seen" in *" ${line%% *} "*) continue ;; esac
    if [ -n "${QUARVEX_PYTHONS:-}" ]; then
      case " $QUARVEX_PYTHONS " in *" ${line%% *} "*) ;; *) continue ;; esac
    fi
    seen="$seen${line%% *} "
    echo "$line"
  done < <(quarvex_python_candidates) | sort -t. -k2,2n
}

find_python() {
  local v=$1 line
  while read -r line; do
    if [ "${line%% *}" = "$v" ]; then echo "${line#* }"; return 0; fi
  done < <(QUARVEX_PYTHONS=$v find_pythons)
  echo "no CPython $v found (as python3 or python$v on PATH, or under ${PYENV_ROOT:-~/.pyenv}/versions/)" >&2
  return 1
}

python_venv() {
  local dir=$1 python=$2
  shift 2
  if [ ! -x "$dir/bin/python" ]; then
    case "$python" in [0-9]*) python=$(find_python "$python") || return ;; esac
    "$python" -m venv "$dir" >&2 || return
  fi
  if [ $# -gt 0 ]; then
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@" >&2 || return
  fi
}
