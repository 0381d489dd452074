#!/usr/bin/env bash
# Runs two vemo-diff binaries on the same cases and compares, byte for byte, everything each run
# leaves: standard output, standard error, the exit status and every export file. Each case runs
# with styling off (standard output is a file) and forced on (CLICOLOR_FORCE=1), in an empty
# directory of its own, so that export paths and the messages naming them are alike.
#
#   scripts/compare-outputs.sh NEW_VEMO_DIFF OLD_VEMO_DIFF [BENCH_TOOLS_DIR]
#
# The inputs are the examples and large pairs, sessions and site maps made with the bench
# generators (BENCH_TOOLS_DIR, default: the bench/ folder next to OLD_VEMO_DIFF; build them with
# the bench preset). VEMO_COMPARE_SIZE_MIB sets the size of the large divergent pair (default
# 32). The files go to a temporary directory under $VEMO_BENCH_DIR (default /tmp), removed at
# the end unless VEMO_COMPARE_KEEP is set. Prints one line per difference; exit status 1 when
# any case differs.
set -uo pipefail

new=$(realpath "${1:?usage: scripts/compare-outputs.sh NEW_VEMO_DIFF OLD_VEMO_DIFF [TOOLS]}")
old=$(realpath "${2:?usage: scripts/compare-outputs.sh NEW_VEMO_DIFF OLD_VEMO_DIFF [TOOLS]}")
tools=$(realpath "${3:-$(dirname "$old")/bench}")
repo=$(cd "$(dirname "$0")/.." && pwd)
size=${VEMO_COMPARE_SIZE_MIB:-32}
for tool in "$new" "$old" "$tools/vemo_gen_traces" "$tools/vemo_gen_site_map"; do
  [[ -x $tool ]] || { echo "missing $tool" >&2; exit 2; }
done

dir=$(mktemp -d "${VEMO_BENCH_DIR:-/tmp}/vemo-compare.XXXXXX")
[[ -n ${VEMO_COMPARE_KEEP:-} ]] || trap 'rm -rf "$dir"' EXIT

