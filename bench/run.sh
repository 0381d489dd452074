#!/usr/bin/env bash
# Benchmarks vemo-diff on large generated trace pairs against a plain parallel read of the same
# files, on all CPUs and on one, and the comparison's speed-up from one worker to all. With
# VEMO_BASELINE_BUILD set to another release build, its vemo-diff is measured on the identical
# pair in the same rounds, and the other bench scripts compare against it.
#
#   bench/run.sh BUILD_DIR [SIZE_MIB [EVENTS_PER_WARP]]
#
# BUILD_DIR holds a release build configured with -DVEMO_BUILD_BENCH=ON (make bench does that).
# SIZE_MIB is the size of the events of one uncompressed trace (default 256) and
# EVENTS_PER_WARP the length of its warps (default 1024), which together give the warp count:
# 1024 and 1024 give 64 Ki warps x 1 Ki events, 1024 and 16 give 4 Mi warps x 16 events. The
# traces go to a temporary directory under $VEMO_BENCH_DIR (default /tmp) and are removed at the
# end. VEMO_BENCH_REPEATS sets the runs per measurement (default 5, best kept). With
# VEMO_BENCH_PAIR_ONLY set, only this pair is measured, without the other bench scripts.
set -euo pipefail

build=${1:?usage: bench/run.sh BUILD_DIR [SIZE_MIB [EVENTS_PER_WARP]]}
size_mib=${2:-256}
events=${3:-1024}
repeats=${VEMO_BENCH_REPEATS:-5}
vemo_diff=$build/vemo-diff
tools=$build/bench
for tool in "$vemo_diff" "$tools/vemo_gen_traces" "$tools/vemo_read_baseline" \
  "$tools/vemo_compare_bench" /usr/bin/time; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done

