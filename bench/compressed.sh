#!/usr/bin/env bash
# Compressed identical pairs, 1 GiB decoded each, against `zstd -d -c A B >/dev/null` of both
# payloads (one after the other, single-threaded), measured in the same run:
#   - one zstd frame that gives its decoded size in its header;
#   - one zstd frame without it, as a streaming writer leaves it;
#   - independent 4 MiB frames, each with its size.
# With BASELINE_BUILD_DIR both vemo-diff binaries are timed side by side, and their standard
# output, standard error and exit status are compared byte for byte on these pairs, on a
# divergent compressed pair and on broken compressed files (cut, flipped bytes, a garbage tail,
# skippable frames, frames that lie about their sizes).
#
#   bench/compressed.sh BUILD_DIR [BASELINE_BUILD_DIR]
#
# The traces go to a temporary directory under $VEMO_BENCH_DIR (default /tmp), removed at the
# end; they need about 8 GiB. VEMO_BENCH_REPEATS sets the runs per measurement (default 3, best
# kept). Needs GNU time and the zstd command.
set -euo pipefail

build=${1:?usage: bench/compressed.sh BUILD_DIR [BASELINE_BUILD_DIR]}
baseline_build=${2:-}
repeats=${VEMO_BENCH_REPEATS:-3}
tools=$build/bench
binaries=("$build/vemo-diff")
labels=(this)
if [[ -n $baseline_build ]]; then
  binaries+=("$baseline_build/vemo-diff")
  labels+=(baseline)
fi
for tool in "${binaries[@]}" "$tools/vemo_gen_traces" "$tools/vemo_zstd_trace" /usr/bin/time; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done
command -v zstd >/dev/null || { echo "missing zstd (apt-get install zstd)" >&2; exit 1; }

dir=$(mktemp -d "${VEMO_BENCH_DIR:-/tmp}/vemo-compressed.XXXXXX")
trap 'rm -rf "$dir"' EXIT
source "$(dirname "$0")/measure.sh"

echo "Generating traces in $dir ..."
"$tools/vemo_gen_traces" "$dir" 1024 >/dev/null
rm "$dir/same.trace" "$dir/base.zst.trace" "$dir/same.zst.trace"
shapes=(frame frame-unsized frames)
declare -A shape_names=([frame]="one frame with its size" [frame-unsized]="one frame without its size"
  [frames]="4 MiB frames with their sizes")
for shape in "${shapes[@]}"; do
  "$tools/vemo_zstd_trace" "$shape" "$dir/base.trace" "$dir/$shape.a.trace"
  cp "$dir/$shape.a.trace" "$dir/$shape.b.trace"
  for side in a b; do tail -c +161 "$dir/$shape.$side.trace" >"$dir/$shape.$side.zst"; done
done
"$tools/vemo_zstd_trace" frame "$dir/sparse.trace" "$dir/sparse.frame.trace"
rm "$dir/base.trace" "$dir/sparse.trace"
cat "$dir"/*.trace "$dir"/*.zst >/dev/null  # into the page cache



echo "Identical pairs, 1 GiB decoded each; best of $repeats runs; ratio over zstd -d of both"
printf '%-30s %-9s %9s %9s %9s %s\n' case build seconds KiB faults ratio
for shape in "${shapes[@]}"; do
  read -r zstd_s _ _ < <(measure /dev/null 0 zstd -q -d -c "$dir/$shape.a.zst" "$dir/$shape.b.zst")
  printf '%-30s %-9s %9s\n' "${shape_names[$shape]}" "zstd -d" "$zstd_s"
  for k in "${!binaries[@]}"; do
    read -r s kib faults < <(measure /dev/null 0 "${binaries[$k]}" "$dir/$shape.a.trace" "$dir/$shape.b.trace")
    printf '%-30s %-9s %9s %9s %9s %s x zstd -d\n' "" "${labels[$k]}" "$s" "$kib" "$faults" \
      "$(ratio "$s" "$zstd_s")"
  done
done

((${#binaries[@]} > 1)) || exit 0

# Broken files, made from the good ones.
overwrite() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
broken=$dir/broken
mkdir "$broken"
head -c -1000 "$dir/frames.a.trace" >"$broken/cut.trace"
cp "$dir/frame.a.trace" "$broken/flipped.trace"
overwrite "$broken/flipped.trace" 100000000 '\377\377\377\377\377\377\377\377'
cp "$dir/frames.a.trace" "$broken/flipped-frames.trace"
overwrite "$broken/flipped-frames.trace" 200000000 '\001\002\003\004\005\006\007\010'
{ cat "$dir/frames.a.trace"; printf 'not a zstd frame'; } >"$broken/garbage-tail.trace"
{
  head -c 160 "$dir/frames.a.trace"
  printf '\120\052\115\030\004\000\000\000skip'
  tail -c +161 "$dir/frames.a.trace"
  printf '\137\052\115\030\002\000\000\000ok'
} >"$broken/skippable.trace"
# The first frame's decoded size sits at bytes 6 to 9 of its header.
cp "$dir/frames.a.trace" "$broken/frame-understated.trace"
overwrite "$broken/frame-understated.trace" 166 '\377\377\077\000'
cp "$dir/frames.a.trace" "$broken/frame-overstated.trace"
overwrite "$broken/frame-overstated.trace" 166 '\001\000\100\000'
cp "$dir/frame.a.trace" "$broken/one-frame-understated.trace"
overwrite "$broken/one-frame-understated.trace" 166 '\377\377\017\100'

names() { for arg; do printf '%s ' "${arg##*/}"; done; }

# Runs both binaries on one pair: stdout, stderr and exit status byte for byte.
same_output() {
  local k status
  for k in 0 1; do
    status=0
    "${binaries[$k]}" "$@" >"$dir/out.$k" 2>"$dir/err.$k" || status=$?
    echo "$status" >"$dir/status.$k"
  done
  if cmp -s "$dir/out.0" "$dir/out.1" && cmp -s "$dir/err.0" "$dir/err.1" &&
    cmp -s "$dir/status.0" "$dir/status.1"; then
    echo "identical (status $(cat "$dir/status.0")): $(names "$@")"
  else
    echo "DIFFERENT: $(names "$@")"
    differences=$((differences + 1))
  fi
}

echo
echo "Outputs of this build and the baseline:"
differences=0
for shape in "${shapes[@]}"; do same_output "$dir/$shape.a.trace" "$dir/$shape.b.trace"; done
same_output "$dir/frame.a.trace" "$dir/sparse.frame.trace"
same_output --json "$dir/frame.a.trace" "$dir/sparse.frame.trace"
for file in "$broken"/*.trace; do same_output "$file" "$dir/frames.b.trace"; done
((differences == 0))
