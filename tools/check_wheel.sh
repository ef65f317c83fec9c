#!/usr/bin/env bash
# Installs a binary wheel into a fresh virtual environment of one CPython version, with no
# compiler and no index to fall back on, and runs the lean set of Python tests
# (tests/python/lean_set.txt) against it:
#
#   tools/check_wheel.sh WHEEL VERSION     e.g. dist/quarvex-0.1.0-cp312-abi3-....whl 3.14
#
# A version the machine lacks (tools/find_python.sh) is checked inside the Debian testing
# root (tools/forky_root.sh, needs root). Environments: .venv/wheel-test-VERSION (inside
# the root: its own /var/lib/quarvex/venv) with pytest and numpy only, made on first use and
# shared by the wheels of that version; quarvex is uninstalled before each wheel goes in.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. tools/find_python.sh
wheel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
v=$2
venvs=${QUARVEX_VENV_DIR:-$root/.venv}

if ! python=$(find_python "$v" 2>/dev/null); then
  if [ -n "${QUARVEX_IN_FORKY:-}" ]; then find_python "$v"; exit 1; fi
  case "$wheel" in "$root"/*) ;; *) echo "check_wheel: $wheel must be inside $root" >&2; exit 1 ;; esac
  tools/forky_root.sh make
  exec tools/forky_root.sh run env QUARVEX_VENV_DIR=/var/lib/quarvex/venv \
    /quarvex/tools/check_wheel.sh "/quarvex/${wheel#"$root"/}" "$v"
fi

echo "-- $(basename "$wheel") on Python $v ($python)"
venv="$venvs/wheel-test-$v"
python_venv "$venv" "$python" --only-binary=:all: "pytest>=7" numpy
"$venv/bin/python" -m pip uninstall -q -y quarvex 2>/dev/null || true
# The wheel must install as it is: no index, no source build, no compiler on the path.
PATH="$venv/bin" CC=/bin/false CXX=/bin/false "$venv/bin/python" -m pip install -q \
  --disable-pip-version-check --no-index --no-build-isolation --only-binary=:all: --no-deps \
  --force-reinstall "$wheel"
# The module comes from the wheel (not the source tree), and an abi3 wheel's is the abi3 one.
(cd tests/python && "$venv/bin/python" -c "
import quarvex, sys
assert quarvex.__file__.startswith('$venv/'), quarvex.__file__
assert ('-abi3-' in '$wheel') == quarvex.__file__.endswith('.abi3.so'), quarvex.__file__")
set +e
(cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
  $(grep -v '^#' lean_set.txt))
rc=$?
set -e
exit $rc
