#!/usr/bin/env bash
# Measures the outputs of vemo-diff on a 256 MiB pair with 1 Mi divergences: each output's wall
# time over (identical pair + `cat` of the same output bytes to /dev/null), and its extra peak
# memory per divergence over the identical run (ru_maxrss).
#
#   bench/outputs.sh BUILD_DIR [BASELINE_BUILD_DIR]
#
# With BASELINE_BUILD_DIR (for instance a build of an older tree) both vemo-diff binaries are
# measured in the same run, side by side, and their standard output, standard error, exit status
# and export files are compared byte for byte. VEMO_BENCH_REPEATS sets the runs per measurement (default 3, best
# kept); the traces go to a temporary directory under $VEMO_BENCH_DIR (default /tmp).
set -euo pipefail

build=${1:?usage: bench/outputs.sh BUILD_DIR [BASELINE_BUILD_DIR]}
other=${2:+$2/vemo-diff}
repeats=${VEMO_BENCH_REPEATS:-3}
tools=$build/bench
binaries=("$build/vemo-diff")
[[ -n $other ]] && binaries+=("$other")
for tool in "${binaries[@]}" "$tools/vemo_gen_traces"; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

parent=${VEMO_BENCH_DIR:-/tmp}
dir=$(mktemp -d "$parent/vemo-outputs.XXXXXX")
trap 'rm -rf "$dir"' EXIT
source "$(dirname "$0")/measure.sh"

# 16 Ki warps x 1 Ki events, one divergence in every 16th event: 1 Mi divergences. The second
# pair carries a value history of depth 64 in every warp, for --history.
echo "Generating traces in $dir ..."
"$tools/vemo_gen_traces" "$dir" 256 1024 16 >/dev/null
mkdir "$dir/history"
"$tools/vemo_gen_traces" "$dir/history" 256 1024 16 64 >/dev/null
rm "$dir/history/same.trace"
cat "$dir"/*.trace "$dir"/history/*.trace >/dev/null
divergences=$((16384 * 64))

# case name | extra options | which output the cat stands for (stdout or the export file)
cases=(
  "console||stdout"
  "-n 100000000|-n 100000000|stdout"
  "--json|--json|stdout"
  "--csv|--csv @|file"
  "--export-flamegraph|--export-flamegraph @|file"
  "--classify|--classify|stdout"
  "--history -n 100000000|--history -n 100000000|stdout"
)

declare -A identical_time identical_rss
for bin in "${binaries[@]}"; do
  read -r best rss _ < <(measure /dev/null 1 "$bin" "$dir/base.trace" "$dir/same.trace")
  identical_time[$bin]=$best
  identical_rss[$bin]=$rss
done

mismatches=0
printf '\n%-24s %-8s %9s %9s %9s %11s %10s\n' case binary "wall s" "floor s" ratio \
  "B/diverg." "faults"
for entry in "${cases[@]}"; do
  IFS='|' read -r name options target <<<"$entry"
  pair_b=$dir/divergent.trace
  pair_a=$dir/base.trace
  if [[ $name == --history* ]]; then
    pair_a=$dir/history/base.trace
    pair_b=$dir/history/divergent.trace
  fi
  for index in "${!binaries[@]}"; do
    bin=${binaries[$index]}
    # One export path for both binaries, so that their messages naming it compare equal.
    read -ra args <<<"${options//@/$dir/export}"
    stdout_file=$dir/stdout.$index
    read -r best rss faults < <(measure "$stdout_file" 1 "$bin" "$pair_a" "$pair_b" "${args[@]}")
    cp "$dir/stderr" "$dir/stderr.$index"
    cp "$dir/status" "$dir/status.$index"
    if [[ $target == stdout ]]; then
      read -r cat_best _ _ < <(measure /dev/null 0 cat "$stdout_file")
    else
      mv "$dir/export" "$dir/export.$index"
      read -r cat_best _ _ < <(measure /dev/null 0 cat "$dir/export.$index")
    fi
    floor=$(awk -v a="${identical_time[$bin]}" -v b="$cat_best" 'BEGIN { printf "%.6f", a + b }')
    per=$(awk -v a="$rss" -v b="${identical_rss[$bin]}" -v n="$divergences" \
      'BEGIN { printf "%.0f", (a - b) * 1024 / n }')
    label=new
    ((index > 0)) && label=baseline
    printf '%-24s %-8s %9.3f %9.3f %9s %11s %10s\n' "$name" "$label" "$best" "$floor" \
      "$(ratio "$best" "$floor")" "$per" "$faults"
  done
  if [[ -n $other ]]; then
    for part in stdout stderr status; do
      cmp -s "$dir/$part.0" "$dir/$part.1" || { echo "  $part differs" >&2; mismatches=1; }
    done
    if [[ $target == file ]]; then
      cmp -s "$dir/export.0" "$dir/export.1" || { echo "  export file differs" >&2; mismatches=1; }
    fi
  fi
  rm -f "$dir"/stdout.* "$dir"/export.*
done
if [[ -n $other ]]; then
  ((mismatches == 0)) && echo "All outputs byte-identical between the two binaries."
  exit "$mismatches"
fi
