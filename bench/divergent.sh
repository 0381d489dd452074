#!/usr/bin/env bash
# Divergence-heavy comparisons against the identical pair, for this build and, when given, a
# baseline build measured in the same run:
#   - a pair that differs at every event (2048 warps x 1024 events, 2 Mi divergences), default
#     console run and with --limit 10, each over the identical pair of the same shape;
#   - extra peak memory per divergence over the identical run;
#   - the identical pair of SIZE_MIB per trace over a parallel read of both mapped files.
#
#   bench/divergent.sh BUILD_DIR [BASELINE_BUILD_DIR [SIZE_MIB]]
#
# SIZE_MIB (default 1024) sizes the identical pair of the last row; 0 skips it. The traces go
# to a temporary directory under $VEMO_BENCH_DIR (default /tmp), removed at the end.
# VEMO_BENCH_REPEATS sets the runs per measurement (default 5, best kept). Needs GNU time.
set -euo pipefail

build=${1:?usage: bench/divergent.sh BUILD_DIR [BASELINE_BUILD_DIR [SIZE_MIB]]}
baseline_build=${2:-}
size_mib=${3:-1024}
repeats=${VEMO_BENCH_REPEATS:-5}
tools=$build/bench
for tool in "$build/vemo-diff" "$tools/vemo_gen_traces" "$tools/vemo_read_baseline" /usr/bin/time; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done
binaries=("$build/vemo-diff")
labels=(this)
if [[ -n $baseline_build ]]; then
  [[ -x $baseline_build/vemo-diff ]] || { echo "missing $baseline_build/vemo-diff" >&2; exit 1; }
  binaries+=("$baseline_build/vemo-diff")
  labels+=(baseline)
fi

dir=$(mktemp -d "${VEMO_BENCH_DIR:-/tmp}/vemo-divergent.XXXXXX")
trap 'rm -rf "$dir"' EXIT
source "$(dirname "$0")/measure.sh"
mkdir -p "$dir/every"
"$tools/vemo_gen_traces" "$dir/every" 32 1024 1 >/dev/null
if ((size_mib > 0)); then
  mkdir -p "$dir/big"
  "$tools/vemo_gen_traces" "$dir/big" "$size_mib" 1024 1 >/dev/null
  rm "$dir/big/divergent.trace"
fi
cat "$dir"/*/*.trace >/dev/null  # into the page cache


per_divergence() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (a - b) * 1024 / 2097152 }'; }

every=$dir/every
if ((size_mib > 0)); then
  read -r read_s _ _ < <(measure /dev/null 1 "$tools/vemo_read_baseline" "$dir/big/base.trace" \
    "$dir/big/same.trace")
  echo "parallel read of both $size_mib MiB files (vemo_read_baseline): $read_s s"
fi
printf '%-9s %-42s %9s %9s %10s %s\n' build case seconds "KiB" "faults" "ratio"
for k in "${!binaries[@]}"; do
  bin=${binaries[$k]}
  label=${labels[$k]}
  read -r same_s same_kib same_faults < <(measure /dev/null 1 "$bin" "$every/base.trace" "$every/same.trace")
  read -r all_s all_kib all_faults < <(measure /dev/null 1 "$bin" "$every/base.trace" "$every/divergent.trace")
  read -r lim_s lim_kib lim_faults < <(measure /dev/null 1 "$bin" --limit 10 "$every/base.trace" \
    "$every/divergent.trace")
  # The same comparison with the listing emptied by a filter: what the console listing costs.
  read -r bare_s bare_kib bare_faults < <(measure /dev/null 1 "$bin" --filter-kind none "$every/base.trace" \
    "$every/divergent.trace")
  printf '%-9s %-42s %9s %9s %10s\n' "$label" "identical pair" "$same_s" "$same_kib" "$same_faults"
  printf '%-9s %-42s %9s %9s %10s %s x identical, +%s B per divergence\n' "$label" \
    "every event differs (2 Mi divergences)" "$all_s" "$all_kib" "$all_faults" \
    "$(ratio "$all_s" "$same_s")" "$(per_divergence "$all_kib" "$same_kib")"
  printf '%-9s %-42s %9s %9s %10s %s x identical\n' "$label" "  the same with --limit 10" \
    "$lim_s" "$lim_kib" "$lim_faults" "$(ratio "$lim_s" "$same_s")"
  printf '%-9s %-42s %9s %9s %10s %s x identical, +%s B per divergence\n' "$label" \
    "  the same, listing emptied by a filter" "$bare_s" "$bare_kib" "$bare_faults" \
    "$(ratio "$bare_s" "$same_s")" "$(per_divergence "$bare_kib" "$same_kib")"
  if ((size_mib > 0)); then
    read -r big_s big_kib big_faults < <(measure /dev/null 1 "$bin" "$dir/big/base.trace" \
      "$dir/big/same.trace")
    printf '%-9s %-42s %9s %9s %10s %s x parallel read\n' "$label" \
      "identical $size_mib MiB pair" "$big_s" "$big_kib" "$big_faults" \
      "$(ratio "$big_s" "$read_s")"
  fi
done
