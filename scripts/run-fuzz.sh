#!/usr/bin/env bash
# Runs every libFuzzer target of BUILD_DIR for SECONDS each, JOBS at a time, at low priority.
# New inputs go to BUILD_DIR/fuzz/corpus/<target>, crash inputs to BUILD_DIR/fuzz/artifacts/,
# logs to BUILD_DIR/fuzz/<target>.log, CPU seconds (user, system) to <target>.cpu.
# Fails when a target found something.
# Usage: scripts/run-fuzz.sh BUILD_DIR SECONDS [JOBS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 seconds=$2 jobs=${3:-1}
work=$build/fuzz
mkdir -p "$work/artifacts"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/tests/fuzz/ubsan.supp"
symbolizer=$(command -v llvm-symbolizer-16 || command -v llvm-symbolizer || true)
if [ -n "$symbolizer" ]; then
  export ASAN_SYMBOLIZER_PATH=$symbolizer
fi

run_target() {
  local binary=$1 name
  name=$(basename "$binary")
  name=${name#fuzz_}
  local seeds=(tests/fuzz/corpus/"$name")
  if [ -d tests/fuzz/crashes/"$name" ]; then
    seeds+=(tests/fuzz/crashes/"$name")
  fi
  mkdir -p "$work/corpus/$name"
  # The timeout is wall-clock time: at nice 19 on a busy machine an input can wait for tens of
  # seconds, so only a real hang passes two minutes.
  if /usr/bin/time -f '%U %S' -o "$work/$name.cpu" nice -n 19 "$binary" \
      -max_total_time="$seconds" -timeout=120 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/$name-" \
      "$work/corpus/$name" "${seeds[@]}" >"$work/$name.log" 2>&1; then
    local execs cpu
    execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/$name.log")
    cpu=$(awk '{printf "%.0f", $1 + $2}' "$work/$name.cpu")
    echo "fuzz_$name: ok, $execs execs in ${seconds}s (${cpu}s of CPU)"
  else
    echo "fuzz_$name: FOUND A FAULT, see $work/$name.log"
    return 1
  fi
}
export -f run_target
export work seconds

ls "$build"/tests/fuzz/fuzz_* | xargs -P "$jobs" -I{} bash -c 'run_target {}'
