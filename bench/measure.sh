# shellcheck shell=bash
# Shared by the bench scripts, sourced after they set `dir` (their temporary directory) and
# `repeats` (runs per measurement).

# measure OUT MAX_STATUS COMMAND...
# Runs COMMAND `repeats` times under GNU time with its standard output to OUT and its standard
# error to $dir/stderr, and prints the best wall time in seconds, peak memory in KiB (ru_maxrss)
# and minor page faults, each the least of the runs. The last run's status goes to $dir/status;
# a status above MAX_STATUS aborts.
# shellcheck disable=SC2154  # dir and repeats belong to the sourcing script
measure() {
  local out=$1 max_status=$2 best_s="" best_kib="" best_faults="" start end s kib faults status
  shift 2
  for ((run = 0; run < repeats; run++)); do
    status=0
    start=$EPOCHREALTIME
    /usr/bin/time -o "$dir/time" -f "%M %R" "$@" >"$out" 2>"$dir/stderr" || status=$?
    end=$EPOCHREALTIME
    if ((status > max_status)); then
      echo "failed (status $status): $*" >&2
      cat "$dir/stderr" >&2
      return 1
    fi
    echo "$status" >"$dir/status"
    s=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }')
    read -r kib faults < <(tail -n 1 "$dir/time")
    [[ -z $best_s ]] || awk -v a="$s" -v b="$best_s" 'BEGIN { exit !(a < b) }' || s=$best_s
    [[ -z $best_kib ]] || ((kib < best_kib)) || kib=$best_kib
    [[ -z $best_faults ]] || ((faults < best_faults)) || faults=$best_faults
    best_s=$s best_kib=$kib best_faults=$faults
  done
  echo "$best_s $best_kib $best_faults"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
