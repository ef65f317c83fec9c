#!/usr/bin/env bash
# The benchmark in one command: ./bench/run.sh [--small] [--runs N] [--tools quarvex,numpy-stl,...]
# Makes bench/.venv on first use (Python 3.13 unless QUARVEX_BENCH_PYTHON names another),
# installs the peers and builds quarvex from this tree into it (or installs the wheel named by
# QUARVEX_BENCH_WHEEL), then runs run.py, which writes bench/results/results.md,
# results.json and time_vs_size.png.
set -euo pipefail
wheel=${QUARVEX_BENCH_WHEEL:+$(realpath "$QUARVEX_BENCH_WHEEL")}
cd "$(dirname "$0")"
bench=$(pwd)
root=$(cd .. && pwd)
venv="$bench/.venv"

. "$root/tools/find_python.sh"

python_venv "$venv" "${QUARVEX_BENCH_PYTHON:-3.13}" -r requirements.txt

# Open3D's wheel links libusb at import time; Debian-based machines may lack it.
if ! "$venv/bin/python" -c "import open3d" >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing libusb-1.0-0 for Open3D"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libusb-1.0-0 >/dev/null 2>&1 \
      || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libusb-1.0-0 >/dev/null; } \
      || echo "could not install libusb-1.0-0; Open3D will be reported as not run"
  fi
fi

if [ -n "$wheel" ]; then
  echo "== installing quarvex from $wheel"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall \
    "$wheel"
else
  echo "== building quarvex from $root (Release)"
  PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --no-build-isolation --no-deps --force-reinstall -Cbuild-dir="$root/build/bench" "$root"
fi

echo "== building the native per-stage timer and the streaming floor (build/stages)"
cmake -S "$root" -B "$root/build/stages" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUARVEX_PYTHON_MODULE=OFF -DQUARVEX_BENCH_STAGES=ON >/dev/null
cmake --build "$root/build/stages" --target stages stream_floor >/dev/null

QUARVEX_STAGES="$root/build/stages/stages" QUARVEX_STREAM_FLOOR="$root/build/stages/stream_floor" \
  exec "$venv/bin/python" "$bench/run.py" "$@"
