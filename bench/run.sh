#!/usr/bin/env bash
# Benchmarks vemo-diff on large generated trace pairs against a plain parallel read of the same
# files, and the comparison's speed-up from one worker to all.
#
#   bench/run.sh BUILD_DIR [SIZE_MIB]
#
# BUILD_DIR holds a release build configured with -DVEMO_BUILD_BENCH=ON (make bench does that).
# SIZE_MIB is the size of one uncompressed trace (default 256; 1024 gives 64 Ki warps x 1 Ki
# events). The traces go to a temporary directory under $VEMO_BENCH_DIR (default /tmp) and are
# removed at the end. VEMO_BENCH_REPEATS sets the runs per measurement (default 5, best kept).
set -euo pipefail

build=${1:?usage: bench/run.sh BUILD_DIR [SIZE_MIB]}
size_mib=${2:-256}
repeats=${VEMO_BENCH_REPEATS:-5}
vemo_diff=$build/vemo-diff
tools=$build/bench
for tool in "$vemo_diff" "$tools/vemo_gen_traces" "$tools/vemo_read_baseline" \
  "$tools/vemo_compare_bench"; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done

# Three uncompressed traces and two compressed ones (about a third of the size each).
parent=${VEMO_BENCH_DIR:-/tmp}
need_kib=$((size_mib * 1024 * 4))
free_kib=$(df -Pk "$parent" | awk 'NR == 2 { print $4 }')
if ((free_kib < need_kib)); then
  echo "not enough space in $parent: need $((need_kib / 1024)) MiB, have $((free_kib / 1024)) MiB" >&2
  exit 1
fi
dir=$(mktemp -d "$parent/vemo-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

echo "Generating traces in $dir ..."
"$tools/vemo_gen_traces" "$dir" "$size_mib"
cat "$dir"/*.trace >/dev/null  # into the page cache, so every run reads memory, not disk

# Best wall-clock time of `repeats` runs, in seconds; exit statuses above `max_status` abort.
best_time() {
  local max_status=$1
  shift
  local best="" start end elapsed status
  for ((run = 0; run < repeats; run++)); do
    start=$EPOCHREALTIME
    status=0
    "$@" >/dev/null 2>&1 || status=$?
    end=$EPOCHREALTIME
    if ((status > max_status)); then
      echo "failed (status $status): $*" >&2
      return 1
    fi
    elapsed=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", e - s }')
    if [[ -z $best ]] || awk -v a="$elapsed" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$elapsed
    fi
  done
  echo "$best"
}

# The fastest in-process comparison time that vemo_compare_bench reports.
compare_time() {
  "$@" | awk '{ print $NF }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%8.1f ms", s * 1000 }'; }

base=$dir/base.trace
same=$dir/same.trace
sparse=$dir/sparse.trace
workers=$(nproc)

baseline=$(best_time 0 "$tools/vemo_read_baseline" "$base" "$same")
identical=$(best_time 0 "$vemo_diff" "$base" "$same")
divergent=$(best_time 1 "$vemo_diff" "$base" "$sparse")
compressed=$(best_time 0 "$vemo_diff" "$dir/base.zst.trace" "$dir/same.zst.trace")
identical_one=$(best_time 0 taskset -c 0 "$vemo_diff" "$base" "$same")
compare_all=$(compare_time "$tools/vemo_compare_bench" "$base" "$same" "$repeats")
compare_one=$(compare_time taskset -c 0 "$tools/vemo_compare_bench" "$base" "$same" "$repeats")

echo
echo "One trace: $size_mib MiB uncompressed; $workers CPUs; best of $repeats runs"
echo "  parallel read of both files (baseline)  $(ms "$baseline")"
echo "  vemo-diff, identical pair               $(ms "$identical")   $(ratio "$identical" "$baseline") x baseline"
echo "  vemo-diff, sparse divergences           $(ms "$divergent")   $(ratio "$divergent" "$baseline") x baseline"
echo "  vemo-diff, identical pair, zstd         $(ms "$compressed")   $(ratio "$compressed" "$baseline") x baseline"
echo "  vemo-diff, identical pair, 1 worker     $(ms "$identical_one")   speed-up $(ratio "$identical_one" "$identical") with $workers"
echo "  comparison alone, all workers           $(ms "$compare_all")"
echo "  comparison alone, 1 worker              $(ms "$compare_one")   speed-up $(ratio "$compare_one" "$compare_all") with $workers"

echo
"$(dirname "$0")/divergent.sh" "$build" "${VEMO_BASELINE_BUILD:-}" "$size_mib"
"$(dirname "$0")/outputs.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
"$(dirname "$0")/sessions.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
"$(dirname "$0")/sitemaps.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
"$(dirname "$0")/compressed.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
