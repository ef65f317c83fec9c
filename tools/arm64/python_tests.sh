#!/usr/bin/env bash
# Runs the emulated set of Python tests (tests/python/emulated_set.txt) in the arm64 Debian
# root against an aarch64 wheel:
#
#   tools/arm64/python_tests.sh WHEEL PYTHON    (root)
#
# WHEEL is an aarch64 wheel that Python 3.13 takes (the abi3 one, or cp313); PYTHON is a host
# interpreter that imports quarvex and numpy, whose results on the lattice meshes of
# tests/python/reference_results.py are the reference the aarch64 build must match bit for
# bit. The wheel is unzipped into the root (/opt/quarvex/wheel, put on PYTHONPATH: nothing
# is installed with pip there), the tests are copied in, and the root's Python 3.13 runs
# pytest under qemu-aarch64 inside chroot, with /proc mounted in a mount namespace of its
# own, which goes away with the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
. tools/arm64/common.sh
wheel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
host_python=$2
case "$host_python" in /*) ;; */*) host_python=$root/$host_python ;; esac
tools/arm64/make_root.sh
need_qemu

work="$arm64_root/opt/quarvex"
rm -rf "$work"
mkdir -p "$work/wheel" "$work/reference"
echo "-- reference results from the host's build ($host_python)"
(cd tests/python && "$host_python" reference_results.py "$work/reference")
"$host_python" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$wheel" "$work/wheel"
cp -r tests/python "$work/tests"
rm -rf "$work/tests/__pycache__"

echo "-- emulated set on $(basename "$wheel"), Python 3.13 for aarch64 under qemu"
unshare --mount --propagation private /bin/sh -s "$arm64_root" <<'INSIDE'
set -e
mount -t proc proc "$1/proc"
exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  PYTHONPATH=/opt/quarvex/wheel QUARVEX_REFERENCE=/opt/quarvex/reference \
  chroot "$1" /bin/sh -c '
    cd /opt/quarvex/tests &&
    python3.13 -c "import quarvex, sys; sys.exit(not quarvex.__file__.startswith(\"/opt/quarvex/wheel/\"))" &&
    exec python3.13 -m pytest -q -p no:cacheprovider $(grep -v "^#" emulated_set.txt)'
INSIDE
