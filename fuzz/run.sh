#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each for a bounded time, starting from the generated seeds plus whatever corpus
# earlier runs left in the build folder.
#
#   fuzz/run.sh                   every harness, QUARVEX_FUZZ_SECONDS (default 60) each
#   fuzz/run.sh reduce_fuzzer     only the named harnesses
#
# QUARVEX_FUZZ_BUILD (default build/fuzz) is the build folder; QUARVEX_FUZZ_FLAGS adds
# libFuzzer flags (for example "-jobs=8 -workers=8" for a long run on a big machine).
# Fails on the first crash, leak, timeout, memory blow-up or sanitizer report; the input that
# caused it is kept as <build>/artifacts/<harness>-crash-* (or -leak-, -timeout-, -oom-).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUARVEX_FUZZ_BUILD:-build/fuzz}
seconds=${QUARVEX_FUZZ_SECONDS:-60}
harnesses=${*:-"stl_read_fuzzer stl_ascii_fuzzer number_words_fuzzer reduce_fuzzer float_syntax_fuzzer"}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUARVEX_FUZZ=ON \
  -DQUARVEX_PYTHON_MODULE=OFF -DQUARVEX_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target $harnesses
"${PYTHON:-python3}" fuzz/make_seeds.py "$build/seeds"
mkdir -p "$build/artifacts" "$build/logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
for harness in $harnesses; do
  corpus="$build/corpus/$harness"
  log="$build/logs/$harness.log"
  stamp="$build/logs/$harness.start"
  mkdir -p "$corpus"
  touch "$stamp"
  echo "-- $harness for ${seconds}s"
  set +e
  # -timeout: one input taking this long is a hang. -rss_limit_mb: the inputs are at most
  # 16 KiB, so anything near this is runaway memory.
  "$build/$harness" -max_total_time="$seconds" -max_len=16384 -timeout=25 -rss_limit_mb=2560 \
    -dict=fuzz/stl_ascii.dict -print_final_stats=1 -artifact_prefix="$build/artifacts/$harness-" \
    ${QUARVEX_FUZZ_FLAGS:-} "$corpus" "$build/seeds/$harness" >"$log" 2>&1
  rc=$?
  set -e
  # With -jobs the parent may exit 0 after a job crashed; a new artifact fails the run too.
  if [ -n "$(find "$build/artifacts" -name "$harness-*" -newer "$stamp" | head -n 1)" ]; then
    [ $rc -ne 0 ] || rc=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$log" | sed 's/^/   /' || true
  if [ $rc -ne 0 ]; then
    echo "$harness failed (exit $rc); the end of $log:"
    tail -n 80 "$log"
    exit 1
  fi
done
echo "-- every harness ran clean"