# ---- inputs ----
ex=$repo/examples
EA=$ex/pair/baseline.trace
EB=$ex/pair/divergent.trace
EM=$ex/pair/vemo-sites.json
SA=$ex/sessions/run_a
SB=$ex/sessions/run_b
in=$dir/in
mkdir -p "$in/big" "$in/hist" "$in/sparse" "$in/many" "$in/many-all"
echo "Generating inputs in $in ..."
"$tools/vemo_gen_traces" "$in/big" "$size" 1024 7 >/dev/null
"$tools/vemo_gen_traces" "$in/hist" 16 1024 5 64 >/dev/null
"$tools/vemo_gen_traces" "$in/sparse" 32 >/dev/null
# Many short warps: 1 % of them divergent, and every one of them.
"$tools/vemo_gen_traces" "$in/many" "$size" 16 100000 0 100 >/dev/null
"$tools/vemo_gen_traces" "$in/many-all" "$size" 16 100000 >/dev/null
"$tools/vemo_gen_site_map" "$in/map.json" 1024
"$tools/vemo_gen_site_map" "$in/remap.json" 1024 5
GA=$in/big/base.trace
GB=$in/big/divergent.trace
GS=$in/big/same.trace
HA=$in/hist/base.trace
HB=$in/hist/divergent.trace
PA=$in/sparse/base.trace
PB=$in/sparse/sparse.trace
PZ=$in/sparse/base.zst.trace
GM=$in/map.json
GR=$in/remap.json
MA=$in/many/base.trace
MS=$in/many/same.trace
MB=$in/many/divergent.trace
MV=$in/many-all/divergent.trace
# The same events recorded on 64-lane warps, for cross-GPU chunks of two warps of the others.
MW=$in/many/wide.trace
cp "$MA" "$MW"
printf '\x00\x10\x00\x00' | dd of="$MW" bs=1 seek=136 conv=notrunc status=none
# A session of the large traces: a divergent pair, an identical pair, a pair of a missing file
# and launches that only one side has.
mkdir -p "$in/sa" "$in/sb"
cat >"$in/sa/session.json" <<EOF
[
  {"launch": 0, "kernel": "k", "file": "$GA", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 1, "kernel": "k", "file": "$PA", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 2, "kernel": "k", "file": "$HA", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 3, "kernel": "k", "file": "$in/missing.trace", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 0, "kernel": "only_a", "file": "$PA", "grid": [1, 1, 1], "block": [32, 1, 1]}
]
EOF
cat >"$in/sb/session.json" <<EOF
[
  {"launch": 0, "kernel": "k", "file": "$GB", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 1, "kernel": "k", "file": "$PZ", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 2, "kernel": "k", "file": "$HB", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 3, "kernel": "k", "file": "$PB", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 7, "kernel": "only_b", "file": "$PB", "grid": [1, 1, 1], "block": [32, 1, 1]}
]
EOF
GSA=$in/sa
GSB=$in/sb
# A session of many-warp launches.
mkdir -p "$in/ma" "$in/mb"
cat >"$in/ma/session.json" <<EOF
[
  {"launch": 0, "kernel": "k", "file": "$MA", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 1, "kernel": "k", "file": "$MA", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 2, "kernel": "k", "file": "$MA", "grid": [1, 1, 1], "block": [32, 1, 1]}
]
EOF
cat >"$in/mb/session.json" <<EOF
[
  {"launch": 0, "kernel": "k", "file": "$MS", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 1, "kernel": "k", "file": "$MB", "grid": [1, 1, 1], "block": [32, 1, 1]},
  {"launch": 2, "kernel": "k", "file": "$MV", "grid": [1, 1, 1], "block": [32, 1, 1]}
]
EOF
MSA=$in/ma
MSB=$in/mb
cat "$in"/*/*.trace >/dev/null

# ---- cases: a name, how the streams are set up, then the arguments ----
# Streams: "-" both to files; "closed-out" standard output closed (>&-); "full-out" standard
# output on /dev/full; "closed-err" standard error closed.
cases=(
  "ex|-|$EA $EB"
  "ex-map|-|--map $EM $EA $EB"
  "ex-v|-|-v --map $EM $EA $EB"
  "ex-n0|-|-n 0 $EA $EB"
  "ex-n1|-|-n 1 --map $EM $EA $EB"
  "ex-n-all|-|-n 1000 --values --continue-after-path $EA $EB"
  "ex-l2|-|-l 2 $EA $EB"
  "ex-values|-|--values --map $EM $EA $EB"
  "ex-float|-|--values --float $EA $EB"
  "ex-classify|-|--classify $EA $EB"
  "ex-classify-map|-|--classify --values --map $EM $EA $EB"
  "ex-history|-|--history $EA $EB"
  "ex-history-map|-|--history --values --map $EM $EA $EB"
  "ex-history-plain|-|--history $SA/reduce_sum_0.trace $SA/reduce_sum_1.trace"
  "ex-identical|-|-v --classify --history $EA $EA"
  "ex-json|-|--json $EA $EB"
  "ex-json-map|-|--json --map $EM --values --max-allowed-divergences 100 $EA $EB"
  "ex-json-ignore|-|--json --ignore-active-mask --max-allowed-divergences 3 $EA $EB"
  "ex-csv|-|--csv out.csv $EA $EB"
  "ex-csv-map|-|--csv out.csv --map $EM --values $EA $EB"
  "ex-flame|-|--export-flamegraph out.json $EA $EB"
  "ex-flame-map|-|--export-flamegraph out.json --map $EM --values $EA $EB"
  "ex-both-json|-|--json --csv out.csv --export-flamegraph out.json --map $EM $EA $EB"
  "ex-same-export|-|--csv out.x --export-flamegraph out.x $EA $EB"
  "ex-dump-a|-|--dump-a 20 $EA $EB"
  "ex-dump-b|-|--dump-b 1000 -v $EA $EB"
  "ex-dump-json|-|--dump-a 5 --json $EA $EB"
  "ex-warps|-|--warps 1-2 --map $EM $EA $EB"
  "ex-kind|-|--filter-kind branch,PATH --values $EA $EB"
  "ex-sites|-|--filter-sites 0x5,0x00000008,7 --csv out.csv $EA $EB"
  "ex-filters-json|-|--json --warps 0,3 --filter-kind Branch,Path,ExtraEvents $EA $EB"
  "ex-filter-bad|-|--warps x-y $EA $EB"
  "ex-cross|-|--cross-gpu --values --history $EA $EB"
  "ex-remap|-|--remap-a $EM --remap-b $EM --map $EM $EA $EB"
  "ex-kernel-mismatch|-|$EA $SB/normalize_0.trace"
  "ex-force|-|--force --classify $EA $SB/normalize_0.trace"
  "ex-zst|-|-v $SA/reduce_sum_1.trace $SB/reduce_sum_1.trace.zst"
  "session|-|--session $SA $SB"
  "session-rev|-|--session $SB $SA"
  "session-self|-|--session -v $SA $SA"
  "session-json|-|--session --json $SA $SB"
  "session-json-rev|-|--session --json --max-allowed-divergences 100 $SB $SA"
  "session-n1|-|--session -n 1 --values $SA $SB"
  "session-missing|-|--session $SA $in/nothing"
  "big|-|$GA $GB"
  "big-map|-|--map $GM -n 50 $GA $GB"
  "big-v|-|-v --map $GM $GA $GS"
  "big-n-all|-|-n 100000000 --map $GM $GA $GB"
  "big-l|-|-l 1000 -n 2000 $GA $GB"
  "big-values|-|--values --classify --map $GM $GA $GB"
  "big-json|-|--json --map $GM $GA $GB"
  "big-json-nomap|-|--json --ignore-active-mask $GA $GB"
  "big-csv|-|--csv out.csv --map $GM $GA $GB"
  "big-flame|-|--export-flamegraph out.json --map $GM $GA $GB"
  "big-exports-nomap|-|--csv out.csv --export-flamegraph out.json -n 3 $GA $GB"
  "big-history|-|--history -n 100000 --map $GM $HA $HB"
  "big-history-json|-|--history --json $HA $HB"
  "big-dump|-|--dump-a 3000 $GA $GB"
  "big-dump-b|-|--dump-b 100 -v $GA $GB"
  "big-filters|-|--warps 0-100,4000 --filter-kind ActiveMask --filter-sites 0x101,0x10f --map $GM -n 1000 $GA $GB"
  "big-filters-csv|-|--warps 7 --csv out.csv --export-flamegraph out.json $GA $GB"
  "big-remap|-|--remap-a $GM --remap-b $GR --map $GM $GA $GB"
  "big-sparse|-|-n 100 --classify $PA $PB"
  "big-zst|-|--json $PZ $PB"
  "big-cross|-|--cross-gpu --history $HA $HB"
  "big-session|-|--session --map $GM $GSA $GSB"
  "big-session-n|-|--session -n 100000 $GSA $GSB"
  "big-session-json|-|--session --json $GSA $GSB"
  "many-same|-|-v $MA $MS"
  "many-same-json|-|--json $MA $MS"
  "many-sparse|-|--classify $MA $MB"
  "many-sparse-json|-|--json $MA $MB"
  "many-sparse-limit|-|-l 333 -n 400 $MA $MB"
  "many-sparse-warps|-|--warps 100-200000,7 --json $MA $MB"
  "many-sparse-filters|-|--filter-kind branch,activemask --filter-sites 0x100 --csv out.csv $MA $MB"
  "many-all|-|-n 20 $MA $MV"
  "many-all-json|-|--json -l 20000 --ignore-active-mask --max-allowed-divergences 9 $MA $MV"
  "many-all-warps|-|--warps 1000-1100 --json $MA $MV"
  "many-all-limit|-|-l 100000 --filter-kind Branch $MA $MV"
  "many-all-flame|-|--export-flamegraph out.json -l 5000 $MA $MV"
  "many-cross|-|--cross-gpu -n 5 $MW $MB"
  "many-cross-rev|-|--cross-gpu --json -l 3000 $MV $MW"
  "many-cross-same|-|--cross-gpu --history $MA $MS"
  "many-session|-|--session $MSA $MSB"
  "many-session-json|-|--session --json -l 1000 $MSA $MSB"
  "fail-csv-dir|-|--csv $dir/no/such/dir/out.csv $EA $EB"
  "fail-csv-isdir|-|--csv . $EA $EB"
  "fail-csv-full|-|--csv /dev/full $EA $EB"
  "fail-flame-dir|-|--export-flamegraph $dir/no/such/out.json --csv out.csv $EA $EB"
  "fail-flame-full|-|--export-flamegraph /dev/full --csv out.csv $GA $GB"
  "fail-csv-input|-|--csv $EB $EA $EB"
  "fail-flame-input|-|--csv out.csv --export-flamegraph $EM --map $EM $EA $EB"
  "fail-csv-remap|-|--csv $GR --remap-a $GM --remap-b $GR $GA $GB"
  "fail-export-early|-|--csv out.csv $EA $in/nothing.trace"
  "fail-export-map|-|--csv out.csv --map $in/nothing.json $EA $EB"
  "fail-export-remap|-|--export-flamegraph out.json --remap-a $GM --remap-b $in/none $GA $GB"
  "fail-dump-input|-|--dump-a 2 --csv $EB $EA $EB"
  "closed-out|closed-out|--map $EM $EA $EB"
  "closed-out-big|closed-out|-n 100000 $GA $GB"
  "closed-out-json|closed-out|--json $EA $EB"
  "closed-out-csv|closed-out|--csv out.csv --export-flamegraph out.json $EA $EB"
  "closed-out-session|closed-out|--session $SA $SB"
  "closed-out-dump|closed-out|--dump-a 10 $EA $EB"
  "full-out|full-out|--classify $EA $EB"
  "full-out-big|full-out|-n 100000 --map $GM $GA $GB"
  "full-out-session|full-out|--session $GSA $GSB"
  "closed-err|closed-err|--csv out.csv $EA $EB"
  "closed-err-fail|closed-err|--csv /dev/full $EA $EB"
)

# Runs `bin` with `args` in `run_dir` under the environment `styling` and the stream setup.
run() {
  local bin=$1 run_dir=$2 styling=$3 streams=$4
  shift 4
  local -a env_vars=(env -i "PATH=$PATH" "HOME=${HOME:-/}")
  [[ $styling == forced ]] && env_vars+=(CLICOLOR_FORCE=1)
  mkdir -p "$run_dir"
  (
    cd "$run_dir" || exit 2
    case $streams in
      -) "${env_vars[@]}" "$bin" "$@" >stdout 2>stderr ;;
      closed-out) "${env_vars[@]}" "$bin" "$@" >&- 2>stderr ;;
      full-out) "${env_vars[@]}" "$bin" "$@" >/dev/full 2>stderr ;;
      closed-err) "${env_vars[@]}" "$bin" "$@" >stdout 2>&- ;;
    esac
    echo $? >status
  )
}

differences=0
count=0
for entry in "${cases[@]}"; do
  IFS='|' read -r name streams arguments <<<"$entry"
  read -ra args <<<"$arguments"
  for styling in off forced; do
    case_dir=$dir/runs/$name.$styling
    run "$new" "$case_dir/new" "$styling" "$streams" "${args[@]}"
    run "$old" "$case_dir/old" "$styling" "$streams" "${args[@]}"
    count=$((count + 1))
    if ! diff -r -q "$case_dir/new" "$case_dir/old" >"$case_dir.diff"; then
      differences=$((differences + 1))
      echo "DIFFERS: $name ($styling): $(tr '\n' ' ' <"$case_dir.diff")"
    fi
    rm -rf "$case_dir" "$case_dir.diff"
  done
done
echo "$count runs compared, $differences differ"
[[ $differences -eq 0 ]]
