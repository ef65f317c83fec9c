#!/usr/bin/env bash
# Profiles quarvex on the 2M-triangle binary workload and the ASCII workload and prints
# the hottest functions. Uses perf: sampling cycles where the machine exposes hardware
# counters, else CPU time (a virtual machine often has no counters; time samples still show
# where a call waits on memory). valgrind's callgrind (instruction counts: exact, but ~50x
# slower than native, and blind to waiting) only where perf cannot record at all.
#   ./bench/profile.sh [binary|ascii|both] [clusters]     (default: both 10000)
# Needs bench/.venv (made by bench/run.sh). Builds the module as it ships (-O3) with debug
# info into build/bench-prof so that symbols and inlined frames resolve. Raw profiles stay in
# bench/work/profile/. The function table comes from hotspots.py.
set -euo pipefail
cd "$(dirname "$0")"
bench=$(pwd)
root=$(cd .. && pwd)
py="$bench/.venv/bin/python"
which=${1:-both}
clusters=${2:-10000}
out="$bench/work/profile"
mkdir -p "$out"
[ -x "$py" ] || { echo "run bench/run.sh once first (it makes bench/.venv)" >&2; exit 1; }

"$py" "$bench/workloads.py" >/dev/null

echo "== building quarvex with debug info into build/bench-prof"
# RelWithDebInfo alone is -O2, where the vertex merge's table lookup is not inlined and a call
# takes about twice as long: its profile would be of another program. -O3, as Release.
cmake -S "$root" -B "$root/build/bench-prof" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O3 -g -DNDEBUG" \
  -DQUARVEX_PYTHON_MODULE=ON -DQUARVEX_TESTS=OFF -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$root/build/bench-prof" -j2 >/dev/null
export PYTHONPATH="$root/build/bench-prof"

perf_event=""
if perf stat -e instructions true >/dev/null 2>&1 && ! perf stat -e instructions true 2>&1 | grep -q "not supported"; then
  profiler=perf
elif perf record -q -e cpu-clock -o /dev/null -- true >/dev/null 2>&1; then
  profiler=perf
  perf_event="-e cpu-clock"
else
  profiler=callgrind
fi
profiler=${QUARVEX_PROFILER:-$profiler}
echo "== profiler: $profiler ${perf_event:+(no hardware counters: CPU-time samples)}"

baseline_ir=""
if [ "$profiler" = callgrind ]; then
  # The interpreter starting and importing the module, so shares can be given of the call.
  valgrind --tool=callgrind --callgrind-out-file="$out/import-only.callgrind.out" \
    "$py" -c "import quarvex" >/dev/null 2>&1
  baseline_ir=$(callgrind_annotate --auto=no "$out/import-only.callgrind.out" 2>/dev/null \
    | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
fi

profile_one() {
  local label=$1 path=$2
  local call="import quarvex; quarvex.reduce_stl_points('$path', $clusters)"
  echo
  echo "===== $label: $(basename "$path"), $clusters points"
  if [ "$profiler" = perf ]; then
    # shellcheck disable=SC2086  # the event option is two words or none
    perf record -q -g $perf_event -o "$out/$label.perf.data" -- "$py" -c "$call" >/dev/null 2>&1
    echo "-- top functions, own samples (all threads)"
    perf report -i "$out/$label.perf.data" --no-children --sort symbol --stdio 2>/dev/null \
      | "$py" "$bench/hotspots.py" perf
  else
    local file="$out/$label.callgrind.out"
    valgrind --tool=callgrind --callgrind-out-file="$file" "$py" -c "$call" >/dev/null 2>&1
    echo "-- top functions, own instructions (all threads)"
    callgrind_annotate --auto=no --threshold=100 "$file" 2>/dev/null \
      | "$py" "$bench/hotspots.py" callgrind $baseline_ir
    echo "-- the module's functions with their callees (per thread: work a loop hands to"
    echo "   the workers counts under the worker's frames, not under the stage that ran it)"
    callgrind_annotate --auto=no --threshold=100 --inclusive=yes "$file" 2>/dev/null \
      | "$py" "$bench/hotspots.py" callgrind-inclusive $baseline_ir
  fi
}

work="$bench/work"
if [ "$which" = binary ] || [ "$which" = both ]; then
  profile_one binary "$("$py" -c "import sys; sys.path.insert(0, '$bench'); import workloads; print(workloads.BINARY_MAIN.path)")"
fi
if [ "$which" = ascii ] || [ "$which" = both ]; then
  profile_one ascii "$("$py" -c "import sys; sys.path.insert(0, '$bench'); import workloads; print(workloads.ASCII_MAIN.path)")"
fi
