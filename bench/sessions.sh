#!/usr/bin/env bash
# Session mode on two kinds of session, for this build and, when given, a baseline build
# measured in the same run:
#   - many small launches: 10 000 launches of identical ~4 KiB traces over `cat` of all the
#     session's files (both manifests and every trace) to /dev/null, and over 1 000 launches;
#   - four big launches: each the 256 MiB pair with 1 Mi divergences of bench/outputs.sh, over
#     one pair run of the same two files: wall time and peak memory (ru_maxrss), console run
#     and --json.
#
#   bench/sessions.sh BUILD_DIR [BASELINE_BUILD_DIR]
#
# With BASELINE_BUILD_DIR both builds' standard output, standard error and exit status are
# compared byte for byte on every case (exit status 1 on a difference). VEMO_BENCH_REPEATS sets
# the runs per measurement (default 3, best kept); the files go to a temporary directory under
# $VEMO_BENCH_DIR (default /tmp), removed at the end. Needs GNU time.
set -euo pipefail

build=${1:?usage: bench/sessions.sh BUILD_DIR [BASELINE_BUILD_DIR]}
baseline_build=${2:-}
repeats=${VEMO_BENCH_REPEATS:-3}
tools=$build/bench
for tool in "$build/vemo-diff" "$tools/vemo_gen_traces" "$tools/vemo_gen_session" /usr/bin/time; do
  [[ -x $tool ]] || { echo "missing $tool: build with the bench preset first" >&2; exit 1; }
done
# Absolute, since the runs below start in the session's directory.
binaries=("$(realpath "$build/vemo-diff")")
labels=(this)
if [[ -n $baseline_build ]]; then
  [[ -x $baseline_build/vemo-diff ]] || { echo "missing $baseline_build/vemo-diff" >&2; exit 1; }
  binaries+=("$(realpath "$baseline_build/vemo-diff")")
  labels+=(baseline)
fi

dir=$(mktemp -d "${VEMO_BENCH_DIR:-/tmp}/vemo-sessions.XXXXXX")
trap 'rm -rf "$dir"' EXIT
source "$(dirname "$0")/measure.sh"

echo "Generating sessions in $dir ..."
for launches in 1000 10000; do
  mkdir -p "$dir/small$launches/a" "$dir/small$launches/b"
  "$tools/vemo_gen_session" "$dir/small$launches" "$launches"
done
# The big pair once; every launch of session a names base.trace, every one of b divergent.trace.
mkdir -p "$dir/big/a" "$dir/big/b"
"$tools/vemo_gen_traces" "$dir/big" 256 1024 16 >/dev/null
rm "$dir/big/same.trace"
write_big_manifest() {
  local file=$1 launch
  {
    echo "["
    for launch in 0 1 2 3; do
      printf '  {"launch": %d, "kernel": "bench_kernel", "file": "../%s", ' "$launch" "$file"
      printf '"grid": [2048, 1, 1], "block": [256, 1, 1]}%s\n' "$( ((launch < 3)) && echo ,)"
    done
    echo "]"
  }
}
write_big_manifest base.trace >"$dir/big/a/session.json"
write_big_manifest divergent.trace >"$dir/big/b/session.json"

# Every file of a small session, manifests first, in one list for `cat`.
session_files() { echo "$1/a/session.json" "$1/b/session.json" "$1"/a/*.trace "$1"/b/*.trace; }
for launches in 1000 10000; do
  # shellcheck disable=SC2046
  cat $(session_files "$dir/small$launches") >/dev/null  # into the page cache
done
cat "$dir"/big/*.trace >/dev/null



# Keeps the last run's three streams of build `k` for case `name`, for the comparison below.
keep() { cp "$dir/out" "$dir/$2.out.$1" && cp "$dir/stderr" "$dir/$2.err.$1" &&
  cp "$dir/status" "$dir/$2.status.$1"; }

read -r cat_s _ _ < <(measure /dev/null 1 sh -c 'cat "$@" >/dev/null' sh \
  $(session_files "$dir/small10000"))
echo
echo "cat of the 10 000-launch session's files: $cat_s s"
printf '%-9s %-46s %9s %9s %10s %s\n' build case seconds "KiB" "faults" "ratio"
for k in "${!binaries[@]}"; do
  bin=${binaries[$k]}
  label=${labels[$k]}
  cd "$dir/small1000"
  read -r small1k_s small1k_kib small1k_faults < <(measure "$dir/out" 1 "$bin" --session a b)
  keep "$k" small1000
  cd "$dir/small10000"
  read -r small10k_s small10k_kib small10k_faults < <(measure "$dir/out" 1 "$bin" --session a b)
  keep "$k" small10000
  read -r json10k_s json10k_kib json10k_faults < <(measure "$dir/out" 1 "$bin" --session a b --json)
  keep "$k" json10000
  cd "$dir/big"
  read -r pair_s pair_kib pair_faults < <(measure "$dir/out" 1 "$bin" base.trace divergent.trace)
  keep "$k" pair
  read -r big_s big_kib big_faults < <(measure "$dir/out" 1 "$bin" --session a b)
  keep "$k" big
  read -r bigjson_s bigjson_kib bigjson_faults < <(measure "$dir/out" 1 "$bin" --session a b --json)
  keep "$k" bigjson
  cd "$dir"
  row() { printf '%-9s %-46s %9s %9s %10s %s\n' "$label" "$1" "$2" "$3" "$4" "$5"; }
  row "1 000 small launches" "$small1k_s" "$small1k_kib" "$small1k_faults" ""
  row "10 000 small launches" "$small10k_s" "$small10k_kib" "$small10k_faults" \
    "$(ratio "$small10k_s" "$cat_s")x cat, $(ratio "$small10k_s" "$small1k_s")x 1 000"
  row "10 000 small launches, --json" "$json10k_s" "$json10k_kib" "$json10k_faults" \
    "$(ratio "$json10k_s" "$cat_s")x cat, $(ratio "$json10k_s" "$small1k_s")x 1 000"
  row "one pair run, 1 Mi divergences" "$pair_s" "$pair_kib" "$pair_faults" ""
  row "4 launches of that pair" "$big_s" "$big_kib" "$big_faults" \
    "time $(ratio "$big_s" "$pair_s")x, memory $(ratio "$big_kib" "$pair_kib")x the pair"
  row "4 launches of that pair, --json" "$bigjson_s" "$bigjson_kib" "$bigjson_faults" \
    "time $(ratio "$bigjson_s" "$pair_s")x, memory $(ratio "$bigjson_kib" "$pair_kib")x the pair"
done

if [[ -n $baseline_build ]]; then
  mismatches=0
  for name in small1000 small10000 json10000 pair big bigjson; do
    for part in out err status; do
      cmp -s "$dir/$name.$part.0" "$dir/$name.$part.1" ||
        { echo "  $name: $part differs" >&2; mismatches=1; }
    done
  done
  ((mismatches == 0)) && echo "All outputs byte-identical between the two builds."
  exit "$mismatches"
fi
