#!/usr/bin/env bash
# Divergence-heavy comparisons against the identical pair, for this build and, when given, a
# baseline build measured in the same run:
#   - a pair that differs at every event (2048 warps x 1024 events, 2 Mi divergences), default
#     console run and with --limit 10, each over the identical pair of the same shape;
#   - extra peak memory and time per divergence over the identical run, also of the comparison
#     alone (vemo_compare_bench), and with a baseline build, this build's times of the divergent
#     runs and per divergence over the baseline's;
#   - the identical pair of SIZE_MIB per trace over a parallel read of both mapped files.
#
#   bench/divergent.sh BUILD_DIR [BASELINE_BUILD_DIR [SIZE_MIB]]
#
# SIZE_MIB (default 1024) sizes the identical pair of the last row; 0 skips it. The traces go
# to a temporary directory under $VEMO_BENCH_DIR (default /tmp), removed at the end.
# VEMO_BENCH_REPEATS sets the rounds (default 5, best kept): each runs every case once with each
# build, so that the builds are measured under the same load. Needs GNU time.
set -euo pipefail

build=${1:?usage: bench/divergent.sh BUILD_DIR [BASELINE_BUILD_DIR [SIZE_MIB]]}
baseline_build=${2:-}
size_mib=${3:-1024}
repeats=${VEMO_BENCH_REPEATS:-5}
tools=$build/bench
for tool in "$build/vemo-diff" "$tools/vemo_gen_traces" "$tools/vemo_read_baseline" \
  "$tools/vemo_compare_bench" /usr/bin/time; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done
builds=("$build")
labels=(this)
if [[ -n $baseline_build ]]; then
  for tool in vemo-diff bench/vemo_compare_bench; do
    [[ -x $baseline_build/$tool ]] || { echo "missing $baseline_build/$tool" >&2; exit 1; }
  done
  builds+=("$baseline_build")
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
# The comparison alone of BUILD on a pair, in seconds: the best of 5 in one process.
compare_alone() { "$1/bench/vemo_compare_bench" "$2" "$3" 5 | awk '{ print $NF }'; }
# Nanoseconds per divergence: (seconds of the divergent run - seconds of the identical) / 2 Mi.
ns_per_divergence() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (a - b) * 1e9 / 2097152 }'; }

# The cases, by name: the arguments of each run.
every=$dir/every
declare -A case_args=(
  [same]="$every/base.trace $every/same.trace"
  [all]="$every/base.trace $every/divergent.trace"
  [lim]="--limit 10 $every/base.trace $every/divergent.trace"
  [bare]="--filter-kind none $every/base.trace $every/divergent.trace"
  [big]="$dir/big/base.trace $dir/big/same.trace"
)
cases=(same all lim bare)
((size_mib == 0)) || cases+=(big)

# Rounds: each round runs every case once with every build (and the parallel read), so that
# all of them see the same load; each figure is the least of the rounds.
declare -A best=()
keep_least() {
  local key=$1 value=$2
  if [[ -z ${best[$key]:-} ]] || awk -v a="$value" -v b="${best[$key]}" 'BEGIN { exit !(a < b) }'; then
    best[$key]=$value
  fi
}
for ((round = 0; round < repeats; round++)); do
  if ((size_mib > 0)); then
    read -r s _ _ < <(repeats=1 measure /dev/null 1 "$tools/vemo_read_baseline" \
      "$dir/big/base.trace" "$dir/big/same.trace")
    keep_least read "$s"
  fi
  # The builds take turns going first.
  order=("${!builds[@]}")
  ((round % 2 == 0)) || order=("${order[@]:1}" "${order[0]}")
  for k in "${order[@]}"; do
    for name in "${cases[@]}"; do
      # shellcheck disable=SC2086  # the arguments hold no spaces of their own
      read -r s kib faults < <(repeats=1 measure /dev/null 1 "${builds[$k]}/vemo-diff" ${case_args[$name]})
      keep_least "$k $name s" "$s"
      keep_least "$k $name kib" "$kib"
      keep_least "$k $name faults" "$faults"
    done
    keep_least "$k compare same" "$(compare_alone "${builds[$k]}" "$every/base.trace" "$every/same.trace")"
    keep_least "$k compare all" "$(compare_alone "${builds[$k]}" "$every/base.trace" "$every/divergent.trace")"
  done
done

# One row: LABEL K CASE TEXT, then the ratio columns.
row() {
  local label=$1 k=$2 name=$3 text=$4
  shift 4
  printf '%-9s %-42s %9s %9s %10s%s\n' "$label" "$text" "${best[$k $name s]}" \
    "${best[$k $name kib]}" "${best[$k $name faults]}" "${*:+ $*}"
}

if ((size_mib > 0)); then
  echo "parallel read of both $size_mib MiB files (vemo_read_baseline): ${best[read]} s"
fi
printf '%-9s %-42s %9s %9s %10s %s\n' build case seconds "KiB" "faults" "ratio"
ns_all=() ns_bare=() ns_alone=()
for k in "${!builds[@]}"; do
  label=${labels[$k]}
  same_s=${best[$k same s]} same_kib=${best[$k same kib]}
  ns_all+=("$(ns_per_divergence "${best[$k all s]}" "$same_s")")
  ns_bare+=("$(ns_per_divergence "${best[$k bare s]}" "$same_s")")
  ns_alone+=("$(ns_per_divergence "${best[$k compare all]}" "${best[$k compare same]}")")
  row "$label" "$k" same "identical pair"
  row "$label" "$k" all "every event differs (2 Mi divergences)" \
    "$(ratio "${best[$k all s]}" "$same_s") x identical," \
    "+$(per_divergence "${best[$k all kib]}" "$same_kib") B and ${ns_all[-1]} ns per divergence"
  row "$label" "$k" lim "  the same with --limit 10" "$(ratio "${best[$k lim s]}" "$same_s") x identical"
  row "$label" "$k" bare "  the same, listing emptied by a filter" \
    "$(ratio "${best[$k bare s]}" "$same_s") x identical," \
    "+$(per_divergence "${best[$k bare kib]}" "$same_kib") B and ${ns_bare[-1]} ns per divergence"
  printf '%-9s %-42s %9.4f %9s %10s %s\n' "$label" "  the comparison alone (vemo_compare_bench)" \
    "${best[$k compare all]}" - - \
    "${ns_alone[-1]} ns per divergence (identical pair: ${best[$k compare same]} s)"
  if ((size_mib > 0)); then
    row "$label" "$k" big "identical $size_mib MiB pair" \
      "$(ratio "${best[$k big s]}" "${best[read]}") x parallel read"
  fi
done
# Per divergence, this build over the baseline: the times of the divergent runs themselves, and
# their excess over the identical runs (which the skip of identical events makes faster).
if ((${#builds[@]} > 1)); then
  echo "every event differs, this build / baseline: $(ratio "${best[0 all s]}" "${best[1 all s]}")" \
    "(default run), $(ratio "${best[0 bare s]}" "${best[1 bare s]}") (listing emptied)," \
    "$(ratio "${best[0 compare all]}" "${best[1 compare all]}") (comparison alone)"
  echo "the same over the identical pair, per divergence: $(ratio "${ns_all[0]}" "${ns_all[1]}")," \
    "$(ratio "${ns_bare[0]}" "${ns_bare[1]}"), $(ratio "${ns_alone[0]}" "${ns_alone[1]}")"
fi
