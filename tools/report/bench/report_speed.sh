#!/usr/bin/env bash
# How long seamlog-report takes for the largest tables one save can write
# (32,767 records of each model), as a ratio to seamlog-convert's time on the
# same records in the same run. Not a test: run it by hand on a quiet machine.
#   bash tools/report/bench/report_speed.sh [BUILD_DIR]   (default build/host)
set -euo pipefail
build=${1:-build/host}
records=32767
runs=3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Best of $runs wall-clock times of a command, in seconds.
best_of() {
  local best=
  for _ in $(seq $runs); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    best=$(echo "$start $end ${best:-999}" | awk '{t = $2 - $1; print (t < $3 ? t : $3)}')
  done
  echo "$best"
}

printf '%-8s %10s %12s %12s %8s %10s\n' model records "convert s" "report s" ratio "HTML MB"
for model in MODEL-A MODEL-B MODEL-C; do
  "$build/tools/reportgen/seamlog-reportgen" --model $model --records $records --seed 18 "$work/$model.txt"
  convert_s=$(best_of bash -c "rm -f '$work/$model.csv' && '$build/tools/convert/seamlog-convert' --model $model '$work/$model.txt' '$work/$model.csv'")
  report_s=$(best_of "$build/tools/report/seamlog-report" "$work/$model.csv" -o "$work/$model.html")
  size=$(stat -c %s "$work/$model.html")
  echo "$model $records $convert_s $report_s $size" |
    awk '{printf "%-8s %10d %12.3f %12.3f %8.2f %10.1f\n", $1, $2, $3, $4, $4 / $3, $5 / 1048576}'
done