before=${VEMO_BASELINE_BUILD:-}
for tool in vemo-diff bench/vemo_compare_bench; do
  [[ -z $before || -x $before/$tool ]] || { echo "missing $before/$tool" >&2; exit 1; }
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
shape=$("$tools/vemo_gen_traces" "$dir" "$size_mib" "$events")
warps=${shape%% warps*}
# Into the page cache, so that every run reads memory, not disk, and held there as a trace read
# from disk is: each file is dropped from the cache and read back. The pages of a file just
# written map into a process a few at a time (about 33 000 page faults for a 1 GiB pair instead
# of 1 700), which reads it at a fraction of the speed and hides the fixed costs of a run.
for file in "$dir"/*.trace; do
  dd if="$file" iflag=nocache count=0 status=none
  cat "$file" >/dev/null
done

# Wall-clock time of one run, in seconds; exit statuses above `max_status` abort.
run_time() {
  local max_status=$1
  shift
  local start end status=0
  start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || status=$?
  end=$EPOCHREALTIME
  if ((status > max_status)); then
    echo "failed (status $status): $*" >&2
    return 1
  fi
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", e - s }'
}

# Sets the variable named NAME to TIME if it is unset or greater.
keep_best() {
  local name=$1 time=$2
  if [[ -z ${!name:-} ]] || awk -v a="$time" -v b="${!name}" 'BEGIN { exit !(a < b) }'; then
    printf -v "$name" '%s' "$time"
  fi
}

# Best wall-clock time of `repeats` runs, in seconds; exit statuses above `max_status` abort.
best_time() {
  local best="" run elapsed
  for ((run = 0; run < repeats; run++)); do
    elapsed=$(run_time "$@") || return 1
    keep_best best "$elapsed"
  done
  echo "$best"
}

# One more run of a command of the rounds below, kept in the variable NAME if faster.
round_time() {
  local name=$1 elapsed
  shift
  elapsed=$(run_time 0 "$@") || exit 1
  keep_best "$name" "$elapsed"
}

# The fastest in-process comparison time that vemo_compare_bench reports.
compare_time() {
  "$@" | awk '{ print $NF }'
}

# Peak memory (ru_maxrss, KiB) and minor page faults of one run, the least of `repeats` runs.
peak() {
  local best_kib="" best_faults="" kib faults run
  for ((run = 0; run < repeats; run++)); do
    /usr/bin/time -o "$dir/time" -f "%M %R" "$@" >/dev/null 2>&1 || true
    read -r kib faults < <(tail -n 1 "$dir/time")
    [[ -z $best_kib ]] || ((kib < best_kib)) || kib=$best_kib
    [[ -z $best_faults ]] || ((faults < best_faults)) || faults=$best_faults
    best_kib=$kib best_faults=$faults
  done
  echo "$best_kib $best_faults"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# The speed-up ONE / ALL over the baseline's BASE_ONE / BASE_ALL.
of_speedup() { awk -v a="$1" -v b="$2" -v c="$3" -v d="$4" 'BEGIN { printf "%.2f", (a / b) / (c / d) }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%8.2f ms", s * 1000 }'; }
# GB/s of reading two traces of the size of FILE (default the big pair's) in SECONDS.
speed() {
  awk -v s="$1" -v n="$(stat -c %s "${2:-$base}")" 'BEGIN { printf "%.1f GB/s", 2 * n / s / 1e9 }'
}

base=$dir/base.trace
same=$dir/same.trace
sparse=$dir/sparse.trace
workers=$(nproc)

# The identical pair against the parallel read, on all CPUs and on one, in rounds so that each
# round measures them all under the same load; with a baseline build, its vemo-diff as well.
baseline="" baseline_one="" identical="" identical_one="" before_all="" before_one=""
for ((round = 0; round < repeats; round++)); do
  round_time baseline "$tools/vemo_read_baseline" "$base" "$same"
  round_time baseline_one taskset -c 0 "$tools/vemo_read_baseline" "$base" "$same"
  round_time identical "$vemo_diff" "$base" "$same"
  round_time identical_one taskset -c 0 "$vemo_diff" "$base" "$same"
  if [[ -n $before ]]; then
    round_time before_all "$before/vemo-diff" "$base" "$same"
    round_time before_one taskset -c 0 "$before/vemo-diff" "$base" "$same"
  fi
done
read -r read_kib read_faults < <(peak "$tools/vemo_read_baseline" "$base" "$same")
read -r identical_kib identical_faults < <(peak "$vemo_diff" "$base" "$same")
if [[ -n $before ]]; then
  read -r before_kib before_faults < <(peak "$before/vemo-diff" "$base" "$same")
fi
# What the run may hold beyond the two images that the parallel read holds too.
allowed_kib=$(((16 * 1024 * 1024 + 16 * warps) / 1024))
divergent=$(best_time 1 "$vemo_diff" "$base" "$sparse")
compressed=$(best_time 0 "$vemo_diff" "$dir/base.zst.trace" "$dir/same.zst.trace")
compare_all=$(compare_time "$tools/vemo_compare_bench" "$base" "$same" "$repeats")
compare_one=$(compare_time taskset -c 0 "$tools/vemo_compare_bench" "$base" "$same" "$repeats")
# A pair small enough to stay in the caches: the comparison's own speed, where memory is fast.
mkdir "$dir/cached"
"$tools/vemo_gen_traces" "$dir/cached" 4 "$events" >/dev/null
cached=("$dir/cached/base.trace" "$dir/cached/same.trace")
cached_one=$(compare_time taskset -c 0 "$tools/vemo_compare_bench" "${cached[@]}" 50)
if [[ -n $before ]]; then
  before_cached_one=$(compare_time taskset -c 0 "$before/bench/vemo_compare_bench" "${cached[@]}" 50)
fi

echo
echo "One trace: $shape; $workers CPUs; best of $repeats runs; load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "  parallel read of both files (baseline)  $(ms "$baseline")   $(speed "$baseline")"
echo "  the same on 1 CPU                       $(ms "$baseline_one")   $(speed "$baseline_one"), speed-up $(ratio "$baseline_one" "$baseline") with $workers"
echo "  vemo-diff, identical pair               $(ms "$identical")   $(ratio "$identical" "$baseline") x baseline"
echo "  vemo-diff, identical pair, 1 CPU        $(ms "$identical_one")   $(ratio "$identical_one" "$baseline_one") x baseline on 1 CPU, speed-up $(ratio "$identical_one" "$identical") with $workers ($(of_speedup "$identical_one" "$identical" "$baseline_one" "$baseline") x the baseline's)"
if [[ -n $before ]]; then
  echo "  the same, baseline build                $(ms "$before_all")   $(ratio "$before_all" "$baseline") x baseline"
  echo "  the same, baseline build, 1 CPU         $(ms "$before_one")   $(ratio "$before_one" "$baseline_one") x baseline on 1 CPU, speed-up $(ratio "$before_one" "$before_all") with $workers ($(of_speedup "$before_one" "$before_all" "$baseline_one" "$baseline") x the baseline's)"
fi
echo "  peak memory of the parallel read        $((read_kib / 1024)) MiB, $read_faults page faults"
echo "  vemo-diff, identical pair, over it      $(((identical_kib - read_kib) / 1024)) MiB (at most $((allowed_kib / 1024)) MiB: 16 MiB + 16 bytes per warp), $((identical_faults - read_faults)) page faults"
if [[ -n $before ]]; then
  echo "  the same, baseline build                $(((before_kib - read_kib) / 1024)) MiB, $((before_faults - read_faults)) page faults"
fi
echo "  vemo-diff, sparse divergences           $(ms "$divergent")   $(ratio "$divergent" "$baseline") x baseline"
echo "  vemo-diff, identical pair, zstd         $(ms "$compressed")   $(ratio "$compressed" "$baseline") x baseline"
echo "  comparison alone, all workers           $(ms "$compare_all")"
echo "  comparison alone, 1 worker              $(ms "$compare_one")   speed-up $(ratio "$compare_one" "$compare_all") with $workers"
echo "  the same, 4 MiB pair in the caches      $(ms "$cached_one")   $(speed "$cached_one" "${cached[0]}")"
if [[ -n $before ]]; then
  echo "  the same, baseline build                $(ms "$before_cached_one")   $(speed "$before_cached_one" "${cached[0]}")"
fi

[[ -z ${VEMO_BENCH_PAIR_ONLY:-} ]] || exit 0
echo
"$(dirname "$0")/divergent.sh" "$build" "${VEMO_BASELINE_BUILD:-}" "$size_mib"
"$(dirname "$0")/outputs.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
"$(dirname "$0")/sessions.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
"$(dirname "$0")/sitemaps.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
"$(dirname "$0")/compressed.sh" "$build" "${VEMO_BASELINE_BUILD:-}"
