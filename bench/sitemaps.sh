#!/usr/bin/env bash
# Site maps, for this build and, when given, a baseline build measured in the same run:
#   - `--map` with COUNT records (object form, about 170 bytes each) on a small identical pair:
#     MB/s of the map (file size over the run's extra wall time) and extra peak memory over
#     the file size;
#   - `--remap-a` and `--remap-b` with COUNT records each (nine sites in ten with other ids in
#     B) over `--map` with one of them.
#
#   bench/sitemaps.sh BUILD_DIR [BASELINE_BUILD_DIR [COUNT]]
#
# COUNT defaults to 1000000. The files go to a temporary directory under $VEMO_BENCH_DIR
# (default /tmp), removed at the end. VEMO_BENCH_REPEATS sets the runs per measurement
# (default 5, best kept). Needs GNU time.
set -euo pipefail

build=${1:?usage: bench/sitemaps.sh BUILD_DIR [BASELINE_BUILD_DIR [COUNT]]}
baseline_build=${2:-}
count=${3:-1000000}
repeats=${VEMO_BENCH_REPEATS:-5}
tools=$build/bench
for tool in "$build/vemo-diff" "$tools/vemo_gen_traces" "$tools/vemo_gen_site_map" /usr/bin/time; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done
binaries=("$build/vemo-diff")
labels=(this)
if [[ -n $baseline_build ]]; then
  [[ -x $baseline_build/vemo-diff ]] || { echo "missing $baseline_build/vemo-diff" >&2; exit 1; }
  binaries+=("$baseline_build/vemo-diff")
  labels+=(baseline)
fi

dir=$(mktemp -d "${VEMO_BENCH_DIR:-/tmp}/vemo-sitemaps.XXXXXX")
trap 'rm -rf "$dir"' EXIT
source "$(dirname "$0")/measure.sh"
"$tools/vemo_gen_traces" "$dir" 1 64 >/dev/null
"$tools/vemo_gen_site_map" "$dir/a.json" "$count"
"$tools/vemo_gen_site_map" "$dir/b.json" "$count" 0x40000000
cat "$dir"/* >/dev/null  # into the page cache
bytes=$(stat -c %s "$dir/a.json")
pair=("$dir/base.trace" "$dir/same.trace")


mb_per_s() { awk -v n="$bytes" -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", n / 1e6 / (a - b) }'; }
per_byte() { awk -v n="$bytes" -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (a - b) * 1024 / n }'; }

echo "Site maps of $count records, $((bytes / 1000000)) MB each; best of $repeats runs"
printf '%-9s %-34s %9s %9s %10s %s\n' build case seconds "KiB" "faults" "figures"
for k in "${!binaries[@]}"; do
  bin=${binaries[$k]}
  label=${labels[$k]}
  read -r bare_s bare_kib bare_faults < <(measure /dev/null 1 "$bin" "${pair[@]}")
  read -r map_s map_kib map_faults < <(measure /dev/null 1 "$bin" --map "$dir/a.json" "${pair[@]}")
  read -r remap_s remap_kib remap_faults < <(measure /dev/null 1 "$bin" --remap-a "$dir/a.json" \
    --remap-b "$dir/b.json" "${pair[@]}")
  printf '%-9s %-34s %9s %9s %10s\n' "$label" "small identical pair" "$bare_s" "$bare_kib" \
    "$bare_faults"
  printf '%-9s %-34s %9s %9s %10s %s MB/s, extra peak %s x file size\n' "$label" \
    "  with --map" "$map_s" "$map_kib" "$map_faults" "$(mb_per_s "$map_s" "$bare_s")" \
    "$(per_byte "$map_kib" "$bare_kib")"
  printf '%-9s %-34s %9s %9s %10s %s x --map\n' "$label" "  with --remap-a and --remap-b" \
    "$remap_s" "$remap_kib" "$remap_faults" "$(ratio "$remap_s" "$map_s")"
done
